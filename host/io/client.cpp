// The client side of the host I/O manager: handles on file objects below a
// device, and the requests a client makes through them, built and checked as
// NtCreateFile, NtReadFile, NtWriteFile and NtClose build and check them:
// parameter checks for user-mode callers, the handle's granted access, the
// file position and serialisation of synchronous file objects, MDLs for
// direct-I/O devices, IRP_MJ_CLEANUP at the last handle and IRP_MJ_CLOSE at
// the last reference.
#include "host/files/file_services_internal.h"
#include "host/io/io_manager_internal.h"

#include <cstdlib>
#include <map>

namespace host::io {

namespace {

// The host side of a client's file object.
struct ClientFile {
  FILE_OBJECT object{};
  std::u16string fileName;  // storage of object.FileName
  ACCESS_MASK grantedAccess = 0;
  // Under clientLock. Each handle holds one reference, each request in
  // progress another.
  long handleCount = 0;
  long referenceCount = 0;
  // Serialises the requests on a synchronous file object, as NT's file
  // object lock does.
  std::mutex synchronousIo;
};

std::mutex clientLock;
struct ClientTables {
  std::map<uint64_t, ClientFile*> handles;
  uint64_t nextHandle = 4;
};
ClientTables& C() {
  static auto* tables = new ClientTables();
  return *tables;
}

constexpr ULONG kValidFileAttributes = 0x00007FB7;
constexpr ULONG kSynchronousOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kCreateOptionsMask = 0x00FFFFFF;

IO_STATUS_BLOCK Result(NTSTATUS status, ULONG_PTR information = 0) {
  IO_STATUS_BLOCK result{};
  result.Status = status;
  result.Information = information;
  return result;
}

ACCESS_MASK GrantedAccessFor(ACCESS_MASK desired) {
  ACCESS_MASK granted = MapGenericFileAccess(desired);
  if (granted & MAXIMUM_ALLOWED) granted = (granted & ~MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
  return granted;
}

// The checks IoCreateFile makes of a user-mode caller's parameters.
NTSTATUS CheckCreateParameters(const OpenParameters& p) {
  ACCESS_MASK access = GrantedAccessFor(p.desiredAccess);
  bool invalid =
      (p.fileAttributes & ~kValidFileAttributes) != 0 ||
      (p.shareAccess & ~FILE_SHARE_VALID_FLAGS) != 0 ||
      p.disposition > FILE_MAXIMUM_DISPOSITION ||
      (p.options & ~FILE_VALID_OPTION_FLAGS) != 0 ||
      (p.options & kSynchronousOptions) == kSynchronousOptions ||
      ((p.options & kSynchronousOptions) != 0 && (access & SYNCHRONIZE) == 0) ||
      ((p.options & FILE_DELETE_ON_CLOSE) != 0 && (access & DELETE) == 0) ||
      ((p.options & FILE_DIRECTORY_FILE) != 0 && (p.options & FILE_NON_DIRECTORY_FILE) != 0);
  return invalid ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

PIRP IrpFor(ClientFile* file, UCHAR majorFunction, KPROCESSOR_MODE requestorMode) {
  PDEVICE_OBJECT device = file->object.DeviceObject;
  PIRP irp = AllocateIrp(device->StackSize);
  irp->RequestorMode = requestorMode;
  irp->Tail.Overlay.OriginalFileObject = &file->object;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = majorFunction;
  stack->FileObject = &file->object;
  return irp;
}

// Cleanup and close: sent by the system, whose result nobody sees.
void SendSystemRequest(ClientFile* file, UCHAR majorFunction) {
  PIRP irp = IrpFor(file, majorFunction, KernelMode);
  CallDriverAndWait(file->object.DeviceObject, irp);
  FreeIrp(irp);
}

void DereferenceClientFile(ClientFile* file) {
  {
    std::lock_guard<std::mutex> guard(clientLock);
    if (--file->referenceCount != 0) return;
  }
  SendSystemRequest(file, IRP_MJ_CLOSE);
  PDEVICE_OBJECT device = file->object.DeviceObject;
  delete file;
  DereferenceDevice(device);
}

// A reference on the file object behind a handle, dropped at scope exit.
class ClientFileReference {
 public:
  explicit ClientFileReference(uint64_t handle) {
    std::lock_guard<std::mutex> guard(clientLock);
    auto found = C().handles.find(handle);
    if (found == C().handles.end()) return;
    file_ = found->second;
    ++file_->referenceCount;
  }
  ~ClientFileReference() {
    if (file_ != nullptr) DereferenceClientFile(file_);
  }
  ClientFileReference(const ClientFileReference&) = delete;
  ClientFileReference& operator=(const ClientFileReference&) = delete;
  ClientFile* operator->() const { return file_; }
  ClientFile* Get() const { return file_; }

 private:
  ClientFile* file_ = nullptr;
};

IO_STATUS_BLOCK Transfer(uint64_t handle, UCHAR majorFunction, void* buffer, ULONG length,
                         const int64_t* offset, MdlMapping mapping) {
  RequireIrqlAtMost(APC_LEVEL, majorFunction == IRP_MJ_READ ? "NtReadFile" : "NtWriteFile");
  KernelEntry entry;
  ClientFileReference file(handle);
  if (file.Get() == nullptr) return Result(STATUS_INVALID_HANDLE);
  KPROCESSOR_MODE mode = ExGetPreviousMode();
  ACCESS_MASK required =
      majorFunction == IRP_MJ_READ ? FILE_READ_DATA : FILE_WRITE_DATA | FILE_APPEND_DATA;
  if (mode == UserMode && (file->grantedAccess & required) == 0) {
    return Result(STATUS_ACCESS_DENIED);
  }

  PFILE_OBJECT object = &file->object;
  std::unique_lock<std::mutex> serialised(file->synchronousIo, std::defer_lock);
  LARGE_INTEGER byteOffset;
  byteOffset.QuadPart = offset != nullptr ? *offset : 0;
  if ((object->Flags & FO_SYNCHRONOUS_IO) != 0) {
    serialised.lock();
    if (offset == nullptr || UsesFilePosition(byteOffset)) byteOffset = object->CurrentByteOffset;
  } else if (offset == nullptr) {
    return Result(STATUS_INVALID_PARAMETER);
  }

  PDEVICE_OBJECT device = object->DeviceObject;
  PIRP irp = IrpFor(file.Get(), majorFunction, mode);
  irp->UserBuffer = buffer;
  bool buffered = (device->Flags & DO_BUFFERED_IO) != 0 && length != 0;
  if (buffered) {
    irp->AssociatedIrp.SystemBuffer = malloc(length);
    if (irp->AssociatedIrp.SystemBuffer == nullptr) {
      FreeIrp(irp);
      return Result(STATUS_INSUFFICIENT_RESOURCES);
    }
    if (majorFunction == IRP_MJ_WRITE) memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
  } else if ((device->Flags & DO_DIRECT_IO) != 0 && length != 0) {
    irp->MdlAddress = AllocateMdl(buffer, length, mapping);
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Read.Length = length;
  stack->Parameters.Read.ByteOffset = byteOffset;

  NTSTATUS status = CallDriverAndWait(device, irp);
  ULONG_PTR information = irp->IoStatus.Information;
  if (buffered) {
    if (majorFunction == IRP_MJ_READ && NT_SUCCESS(irp->IoStatus.Status)) {
      memcpy(buffer, irp->AssociatedIrp.SystemBuffer, std::min<ULONG_PTR>(information, length));
    }
    free(irp->AssociatedIrp.SystemBuffer);
  }
  FreeIrp(irp);
  return Result(status, information);
}

// NtQueryInformationFile and NtSetInformationFile of a handle below a device:
// the class, its fixed length and the handle's access are checked for a
// user-mode caller, then the request goes to the driver with a system buffer
// of `length` bytes. A query's buffer comes back up to the information
// unless the request failed with an error. Every class reaches the driver
// (NT answers FileAccessInformation and FileModeInformation itself).
IO_STATUS_BLOCK InformationRequest(uint64_t handle, UCHAR majorFunction, void* buffer,
                                   ULONG length, FILE_INFORMATION_CLASS infoClass) {
  bool query = majorFunction == IRP_MJ_QUERY_INFORMATION;
  RequireIrqlAtMost(PASSIVE_LEVEL, query ? "NtQueryInformationFile" : "NtSetInformationFile");
  ClientFileReference file(handle);
  if (file.Get() == nullptr) return Result(STATUS_INVALID_HANDLE);
  KPROCESSOR_MODE mode = ExGetPreviousMode();
  if (mode == UserMode) {
    const InformationClassRule* rule = FindInformationClass(infoClass);
    ULONG needed = rule == nullptr ? 0 : query ? rule->queryLength : rule->setLength;
    if (needed == 0) return Result(STATUS_INVALID_INFO_CLASS);
    if (length < needed) return Result(STATUS_INFO_LENGTH_MISMATCH);
    ACCESS_MASK required = query ? rule->queryAccess : rule->setAccess;
    if ((file->grantedAccess & required) != required) return Result(STATUS_ACCESS_DENIED);
  }

  std::unique_lock<std::mutex> serialised(file->synchronousIo, std::defer_lock);
  if ((file->object.Flags & FO_SYNCHRONOUS_IO) != 0) serialised.lock();
  PIRP irp = IrpFor(file.Get(), majorFunction, mode);
  if (length != 0) {
    irp->AssociatedIrp.SystemBuffer = malloc(length);
    if (irp->AssociatedIrp.SystemBuffer == nullptr) {
      FreeIrp(irp);
      return Result(STATUS_INSUFFICIENT_RESOURCES);
    }
    // A query's buffer starts as whatever the pool held; the driver must
    // not return it unwritten.
    memset(irp->AssociatedIrp.SystemBuffer, query ? 0xCC : 0, length);
    if (!query) memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (query) {
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = infoClass;
  } else {
    stack->Parameters.SetFile.Length = length;
    stack->Parameters.SetFile.FileInformationClass = infoClass;
  }

  NTSTATUS status = CallDriverAndWait(file->object.DeviceObject, irp);
  ULONG_PTR information = irp->IoStatus.Information;
  bool isError = (static_cast<ULONG>(irp->IoStatus.Status) >> 30) == 3;
  if (query && !isError && length != 0) {
    memcpy(buffer, irp->AssociatedIrp.SystemBuffer, std::min<ULONG_PTR>(information, length));
  }
  free(irp->AssociatedIrp.SystemBuffer);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  FreeIrp(irp);
  return Result(status, information);
}

}  // namespace

}  // namespace host::io

namespace host {

using namespace host::io;

DeviceFile::~DeviceFile() { Close(); }

DeviceFile::DeviceFile(DeviceFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = 0;
}

DeviceFile& DeviceFile::operator=(DeviceFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = 0;
  }
  return *this;
}

IO_STATUS_BLOCK DeviceFile::Open(const std::u16string& name, const OpenParameters& parameters,
                                 DeviceFile* file) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "NtCreateFile");
  KernelEntry entry;
  file->Close();
  KPROCESSOR_MODE mode = ExGetPreviousMode();
  if (mode == UserMode) {
    NTSTATUS status = CheckCreateParameters(parameters);
    if (!NT_SUCCESS(status)) return Result(status);
  }
  PDEVICE_OBJECT device;
  std::u16string remainder;
  NTSTATUS status = ReferenceDeviceByName(name, &device, &remainder);
  if (!NT_SUCCESS(status)) return Result(status);

  auto* client = new ClientFile();
  client->fileName = remainder;
  client->grantedAccess = GrantedAccessFor(parameters.desiredAccess);
  client->referenceCount = 1;
  PFILE_OBJECT object = &client->object;
  object->Type = IO_TYPE_FILE;
  object->Size = sizeof(FILE_OBJECT);
  object->DeviceObject = device;
  object->FileName.Buffer = client->fileName.data();
  object->FileName.Length = USHORT(client->fileName.size() * sizeof(WCHAR));
  object->FileName.MaximumLength = object->FileName.Length;
  object->Flags = FileObjectFlags(parameters.options);

  // The access state the object manager builds carries the desired access
  // with generic rights mapped to file rights.
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = MapGenericFileAccess(parameters.desiredAccess);
  security.FullCreateOptions = parameters.options;
  PIRP irp = IrpFor(client, IRP_MJ_CREATE, mode);
  irp->Overlay.AllocationSize.QuadPart = parameters.allocationSize;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Create.SecurityContext = &security;
  stack->Parameters.Create.Options =
      (parameters.disposition << 24) | (parameters.options & kCreateOptionsMask);
  stack->Parameters.Create.FileAttributes = USHORT(parameters.fileAttributes);
  stack->Parameters.Create.ShareAccess = USHORT(parameters.shareAccess);

  status = CallDriverAndWait(device, irp);
  ULONG_PTR information = irp->IoStatus.Information;
  FreeIrp(irp);
  // A file object whose create failed is dropped without a close request.
  if (!NT_SUCCESS(status)) {
    delete client;
    DereferenceDevice(device);
    return Result(status, information);
  }
  object->Flags |= FO_HANDLE_CREATED;
  std::lock_guard<std::mutex> guard(clientLock);
  uint64_t handle = C().nextHandle;
  C().nextHandle += 4;
  C().handles[handle] = client;
  client->handleCount = 1;
  file->handle_ = handle;
  return Result(status, information);
}

IO_STATUS_BLOCK DeviceFile::Read(void* buffer, ULONG length, MdlMapping mapping) const {
  return Transfer(handle_, IRP_MJ_READ, buffer, length, nullptr, mapping);
}

IO_STATUS_BLOCK DeviceFile::ReadAt(void* buffer, ULONG length, int64_t offset,
                                   MdlMapping mapping) const {
  return Transfer(handle_, IRP_MJ_READ, buffer, length, &offset, mapping);
}

IO_STATUS_BLOCK DeviceFile::Write(const void* buffer, ULONG length, MdlMapping mapping) const {
  return Transfer(handle_, IRP_MJ_WRITE, const_cast<void*>(buffer), length, nullptr, mapping);
}

IO_STATUS_BLOCK DeviceFile::WriteAt(const void* buffer, ULONG length, int64_t offset,
                                    MdlMapping mapping) const {
  return Transfer(handle_, IRP_MJ_WRITE, const_cast<void*>(buffer), length, &offset, mapping);
}

IO_STATUS_BLOCK DeviceFile::SendRequest(
    UCHAR majorFunction, const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare) const {
  RequireIrqlAtMost(APC_LEVEL, "DeviceFile::SendRequest");
  KernelEntry entry;
  ClientFileReference file(handle_);
  if (file.Get() == nullptr) return Result(STATUS_INVALID_HANDLE);
  std::unique_lock<std::mutex> serialised(file->synchronousIo, std::defer_lock);
  if ((file->object.Flags & FO_SYNCHRONOUS_IO) != 0) serialised.lock();
  PIRP irp = IrpFor(file.Get(), majorFunction, ExGetPreviousMode());
  prepare(irp, IoGetNextIrpStackLocation(irp));
  NTSTATUS status = CallDriverAndWait(file->object.DeviceObject, irp);
  ULONG_PTR information = irp->IoStatus.Information;
  // The MDL, if any, is the caller's.
  irp->MdlAddress = nullptr;
  FreeIrp(irp);
  return Result(status, information);
}

IO_STATUS_BLOCK DeviceFile::QueryInformation(void* buffer, ULONG length,
                                             FILE_INFORMATION_CLASS infoClass) const {
  return InformationRequest(handle_, IRP_MJ_QUERY_INFORMATION, buffer, length, infoClass);
}

IO_STATUS_BLOCK DeviceFile::SetInformation(const void* buffer, ULONG length,
                                           FILE_INFORMATION_CLASS infoClass) const {
  return InformationRequest(handle_, IRP_MJ_SET_INFORMATION, const_cast<void*>(buffer), length,
                            infoClass);
}

IO_STATUS_BLOCK DeviceFile::Control(UCHAR majorFunction, UCHAR minorFunction, ULONG controlCode,
                                    const void* input, ULONG inputLength, void* output,
                                    ULONG outputLength) const {
  RequireIrqlAtMost(PASSIVE_LEVEL, "NtFsControlFile");
  ClientFileReference file(handle_);
  if (file.Get() == nullptr) return Result(STATUS_INVALID_HANDLE);
  KPROCESSOR_MODE mode = ExGetPreviousMode();
  if (mode == UserMode) {
    ULONG accessBits = (controlCode >> 14) & 3;
    ACCESS_MASK required = ((accessBits & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
                           ((accessBits & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
    if ((file->grantedAccess & required) != required) return Result(STATUS_ACCESS_DENIED);
    if ((inputLength != 0 && input == nullptr) || (outputLength != 0 && output == nullptr)) {
      return Result(STATUS_INVALID_PARAMETER);
    }
  }
  std::unique_lock<std::mutex> serialised(file->synchronousIo, std::defer_lock);
  if ((file->object.Flags & FO_SYNCHRONOUS_IO) != 0) serialised.lock();

  ULONG systemLength = std::max(inputLength, outputLength);
  void* systemBuffer = nullptr;
  if (systemLength != 0) {
    systemBuffer = calloc(1, systemLength);
    if (systemBuffer == nullptr) return Result(STATUS_INSUFFICIENT_RESOURCES);
    if (inputLength != 0) memcpy(systemBuffer, input, inputLength);
  }
  PIRP irp = IrpFor(file.Get(), majorFunction, mode);
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  irp->UserBuffer = output;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MinorFunction = minorFunction;
  // File-system and device control keep their lengths and code in the same
  // places of the stack location.
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.IoControlCode = controlCode;

  NTSTATUS status = CallDriverAndWait(file->object.DeviceObject, irp);
  ULONG_PTR information = irp->IoStatus.Information;
  if (!NT_ERROR(irp->IoStatus.Status) && outputLength != 0) {
    memcpy(output, systemBuffer, std::min<ULONG_PTR>(information, outputLength));
  }
  FreeIrp(irp);
  free(systemBuffer);
  return Result(status, information);
}

DeviceFile DeviceFile::Duplicate() const {
  std::lock_guard<std::mutex> guard(clientLock);
  auto found = C().handles.find(handle_);
  if (found == C().handles.end()) return DeviceFile();
  ClientFile* file = found->second;
  ++file->handleCount;
  ++file->referenceCount;
  uint64_t handle = C().nextHandle;
  C().nextHandle += 4;
  C().handles[handle] = file;
  return DeviceFile(handle);
}

void DeviceFile::Close() {
  if (handle_ == 0) return;
  ClientFile* file;
  bool lastHandle;
  {
    std::lock_guard<std::mutex> guard(clientLock);
    auto found = C().handles.find(handle_);
    handle_ = 0;
    if (found == C().handles.end()) return;
    file = found->second;
    C().handles.erase(found);
    lastHandle = --file->handleCount == 0;
  }
  if (lastHandle) SendSystemRequest(file, IRP_MJ_CLEANUP);
  DereferenceClientFile(file);
}

PFILE_OBJECT DeviceFile::FileObject() const {
  std::lock_guard<std::mutex> guard(clientLock);
  auto found = C().handles.find(handle_);
  return found == C().handles.end() ? nullptr : &found->second->object;
}

}  // namespace host
