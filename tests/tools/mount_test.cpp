// dorvane mount: what a client of the mounted file sees of the driver's
// answers (through the mount's one status-to-errno table), a mount whose
// image breaks underneath it, and the command returning only once the file
// can be used.
#include <fcntl.h>

#include <cerrno>

#include "mount_support.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;
const int kPunch = FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE;

int ErrnoOf(long result) { return result < 0 ? errno : 0; }

TEST_F(MountTest, RequestsOnTheFileAnswerAsTheDriverDoes) {
  std::string image = File("d.vhd");
  MakeDynamicImage(image, 8 * kMiB);
  std::string data = AsString(PatternBytes(kMiB, 7));
  struct stat info {};
  {
    Mount mount(image, File("mnt"));
    ASSERT_TRUE(mount.ready);
    int fd = open(mount.file.c_str(), O_RDWR);
    const std::vector<std::pair<int, std::function<long()>>> steps = {
        /* 0 */ {0, [&] { return pwrite(fd, data.data(), kMiB, 3 * kMiB) - long(kMiB); }},
        /* 1 */ {0, [&] { return pwrite(fd, data.data(), 4096, 0) - 4096; }},
        /* 2 */ {0, [&] { return fallocate(fd, kPunch, 0, 2 * kMiB); }},  // block 0 given back
        /* 3 */ {0, [&] { return fsync(fd); }},
        /* 4 */ {0, [&] { return ftruncate(fd, 9 * kMiB); }},
        /* 5 */ {0, [&] { return fstat(fd, &info); }},
        /* 6 */ {EINVAL, [&] { return ftruncate(fd, 4 * kMiB); }},  // never shrinks
        /* 7 */ {EOPNOTSUPP, [&] { return fallocate(fd, 0, 0, 4096); }},
        /* 8 */ {ENOSPC, [&] { return pwrite(fd, data.data(), 512, info.st_size); }},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(ErrnoOf(steps[i].second()), steps[i].first) << i;
    }
    close(fd);
    EXPECT_EQ(mount.Unmount(), 0);
  }
  EXPECT_GE(info.st_size, off_t(9 * kMiB)) << "the new size, seen at once";
  EXPECT_TRUE(RunTool({"cat", image}).out == DiskWith(info.st_size, {{3 * kMiB, data}}));
  EXPECT_LT(FileSize(image), 3 * kMiB) << "one block left";
}

// The parent cut short under a mounted child: reads that need it fail with
// EIO, the rest of the mount keeps answering and unmounts by itself.
TEST_F(MountTest, ABrokenParentFailsReadsNotTheMount) {
  std::string base = File("base.vhd"), child = File("child.vhd");
  MakeDynamicImage(base, 4 * kMiB);
  AppendBlock(base, 0, Bytes(512, 'b'));
  MakeDifferencingImage(child, base);
  AppendBlock(child, 1, Bytes(4096, 'c'));
  Mount mount(child, File("mnt"));
  ASSERT_TRUE(mount.ready);
  int fd = open(mount.file.c_str(), O_RDWR | O_DIRECT);
  EXPECT_EQ(ErrnoOf(fallocate(fd, kPunch, 0, 4096)), EOPNOTSUPP);
  TruncateFile(base, 1024);
  alignas(4096) static char buffer[4096];
  EXPECT_EQ(ErrnoOf(pread(fd, buffer, 4096, 0)), EIO);
  EXPECT_EQ(pread(fd, buffer, 4096, 2 * kMiB), 4096);
  EXPECT_EQ(buffer[0], 'c');
  close(fd);
  EXPECT_NE(mount.Unmount(), -1);
}

// Without --foreground the command returns once the file can be used; a
// read-only mount refuses writers; a second mount over it is refused; an
// image that cannot be opened mounts nothing.
TEST_F(MountTest, TheCommandReturnsWhenTheFileIsReady) {
  std::string image = File("d.vhd"), mnt = File("mnt");
  MakeDynamicImage(image, 4 * kMiB);
  AppendBlock(image, 0, Bytes{'r', 'e', 'a', 'd', 'y'});
  mkdir(mnt.c_str(), 0755);
  ShellOnExit unmount{"fusermount3 -uz " + mnt};
  RunBinary("mount --read-only --name vm.raw " + image + " " + mnt);
  EXPECT_EQ(AsString(PeekFile(mnt + "/vm.raw", 0, 5)), "ready");
  EXPECT_EQ(ErrnoOf(open((mnt + "/vm.raw").c_str(), O_RDWR)), EROFS);
  // A second mount over the live one is refused and leaves it serving.
  std::string out, command = DORVANE_BINARY_DIR "/dorvane mount --read-only " + image + " " + mnt;
  EXPECT_EQ(RunShell(command + " 2>&1", &out), 1);
  EXPECT_EQ(out, "dorvane: " + mnt + ": cannot mount: the mount point is busy: " + image +
                     " (fuse.dorvane) is mounted there; unmount it first\n");
  EXPECT_EQ(AsString(PeekFile(mnt + "/vm.raw", 0, 5)), "ready");
  EXPECT_EQ(RunShell("fusermount3 -u " + mnt), 0);
  command = DORVANE_BINARY_DIR "/dorvane mount " + File("no.vhd") + " " + mnt;
  EXPECT_EQ(RunShell(command + " 2>&1", &out), 1);
  EXPECT_NE(out.find("no.vhd: cannot open image for writing"), std::string::npos) << out;
  EXPECT_NE(RunShell("mountpoint -q " + mnt), 0);
}

}  // namespace
}  // namespace dorvane::test
