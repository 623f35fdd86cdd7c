// dorvane mount: what a client of the mounted file sees of the driver's
// answers, a mount whose image breaks underneath it, and the command
// returning only once the file can be used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fuse_disk.h"
#include "mount_support.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;
const int kPunch = FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE;

class MountTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (!CanMount()) GTEST_SKIP() << "no /dev/fuse or fusermount3: FUSE mounts cannot be tested";
  }
  std::string Create(const std::string &name, std::vector<std::string> args, std::string data = "",
                     const std::string &at = "0") {
    args.insert(args.begin(), "create");
    args.push_back(File(name));
    EXPECT_EQ(RunTool(args).exitCode, 0);
    EXPECT_TRUE(data.empty() || RunTool({"write", File(name), "--offset", at}, data).exitCode == 0);
    return File(name);
  }
};

int ErrnoOf(long result) { return result < 0 ? errno : 0; }

TEST(MountErrno, OneTableForEveryStatus) {
  const std::vector<std::pair<NTSTATUS, int>> rows = {
      {STATUS_SHARING_VIOLATION, EBUSY}, {STATUS_ACCESS_DENIED, EACCES},
      {STATUS_DISK_FULL, ENOSPC},        {STATUS_FILE_CORRUPT_ERROR, EIO},
      {STATUS_UNSUCCESSFUL, EIO},  // not in the table
  };
  for (const auto &row : rows) EXPECT_EQ(ErrnoForStatus(row.first), row.second) << row.first;
}

TEST_F(MountTest, RequestsOnTheFileAnswerAsTheDriverDoes) {
  std::string image = Create("d.vhd", {"--type", "dynamic", "--size", "8M"});
  std::string data = AsString(PatternBytes(kMiB, 7)), back(kMiB, '\0');
  struct stat info {};
  {
    Mount mount(image, File("mnt"));
    ASSERT_TRUE(mount.Ready());
    int fd = open(mount.File().c_str(), O_RDWR);
    const std::vector<std::pair<int, std::function<long()>>> steps = {
        /* 0 */ {0, [&] { return pwrite(fd, data.data(), kMiB, 3 * kMiB) - long(kMiB); }},
        /* 1 */ {0, [&] { return pread(fd, back.data(), kMiB, 3 * kMiB) - long(kMiB); }},
        /* 2 */ {0, [&] { return pwrite(fd, data.data(), 4096, 0) - 4096; }},
        /* 3 */ {0, [&] { return fallocate(fd, kPunch, 0, 2 * kMiB); }},  // block 0 given back
        /* 4 */ {0, [&] { return fsync(fd); }},
        /* 5 */ {0, [&] { return ftruncate(fd, 9 * kMiB); }},
        /* 6 */ {0, [&] { return fstat(fd, &info); }},
        /* 7 */ {EINVAL, [&] { return ftruncate(fd, 4 * kMiB); }},  // never shrinks
        /* 8 */ {EOPNOTSUPP, [&] { return fallocate(fd, 0, 0, 4096); }},
        /* 9 */ {ENOSPC, [&] { return pwrite(fd, data.data(), 512, info.st_size); }},
    };
    for (size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(ErrnoOf(steps[i].second()), steps[i].first) << i;
    close(fd);
    EXPECT_EQ(mount.Unmount(), 0);
  }
  EXPECT_EQ(back, data);
  EXPECT_GE(info.st_size, off_t(9 * kMiB)) << "the new size, seen at once";
  EXPECT_TRUE(RunTool({"cat", image}).out == DiskWith(info.st_size, {{3 * kMiB, data}}));
  EXPECT_LT(FileSize(image), 3 * kMiB) << "one block left";
}

// The parent cut short under a mounted child: reads that need it fail with
// EIO, the rest of the mount keeps answering and unmounts by itself.
TEST_F(MountTest, ABrokenParentFailsReadsNotTheMount) {
  std::string base = Create("base.vhd", {"--type", "dynamic", "--size", "4M"}, "base");
  std::string child = Create("child.vhd", {"--parent", base}, std::string(4096, 'c'), "3M");
  Mount mount(child, File("mnt"));
  ASSERT_TRUE(mount.Ready());
  int fd = open(mount.File().c_str(), O_RDWR | O_DIRECT);
  EXPECT_EQ(ErrnoOf(fallocate(fd, kPunch, 0, 4096)), EOPNOTSUPP);
  TruncateFile(base, 1024);
  alignas(4096) static char buffer[4096];
  EXPECT_EQ(ErrnoOf(pread(fd, buffer, 4096, 0)), EIO);
  EXPECT_EQ(pread(fd, buffer, 4096, 3 * kMiB), 4096);
  EXPECT_EQ(buffer[0], 'c');
  struct stat info {};
  EXPECT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_size, off_t(4 * kMiB));
  close(fd);
  EXPECT_NE(mount.Unmount(), -1);
}

// Without --foreground the command returns once the file can be used; a
// read-only mount refuses writers; an image that cannot be opened mounts
// nothing.
TEST_F(MountTest, TheCommandReturnsWhenTheFileIsReady) {
  std::string image = Create("d.vhd", {"--type", "dynamic", "--size", "4M"}, "ready", "1M");
  std::string mnt = File("mnt");
  mkdir(mnt.c_str(), 0755);
  ShellOnExit unmount{"fusermount3 -uz " + mnt};
  RunBinary("mount --read-only --name vm.raw " + image + " " + mnt);
  EXPECT_EQ(AsString(PeekFile(mnt + "/vm.raw", kMiB, 5)), "ready");
  EXPECT_EQ(ErrnoOf(open((mnt + "/vm.raw").c_str(), O_RDWR)), EROFS);
  EXPECT_EQ(RunShell("fusermount3 -u " + mnt), 0);
  std::string output;
  EXPECT_EQ(RunShell(DORVANE_BINARY_DIR "/dorvane mount " + File("no.vhd") + " " + mnt + " 2>&1",
                     &output), 1);
  EXPECT_NE(output.find("no.vhd: cannot open image for writing"), std::string::npos) << output;
  EXPECT_NE(RunShell("mountpoint -q " + mnt), 0);
}

}  // namespace
}  // namespace dorvane::test
