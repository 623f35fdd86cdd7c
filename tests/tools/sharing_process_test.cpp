// Share access between processes: `dorvane write` holds an image open in a
// process of its own while a second command runs; then the first is killed,
// and the second must succeed: nothing of the dead process's opens remains.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/image_builder.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

class SharingBetweenProcesses : public TempDirTest {};

TEST_F(SharingBetweenProcesses, SecondWriterAndReaderOfAWrittenImageAreRefused) {
  std::string disk = File("disk.vhd"), base = File("base.vhd"), child = File("child.vhd");
  std::string fresh = File("fresh.vhd"), binary = DORVANE_BINARY_DIR "/dorvane";
  for (const std::string &image : {disk, base}) MakeDynamicImage(image, 8 << 20);
  ASSERT_EQ(RunTool({"create", "--parent", base, child}).exitCode, 0);
  WriteFileBytes(File("data.bin"), Bytes(4096, 'd'));
  const std::string writeData = " --offset 4096 --input " + File("data.bin");
  const std::string forWriting = ": cannot open image for writing: ",
                    inParent = ": in the parent chain, " + base + ": ";
  // The image held by a writer, the second command and the start of its line.
  struct Case {
    std::string held, second, refusal;
  } cases[] = {
      /* 0 */ {disk, "write " + disk + writeData, disk + forWriting},
      /* 1 */ {disk, "cat " + disk, disk + ": cannot open image: "},
      // The child holds its parent open for reading without sharing writes.
      /* 2 */ {child, "write " + base + writeData, base + forWriting},
      /* 3 */ {base, "create --parent " + base + " " + fresh,
               fresh + ": cannot create image" + inParent},
      // A check reads nothing another process changes; a repair shares nothing.
      /* 4 */ {disk, "check " + disk, disk + ": cannot check image: "},
      /* 5 */ {disk, "check --repair " + disk, disk + ": cannot repair image: "},
      /* 6 */ {child, "check --repair " + child, child + ": cannot repair image: "},
  };
  signal(SIGPIPE, SIG_IGN);  // a writer that failed shows as EPIPE
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    // The writer opens the image before it reads its input; once it has read
    // more than a pipe holds, the image is open.
    FILE *writer = popen(("echo $$ >" + File("pid") + "; exec " + binary + " write " + c.held +
                          " --offset 0").c_str(),
                         "w");
    ASSERT_NE(writer, nullptr);
    std::string bytes(256 * 1024, 'h');
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), writer), bytes.size()) << "case " << i;
    fflush(writer);
    const std::string second = binary + " " + c.second + " 2>&1 >/dev/null";
    std::string output;
    EXPECT_NE(RunShell(second, &output), 0) << "case " << i;
    EXPECT_EQ(output, "dorvane: " + c.refusal +
                          "the file is in use by another process: "
                          "STATUS_SHARING_VIOLATION (0xC0000043)\n")
        << "case " << i;
    kill(std::stoi(AsString(ReadFileBytes(File("pid")))), SIGKILL);
    pclose(writer);
    EXPECT_EQ(RunShell(second, &output), 0) << "case " << i << ": " << output;
  }
}

}  // namespace
}  // namespace dorvane::test
