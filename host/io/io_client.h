// The host I/O manager's client side, for the dorvane command, its front ends
// and tests: loading and unloading a driver, opening files below its devices,
// and sending requests through them as the NT I/O manager would for a caller
// of NtCreateFile, NtReadFile, NtWriteFile and NtClose. Also the observations
// tests need of what the driver asked of the I/O manager: the event log, the
// driver's paging state, devices and symbolic links.
// The driver never includes this header.
#pragma once

#include "host/files/open_parameters.h"
#include "host/io/io_manager.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// --- Drivers --------------------------------------------------------------------

// Loads a driver: makes its driver object (every major function refusing with
// STATUS_INVALID_DEVICE_REQUEST until DriverEntry fills the table) and calls
// DriverEntry at PASSIVE_LEVEL in kernel mode with the registry path
// \Registry\Machine\System\CurrentControlSet\Services\<service>. Returns what
// DriverEntry returned; on failure the driver object is gone (devices and
// links the failed DriverEntry left behind stay, as on NT).
// STATUS_OBJECT_NAME_COLLISION if a driver of that service is loaded.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string& service);

// Asks for the driver's unload, as the service control manager does. The
// unload routine runs at once when no file object on the driver's devices
// remains, else when the last one is closed; meanwhile new opens on its
// devices fail with STATUS_NO_SUCH_DEVICE. STATUS_INVALID_DEVICE_REQUEST
// when the driver has no unload routine, STATUS_OBJECT_NAME_NOT_FOUND when no
// such driver is loaded.
NTSTATUS UnloadDriver(const std::u16string& service);

// True while the driver is loaded (unload asked for but not yet run included).
bool IsDriverLoaded(const std::u16string& service);
// The loaded driver's object, or nullptr.
PDRIVER_OBJECT DriverObjectOf(const std::u16string& service);

// --- Object names -----------------------------------------------------------------

// Names are compared ignoring case. \DosDevices\ and \GLOBAL??\ name the same
// directory as \??\.
bool DeviceExists(const std::u16string& deviceName);
// The target of a symbolic link, or false when there is none.
bool QuerySymbolicLink(const std::u16string& linkName, std::u16string* target);
// Symbolic links made or removed by someone other than the driver (the
// system, another driver).
NTSTATUS CreateSymbolicLink(const std::u16string& linkName, const std::u16string& target);
NTSTATUS DeleteSymbolicLink(const std::u16string& linkName);

// --- Observations --------------------------------------------------------------

// One entry handed to IoWriteErrorLogEntry: the name of the driver it was
// allocated for and the packet's bytes (the size given at allocation).
struct ErrorLogEntry {
  std::u16string driverName;
  std::vector<uint8_t> packet;
};
std::vector<ErrorLogEntry> ErrorLog();
void ClearErrorLog();

// Paging of the driver image as the driver last set it: MmPageEntireDriver
// makes it Pageable, MmResetDriverPaging Resident (each section as its own
// attributes say). A driver starts Resident.
enum class DriverPaging { Resident, Pageable };
DriverPaging CurrentDriverPaging();
// Calls of MmResetDriverPaging since the last load.
uint64_t DriverPagingResets();

// --- Client files ---------------------------------------------------------------------

// How the request's MDL describes the caller's buffer: locked pages without a
// system address (what NtReadFile builds; the driver maps them), or pages that
// already carry one (MDL_MAPPED_TO_SYSTEM_VA).
enum class MdlMapping { LockedPages, MappedToSystem };

