// dorvane.exe: the command's arguments as UTF-8 from the wide command line,
// and standard streams that move bytes untranslated (cat writes a disk).
#include "tools/commands/commands.h"

#include "host/nt/nt_text.h"

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t **argv) {
  for (int fd = 0; fd <= 2; ++fd) {
    _setmode(fd, _O_BINARY);
  }
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(host::Utf8FromUtf16(reinterpret_cast<const char16_t *>(argv[i])));
  }
  return dorvane::RunCommand(args, dorvane::CommandIo());
}
