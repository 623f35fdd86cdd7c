// Flush requests: the whole chain written back, farthest ancestor first; the
// request's status is the image's own flush; refused without write access.
#include <gtest/gtest.h>

#include "support/differencing_chain.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

class DriverFlush : public DriverTest {
 protected:
  IO_STATUS_BLOCK Flush(const host::DeviceFile &file) {
    return file.SendRequest(IRP_MJ_FLUSH_BUFFERS, [](PIRP, PIO_STACK_LOCATION) {});
  }
};

TEST_F(DriverFlush, WritesTheChainBackFarthestAncestorFirst) {
  MakeFixedImage(File("base.vhd"), 4 << 20);
  MakeDifferencingImage(File("middle.vhd"), File("base.vhd"));
  MakeDifferencingImage(File("top.vhd"), File("middle.vhd"));
  host::DeviceFile file = OpenImageOrFail(File("top.vhd"));

  std::vector<std::string> flushed;
  host::SetFileCallHook([&](host::FileCall call, const std::string &path) {
    if (call == host::FileCall::Flush) flushed.push_back(path.substr(path.rfind('/') + 1));
  });
  // The parents are open for reading only, so the file system refuses their
  // flushes; that does not fail the request.
  IO_STATUS_BLOCK status = Flush(file);
  host::SetFileCallHook(nullptr);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, 0u);
  EXPECT_EQ(flushed, (std::vector<std::string>{"base.vhd", "middle.vhd", "top.vhd"}));

  host::InjectFileFault(host::FileCall::Flush, 1, host::FileFault::Fail(STATUS_DISK_FULL),
                        "top.vhd");
  EXPECT_EQ(Flush(file).Status, STATUS_DISK_FULL) << "the image's own flush is the result";
}

TEST_F(DriverFlush, ReadOnlyHandleIsRefused) {
  MakeDynamicImage(File("disk.vhd"), 4 << 20);
  host::DeviceFile file = OpenImageOrFail(File("disk.vhd"), SynchronousOpen(kReadOnlyAccess));
  EXPECT_EQ(Flush(file).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Flush), 0u);
}

}  // namespace
}  // namespace dorvane::test
