// The nbdkit plugin through real NBD clients: nbdkit serves an image on a
// private Unix socket for the length of one client command (--run) and
// stops with it. qemu-img and qemu-io read and write the export; what they
// see and leave behind is held against `dorvane cat` and a model of the
// disk. Under the sanitizers, the plugin's sanitizer runtimes are preloaded
// into nbdkit (and only into it, not into the clients).
#include <gtest/gtest.h>

#include "support/differencing_chain.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kKiB = 1024, kMiB = 1024 * kKiB;
const char kPlugin[] = DORVANE_BINARY_DIR "/nbdkit-dorvane-plugin.so";

class NbdkitPlugin : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    for (const char *program : {"nbdkit", "qemu-img", "qemu-io", "nbdinfo"}) {
      if (!HaveProgram(program)) {
        GTEST_SKIP() << program << " is not installed: the NBD export cannot be tested";
      }
    }
    std::string runtimes;
    RunShell(std::string("ldd ") + kPlugin +
                 " | grep -oE '/[^ ]*lib(a|t|ub)san[^ ]*' | tr '\\n' ' '",
             &runtimes);
    if (!runtimes.empty()) {
      preload_ = "env LD_PRELOAD='" + runtimes + "' ";
    }
  }

  // nbdkit serving image with the plugin's parameters (and nbdkit's options)
  // while `run` (a shell command in which "$uri" is the export) runs;
  // nbdkit's exit status, and both output streams in *output. A server or
  // client that hangs is killed with its whole process group.
  int Serve(const std::string &image, const std::string &run, std::string *output,
            const std::string &parameters = "") {
    return RunShell("timeout -k 5 120 " + preload_ + "nbdkit -U - " + kPlugin + " image=" +
                        image + " " + parameters + " --run 'unset LD_PRELOAD; " + run + "' 2>&1",
                    output);
  }

  // A new image of `type` whose disk is 6 MiB of zeros with data at 1 MiB,
  // 2.5 MiB and the last sector; the disk's bytes.
  std::string MakeImage(const std::string &type, const std::string &image) {
    std::string base = type == "differencing" ? File("base.vhd") : image;
    std::vector<std::string> create = {"create", "--type", type == "fixed" ? "fixed" : "dynamic",
                                       "--size", "6M", "--block-size", "512K", base};
    if (type == "fixed") {
      create.erase(create.begin() + 5, create.begin() + 7);
    }
    EXPECT_EQ(RunTool(create).exitCode, 0);
    std::string disk(6 * kMiB, '\0');
    auto write = [&](const std::string &path, uint64_t offset, const std::string &data) {
      EXPECT_EQ(RunTool({"write", path, "--offset", std::to_string(offset)}, data).exitCode, 0);
      disk.replace(offset, data.size(), data);
    };
    write(base, kMiB, AsString(PatternBytes(300 * kKiB, 1)));
    write(base, 6 * kMiB - 512, std::string(512, 'e'));
    if (type == "differencing") {
      MakeDifferencingImage(image, base);
    }
    write(image, 2 * kMiB + 512 * kKiB, AsString(PatternBytes(100 * kKiB, 2)));
    return disk;
  }

  std::string preload_;
};

const char *const kTypes[] = {"fixed", "dynamic", "differencing"};

TEST_F(NbdkitPlugin, QemuImgReadsEachTypeAsTheCommandDoes) {
  for (const char *type : kTypes) {
    SCOPED_TRACE(type);
    std::string image = File(std::string(type) + ".vhd"), raw = File(std::string(type) + ".raw");
    std::string disk = MakeImage(type, image);
    std::string output, size = File("size.txt");
    ASSERT_EQ(Serve(image,
                    "nbdinfo --size \"$uri\" >" + size + " && qemu-img convert -f raw \"$uri\" " +
                        "-O raw " + raw,
                    &output),
              0)
        << output;
    EXPECT_EQ(AsString(ReadFileBytes(size)), std::to_string(6 * kMiB) + "\n");
    EXPECT_TRUE(AsString(ReadFileBytes(raw)) == disk);
    EXPECT_TRUE(RunTool({"cat", image}).out == disk);
  }
}

