// Writes the manual page dorvane(1) to the file its argument names; the
// build makes the installed page with it.
#include "tools/commands/manual.h"

#include <fstream>

int main(int argc, char **argv) {
  if (argc != 2) {
    return 2;
  }
  std::ofstream page(argv[1], std::ios::binary | std::ios::trunc);
  page << dorvane::ManualPage();
  page.close();
  return page ? 0 : 1;
}