// A handle on a file object below a device. Requests run on the calling
// thread, at its IRQL (at most APC_LEVEL) and with its previous mode as the
// requestor mode; a user-mode caller is held to the handle's granted access,
// a kernel-mode one is not. On a synchronous handle (opened with
// FILE_SYNCHRONOUS_IO_*) requests are serialised and may use the file
// position; other handles take requests from several threads at once and need
// an explicit offset. The handle closes when the object goes out of scope;
// the driver sees IRP_MJ_CLEANUP when the file object's last handle closes and
// IRP_MJ_CLOSE when its last reference is gone. One DeviceFile object is not
// to be closed, moved or assigned while another thread uses it.
class DeviceFile {
 public:
  DeviceFile() = default;
  ~DeviceFile();
  DeviceFile(DeviceFile&& other) noexcept;
  DeviceFile& operator=(DeviceFile&& other) noexcept;
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  // NtCreateFile of `name` (below a device, directly or through symbolic
  // links). Returns the create's status and information; on success `file`
  // holds the new handle.
  static IO_STATUS_BLOCK Open(const std::u16string& name, const OpenParameters& parameters,
                              DeviceFile* file);

  bool IsOpen() const { return handle_ != 0; }

  // Reads or writes at the file position (synchronous handles only: other
  // handles get STATUS_INVALID_PARAMETER, as from NtReadFile without an
  // offset) or at an explicit offset, which may be one of the platform's
  // negative values. Return the status the dispatch routine returned and the
  // information the request completed with.
  IO_STATUS_BLOCK Read(void* buffer, ULONG length,
                       MdlMapping mapping = MdlMapping::LockedPages) const;
  IO_STATUS_BLOCK ReadAt(void* buffer, ULONG length, int64_t offset,
                         MdlMapping mapping = MdlMapping::LockedPages) const;
  IO_STATUS_BLOCK Write(const void* buffer, ULONG length,
                        MdlMapping mapping = MdlMapping::LockedPages) const;
  IO_STATUS_BLOCK WriteAt(const void* buffer, ULONG length, int64_t offset,
                          MdlMapping mapping = MdlMapping::LockedPages) const;

  // NtQueryInformationFile and NtSetInformationFile: IRP_MJ_QUERY_INFORMATION
  // or IRP_MJ_SET_INFORMATION with a system buffer of `length` bytes, the
  // query's copied back up to the information the request completed with. A
  // user-mode caller is held to the class's fixed length
  // (STATUS_INFO_LENGTH_MISMATCH), to classes the call accepts
  // (STATUS_INVALID_INFO_CLASS) and to the handle's access.
  IO_STATUS_BLOCK QueryInformation(void* buffer, ULONG length,
                                   FILE_INFORMATION_CLASS infoClass) const;
  IO_STATUS_BLOCK SetInformation(const void* buffer, ULONG length,
                                 FILE_INFORMATION_CLASS infoClass) const;
  // A buffered control request (METHOD_BUFFERED codes) as NtFsControlFile
  // and NtDeviceIoControlFile send it: `majorFunction` is
  // IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MJ_DEVICE_CONTROL or
  // IRP_MJ_INTERNAL_DEVICE_CONTROL, with `minorFunction` in the stack
  // location. The system buffer is as long as the longer of the input and
  // the output and starts with the input; unless the request fails with an
  // error status, up to `outputLength` bytes of it, as many as the
  // information says, are copied back to `output`. A user-mode caller must
  // hold the access the code's access bits ask for (STATUS_ACCESS_DENIED).
  IO_STATUS_BLOCK Control(UCHAR majorFunction, UCHAR minorFunction, ULONG controlCode,
                          const void* input, ULONG inputLength, void* output,
                          ULONG outputLength) const;

  // A request the calls above do not make: an IRP of `majorFunction` on this
  // handle's file object, its stack location and buffers set up by `prepare`
  // (which owns whatever buffers it attaches until the call returns).
  IO_STATUS_BLOCK SendRequest(UCHAR majorFunction,
                              const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare) const;

  // A second handle on the same file object.
  DeviceFile Duplicate() const;

  // NtClose of the handle. Nothing happens when none is open.
  void Close();

  // Host-only view of the handle's file object (its FsContext2, position and
  // flags), for tools and tests. Valid while the handle is open.
  PFILE_OBJECT FileObject() const;

 private:
  explicit DeviceFile(uint64_t handle) : handle_(handle) {}
  uint64_t handle_ = 0;
};

}  // namespace host
