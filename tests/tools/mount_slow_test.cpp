// A real file system on the mounted disk: ext4 made, loop-mounted, filled,
// checked, trimmed (the dynamic image gives blocks back), read again after a
// remount and compared with what qemu-img reads; then the snapshot workflow,
// changes in a differencing child merged into its untouched base.
#include "mount_support.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

class MountFileSystemTest : public MountTest {
 protected:
  void SetUp() override {
    MountTest::SetUp();
    if (!IsSkipped() && (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 ||
                         RunShell("command -v mkfs.ext4 e2fsck fstrim qemu-img >/dev/null") != 0)) {
      GTEST_SKIP() << "needs root, loop devices, e2fsprogs, fstrim and qemu-img";
    }
  }
  // A shell command that must succeed; its standard output.
  std::string Sh(const std::string &command) {
    std::string output;
    EXPECT_EQ(RunShell("cd " + DirPath() + " && " + command, &output), 0) << command;
    return output;
  }
};

TEST_F(MountFileSystemTest, Ext4OnDynamicThenASnapshotMerged) {
  std::string image = File("fs.vhd"), child = File("snap.vhd"), diskHash;
  ASSERT_EQ(RunTool({"create", "--type", "dynamic", "--size", "256M", image}).exitCode, 0);
  // Ten folders of files from a few bytes to 512 KiB, each folder written in
  // one piece by cp, so that removing half the folders frees whole blocks.
  Sh("for d in 0 1 2 3 4 5 6 7 8 9; do mkdir -p src/$d; for i in $(seq 30); do "
     "head -c $(( (i * i * 7919 + d * 104729) % 524288 )) /dev/urandom > src/$d/f$i; done; done"
     " && (cd src && find ./[5-9] -type f | xargs sha256sum) > kept.sums");
  off_t filled = 0;
  {
    Mount mount(image, File("mnt"));
    ASSERT_TRUE(mount.ready);
    ShellOnExit unmount{"umount " + File("ext")};
    Sh("mkfs.ext4 -q -F " + mount.file + " && mkdir ext && mount -o loop " + mount.file +
       " ext && cp -a src/. ext/ && umount ext && e2fsck -fn " + mount.file + " >/dev/null 2>&1");
    filled = off_t(FileSize(image));
    // Blocks a removal frees are free for fstrim once the removal is committed.
    Sh("mount -o loop " + mount.file + " ext && rm -r ext/[0-4] && sync && fstrim ext && "
       "umount ext");
    EXPECT_EQ(mount.Unmount(), 0);
  }
  EXPECT_LT(off_t(FileSize(image)) + (16 << 20), filled) << "trimmed blocks were given back";
  {
    Mount mount(image, File("mnt"), {"--read-only"});
    ShellOnExit unmount{"umount " + File("ext")};
    Sh("mount -o loop,ro " + mount.file + " ext && (cd ext && sha256sum --quiet -c ../kept.sums)"
       " && umount ext");
    diskHash = Sh("sha256sum < " + mount.file);
  }
  EXPECT_EQ(Sh("qemu-img convert --image-opts driver=vpc,force_size_calc=current_size,"
               "file.filename=" + image + " -O raw qemu.raw && sha256sum < qemu.raw"), diskHash);

  // Snapshot: the child takes the changes, the base stays as it was until
  // the merge folds them into it.
  ASSERT_EQ(RunTool({"create", "--parent", image, child}).exitCode, 0);
  std::string baseHash = Sh("sha256sum < " + image);
  {
    Mount mount(child, File("mnt"));
    ASSERT_TRUE(mount.ready);
    ShellOnExit unmount{"umount " + File("ext")};
    Sh("mount -o loop " + mount.file + " ext && cp -a src/0 src/1 ext/ && rm -r ext/9 && "
       "umount ext && e2fsck -fn " + mount.file + " >/dev/null 2>&1");
    diskHash = Sh("sha256sum < " + mount.file);
    EXPECT_EQ(mount.Unmount(), 0);
  }
  EXPECT_EQ(Sh("sha256sum < " + image), baseHash);
  EXPECT_EQ(RunTool({"merge", child}).exitCode, 0);
  EXPECT_EQ(Sh(DORVANE_BINARY_DIR "/dorvane cat " + image + " | sha256sum"), diskHash);
}

}  // namespace
}  // namespace dorvane::test
