// dorvane mount: what a client of the mounted file sees of the driver's
// answers, a mount whose image breaks underneath it, and the command
// returning only once the file can be used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "fuse_disk.h"
#include "mount_support.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;

class MountTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (!CanMount()) GTEST_SKIP() << "no /dev/fuse or fusermount3: FUSE mounts cannot be tested";
  }
  std::string Create(const std::string &name, std::vector<std::string> args) {
    args.insert(args.begin(), "create");
    args.push_back(File(name));
    EXPECT_EQ(RunTool(args).exitCode, 0);
    return File(name);
  }
};

int ErrnoOf(long result) { return result < 0 ? errno : 0; }

TEST(MountErrno, OneTableForEveryStatus) {
  EXPECT_EQ(ErrnoForStatus(STATUS_SHARING_VIOLATION), EBUSY);
  EXPECT_EQ(ErrnoForStatus(STATUS_ACCESS_DENIED), EACCES);
  EXPECT_EQ(ErrnoForStatus(STATUS_DISK_FULL), ENOSPC);
  EXPECT_EQ(ErrnoForStatus(STATUS_FILE_CORRUPT_ERROR), EIO);
  EXPECT_EQ(ErrnoForStatus(STATUS_INVALID_DEVICE_REQUEST), EOPNOTSUPP);
  EXPECT_EQ(ErrnoForStatus(STATUS_UNSUCCESSFUL), EIO);  // one the table lacks
}

TEST_F(MountTest, RequestsOnTheFileAnswerAsTheDriverDoes) {
  std::string image = Create("d.vhd", {"--type", "dynamic", "--size", "8M"});
  std::string data = AsString(PatternBytes(kMiB, 7));
  uint64_t grownSize = 0;
  {
    Mount mount(image, File("mnt"));
    ASSERT_TRUE(mount.Ready());
    int fd = open(mount.File().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::string back(kMiB, '\0');
    struct stat info;
    const std::vector<std::pair<const char *, std::function<long()>>> steps = {
        /* 0 */ {"write 1 MiB into block 1", [&] { return pwrite(fd, data.data(), kMiB, 3 * kMiB); }},
        /* 1 */ {"read it back", [&] { return pread(fd, back.data(), kMiB, 3 * kMiB) == long(kMiB) && back == data ? 0 : -1; }},
        /* 2 */ {"write into block 0", [&] { return pwrite(fd, data.data(), 4096, 0); }},
        /* 3 */ {"punch block 0 out", [&] { return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 2 * kMiB); }},
        /* 4 */ {"fsync", [&] { return fsync(fd); }},
        /* 5 */ {"grow to 9 MiB", [&] { return ftruncate(fd, 9 * kMiB); }},
        /* 6 */ {"size at once", [&] { return fstat(fd, &info) == 0 && (grownSize = info.st_size) >= 9 * kMiB ? 0 : -1; }},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(ErrnoOf(steps[i].second()), 0) << i << ": " << steps[i].first;
    }
    const std::vector<std::pair<int, std::function<long()>>> refusals = {
        /* 0 */ {EINVAL, [&] { return ftruncate(fd, 4 * kMiB); }},
        /* 1 */ {EOPNOTSUPP, [&] { return fallocate(fd, 0, 0, 4096); }},
        /* 2 */ {ENOSPC, [&] { return pwrite(fd, data.data(), 512, off_t(grownSize)); }},
    };
    for (size_t i = 0; i < refusals.size(); ++i) {
      EXPECT_EQ(ErrnoOf(refusals[i].second()), refusals[i].first) << "refusal " << i;
    }
    close(fd);
    EXPECT_EQ(mount.Unmount(), 0);
  }
  ToolRun cat = RunTool({"cat", image});
  EXPECT_TRUE(cat.out == DiskWith(grownSize, {{3 * kMiB, data}})) << cat.err;
  EXPECT_LT(FileSize(image), 3 * kMiB) << "block 0 was given back";
}

// The parent cut short under a mounted child: reads that need it fail with
// EIO, the rest of the mount keeps answering and unmounts cleanly.
TEST_F(MountTest, ABrokenParentFailsReadsNotTheMount) {
  std::string base = Create("base.vhd", {"--type", "dynamic", "--size", "4M"});
  ASSERT_EQ(RunTool({"write", base, "--offset", "0"}, std::string(4096, 'b')).exitCode, 0);
  std::string child = Create("child.vhd", {"--parent", base});
  ASSERT_EQ(RunTool({"write", child, "--offset", "3M"}, std::string(4096, 'c')).exitCode, 0);
  Mount mount(child, File("mnt"));
  ASSERT_TRUE(mount.Ready());
  int fd = open(mount.File().c_str(), O_RDWR | O_DIRECT);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ErrnoOf(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096)), EOPNOTSUPP);
  TruncateFile(base, 1024);
  alignas(4096) static char buffer[4096];
  EXPECT_EQ(ErrnoOf(pread(fd, buffer, 4096, 0)), EIO);
  EXPECT_EQ(pread(fd, buffer, 4096, 3 * kMiB), 4096);
  EXPECT_EQ(buffer[0], 'c');
  struct stat info;
  EXPECT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_size, off_t(4 * kMiB));
  close(fd);
  EXPECT_NE(mount.Unmount(), -1) << "the server ended by itself";
}

// Without --foreground the command returns once the file can be used; a
// read-only mount refuses writers; an image that cannot be opened mounts
// nothing.
TEST_F(MountTest, TheCommandReturnsWhenTheFileIsReady) {
  std::string image = Create("d.vhd", {"--type", "dynamic", "--size", "4M"});
  ASSERT_EQ(RunTool({"write", image, "--offset", "1M"}, "ready").exitCode, 0);
  std::string mnt = File("mnt");
  mkdir(mnt.c_str(), 0755);
  struct Unmounter {
    std::string dir;
    ~Unmounter() { RunShell("fusermount3 -uz " + dir + " 2>/dev/null"); }
  } unmounter{mnt};
  RunBinary("mount --read-only --name vm.raw " + image + " " + mnt);
  EXPECT_EQ(AsString(PeekFile(mnt + "/vm.raw", kMiB, 5)), "ready");
  EXPECT_EQ(ErrnoOf(open((mnt + "/vm.raw").c_str(), O_RDWR)), EROFS);
  EXPECT_EQ(RunShell("fusermount3 -u " + mnt), 0);

  std::string output;
  EXPECT_EQ(RunShell(DORVANE_BINARY_DIR "/dorvane mount " + File("none.vhd") + " " + mnt + " 2>&1",
                     &output), 1);
  EXPECT_NE(output.find("none.vhd: cannot open image for writing"), std::string::npos) << output;
  EXPECT_NE(RunShell("mountpoint -q " + mnt), 0);
}

}  // namespace
}  // namespace dorvane::test