// qemu-io writes, zeroes and trims across block boundaries; the export then
// compares equal to the model, in the same server's life and after it. A
// chain's base is left as it was; its child writes zeros where asked and
// keeps its data on a trim, saying so in nbdkit's debug output.
TEST_F(NbdkitPlugin, QemuIoChangesLandWhereTheModelSays) {
  struct Step {
    const char *command;  // qemu-io's, on OFFSET LENGTH
    uint64_t offset, length;
    char fill;  // what the range reads afterwards
  };
  const Step steps[] = {
      /* 0 */ {"write -P 0x61", 512 * kKiB - 4 * kKiB, 8 * kKiB, 'a'},
      /* 1 */ {"write -P 0x62", 6 * kMiB - 3 * kKiB, 3 * kKiB, 'b'},  // the last sectors
      /* 2 */ {"write -z", kMiB + 512, 1000 * 512, '\0'},
      /* 3 */ {"discard", 2 * kMiB, kMiB, '\0'},  // blocks 4 and 5, data in block 5
      /* 4 */ {"write -f -P 0x63", 4 * kMiB, 4 * kKiB, 'c'},
      /* 5 */ {"write -z -u", 5 * kMiB, kMiB, '\0'},  // reaching the end of the disk
  };
  for (const char *type : kTypes) {
    SCOPED_TRACE(type);
    std::string image = File(std::string(type) + ".vhd"), model = File("model.raw");
    std::string disk = MakeImage(type, image);
    bool differencing = std::string(type) == "differencing";
    Bytes base = differencing ? ReadFileBytes(File("base.vhd")) : Bytes();
    std::string script = "qemu-io -f raw \"$uri\"";
    for (const Step &step : steps) {
      script += " -c \"" + std::string(step.command) + " " + std::to_string(step.offset) + " " +
                std::to_string(step.length) + "\"";
      // A differencing image keeps its space: a trim leaves what it had.
      if (std::string(step.command) != "discard" || !differencing) {
        disk.replace(step.offset, step.length, step.length, step.fill);
      }
    }
    WriteFileBytes(model, Bytes(disk.begin(), disk.end()));
    std::string output;
    EXPECT_EQ(Serve(image, script + " -c flush && qemu-img compare -f raw -F raw \"$uri\" " + model,
                    &output, differencing ? "-v" : ""),
              0)
        << output;
    EXPECT_TRUE(RunTool({"cat", image}).out == disk);
    if (differencing) {
      EXPECT_TRUE(ReadFileBytes(File("base.vhd")) == base) << "the base changed";
      EXPECT_NE(output.find(image + ": trim of " + std::to_string(kMiB) + " bytes at offset " +
                            std::to_string(2 * kMiB) + " ignored"),
                std::string::npos)
          << "the ignored trim is not logged";
    }
  }
}

TEST_F(NbdkitPlugin, ATrimShrinksADynamicImage) {
  std::string image = File("d.vhd");
  MakeImage("dynamic", image);
  uint64_t before = FileSize(image);
  std::string output;
  EXPECT_EQ(Serve(image, "qemu-io -f raw \"$uri\" -c \"discard 0 6M\"", &output), 0) << output;
  EXPECT_LE(FileSize(image), before - 3 * 512 * kKiB) << "three blocks held data";
  EXPECT_TRUE(RunTool({"cat", image}).out == std::string(6 * kMiB, '\0'));
}

// Read-only: a client cannot write, and the image stays open to other
// readers meanwhile.
TEST_F(NbdkitPlugin, ReadOnlyRefusesWritersAndSharesReading) {
  std::string image = File("d.vhd");
  std::string disk = MakeImage("dynamic", image);
  std::string output;
  Serve(image,
        std::string(DORVANE_BINARY_DIR) + "/dorvane cat " + image + " >" + File("shared.raw") +
            "; nbdinfo \"$uri\" | grep is_read_only; qemu-io -f raw \"$uri\" -c \"write 0 512\"",
        &output, "readonly=true");
  EXPECT_NE(output.find("is_read_only: true"), std::string::npos) << output;
  EXPECT_NE(output.find("Permission denied"), std::string::npos) << output;
  EXPECT_TRUE(AsString(ReadFileBytes(File("shared.raw"))) == disk);
  EXPECT_TRUE(RunTool({"cat", image}).out == disk);
}

// An image that cannot be opened keeps nbdkit from starting, and the line
// names the file at fault: here the chain's parent, cut short.
TEST_F(NbdkitPlugin, AnImageThatCannotOpenKeepsTheServerFromStarting) {
  std::string child = File("child.vhd");
  MakeImage("differencing", child);
  TruncateFile(File("base.vhd"), 4096);
  std::string output;
  EXPECT_NE(Serve(child, "echo served", &output), 0);
  EXPECT_EQ(output.find("served"), std::string::npos) << output;
  EXPECT_NE(output.find(child + ": cannot open image for writing: in the parent chain, " +
                        File("base.vhd")),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace dorvane::test
