// The disk layer as a client of the driver: each call one request on a
// handle below the driver's device (driver_handle.h, one per platform), with
// the requests' buffers built here. Requests the driver finds busy (another
// request on the handle in progress) are retried after a short pause, as the
// driver expects of its clients.
#include "tools/disk/disk_access.h"

#include "tools/disk/driver_handle.h"

#include "driver/control_codes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace dorvane {

namespace {

// Busy refusals are retried with pauses growing to a few milliseconds; a
// request still refused after this long is reported as busy.
constexpr auto kFirstBusyPause = std::chrono::microseconds(100);
constexpr auto kLongestBusyPause = std::chrono::milliseconds(10);
constexpr auto kBusyPatience = std::chrono::seconds(30);

template <typename Request>
IO_STATUS_BLOCK RetryWhileBusy(const Request &request) {
  auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kFirstBusyPause);
  auto giveUp = std::chrono::steady_clock::now() + kBusyPatience;
  for (;;) {
    IO_STATUS_BLOCK status = request();
    if (status.Status != STATUS_DEVICE_BUSY || std::chrono::steady_clock::now() >= giveUp) {
      return status;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, kLongestBusyPause);
  }
}

}  // namespace

struct Disk::State {
  std::unique_ptr<DriverHandle> handle;
};

Disk::Disk() : state_(new State) {}

Disk::~Disk() { Close(); }

NTSTATUS Disk::OpenDisk(const std::string &path, bool writable) {
  Close();
  return DriverHandle::Open(path, writable, &state_->handle);
}

namespace {

NTSTATUS Transfer(DriverHandle *handle, bool write, uint64_t offset, void *buffer,
                  uint32_t length, uint32_t *transferred) {
  *transferred = 0;
  if (handle == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    return STATUS_INVALID_PARAMETER;
  }
  int64_t at = static_cast<int64_t>(offset);
  IO_STATUS_BLOCK status = RetryWhileBusy([&] {
    return write ? handle->Write(buffer, length, at) : handle->Read(buffer, length, at);
  });
  if (NT_SUCCESS(status.Status)) {
    *transferred = static_cast<uint32_t>(status.Information);
  }
  return status.Status;
}

}  // namespace

NTSTATUS Disk::ReadDisk(uint64_t offset, void *buffer, uint32_t length, uint32_t *transferred) {
  return Transfer(state_->handle.get(), false, offset, buffer, length, transferred);
}

NTSTATUS Disk::WriteDisk(uint64_t offset, const void *buffer, uint32_t length,
                         uint32_t *transferred) {
  return Transfer(state_->handle.get(), true, offset, const_cast<void *>(buffer), length,
                  transferred);
}

NTSTATUS Disk::FlushDisk() {
  if (!state_->handle) {
    return STATUS_INVALID_HANDLE;
  }
  return RetryWhileBusy([&] { return state_->handle->Flush(); }).Status;
}

NTSTATUS Disk::QueryDiskSize(uint64_t *size) {
  if (!state_->handle) {
    return STATUS_INVALID_HANDLE;
  }
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK status = RetryWhileBusy([&] {
    return state_->handle->Query(&standard, sizeof(standard), FileStandardInformation);
  });
  if (NT_SUCCESS(status.Status)) {
    *size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  }
  return status.Status;
}

namespace {

// A buffered file-system control request, retried while the driver is busy.
// The output, if any, returns in the input's buffer.
NTSTATUS SendFsControl(DriverHandle *handle, ULONG code, std::vector<uint8_t> *buffer,
                       bool output) {
  if (handle == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  ULONG length = static_cast<ULONG>(buffer->size());
  std::vector<uint8_t> result(output ? buffer->size() : 0);
  IO_STATUS_BLOCK status = RetryWhileBusy([&] {
    return handle->FsControl(code, buffer->data(), length, output ? result.data() : nullptr,
                             output ? length : 0);
  });
  if (output && NT_SUCCESS(status.Status)) {
    *buffer = result;
  }
  return status.Status;
}

template <typename T>
void Put(std::vector<uint8_t> *buffer, size_t offset, T value) {
  std::memcpy(buffer->data() + offset, &value, sizeof(value));
}

}  // namespace

NTSTATUS Disk::ZeroRange(uint64_t offset, uint64_t length) {
  if (offset > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - offset) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint8_t> request(sizeof(FILE_ZERO_DATA_INFORMATION));
  Put<int64_t>(&request, 0, static_cast<int64_t>(offset));
  Put<int64_t>(&request, 8, static_cast<int64_t>(offset + length));
  return SendFsControl(state_->handle.get(), FSCTL_SET_ZERO_DATA, &request, false);
}

NTSTATUS Disk::ZeroDiskRange(uint64_t offset, uint64_t length, uint64_t diskSize) {
  return offset < diskSize && length < diskSize - offset ? ZeroRange(offset, length)
                                                        : TrimRanges({{offset, length}});
}

NTSTATUS Disk::TrimRanges(const std::vector<std::pair<uint64_t, uint64_t>> &ranges) {
  if (ranges.size() > (0xFFFFFFFFu - 8) / 16) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<uint8_t> request(8 + 16 * ranges.size());
  Put<uint32_t>(&request, 4, static_cast<uint32_t>(ranges.size()));
  for (size_t i = 0; i < ranges.size(); ++i) {
    Put<uint64_t>(&request, 8 + 16 * i, ranges[i].first);
    Put<uint64_t>(&request, 16 + 16 * i, ranges[i].second);
  }
  return SendFsControl(state_->handle.get(), FSCTL_FILE_LEVEL_TRIM, &request, false);
}

NTSTATUS Disk::MergeStep(uint32_t parentLevels, uint32_t blockLimit, uint32_t *merged,
                         uint32_t *remaining) {
  static const uint8_t kGuard[16] = DORVANE_GUARD_GUID_BYTES;
  std::vector<uint8_t> request(MERGE_DIFFERENCING_BUFFER_SIZE);
  std::memcpy(request.data(), kGuard, sizeof(kGuard));
  Put<uint32_t>(&request, MERGE_DIFFERENCING_LEVELS_OFFSET, parentLevels);
  Put<uint32_t>(&request, MERGE_DIFFERENCING_LIMIT_OFFSET, blockLimit);
  NTSTATUS status = SendFsControl(state_->handle.get(), FSCTL_MERGE_DIFFERENCING, &request, true);
  if (NT_SUCCESS(status)) {
    std::memcpy(merged, request.data() + MERGE_DIFFERENCING_LEVELS_OFFSET, sizeof(*merged));
    std::memcpy(remaining, request.data() + MERGE_DIFFERENCING_LIMIT_OFFSET, sizeof(*remaining));
  }
  return status;
}

NTSTATUS Disk::SetDiskEnd(uint64_t size) {
  if (!state_->handle) {
    return STATUS_INVALID_HANDLE;
  }
  if (size > static_cast<uint64_t>(INT64_MAX)) {
    return STATUS_INVALID_PARAMETER;
  }
  FILE_END_OF_FILE_INFORMATION endOfFile{};
  endOfFile.EndOfFile.QuadPart = static_cast<int64_t>(size);
  return RetryWhileBusy([&] {
           return state_->handle->Set(&endOfFile, sizeof(endOfFile), FileEndOfFileInformation);
         })
      .Status;
}

void Disk::Close() { state_->handle.reset(); }

}  // namespace dorvane
