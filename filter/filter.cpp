// dorvfilt.sys: load and unload, the named create and the forwarded
// requests (filter/filter_control.h describes the interface).
#include "filter/filter.h"

// The driver object type, as ObReferenceObjectByName takes it: the kernel
// exports IoDriverObjectType as a variable holding the type, and the import
// slot holds that variable's address (the same binding as IoFileObjectType
// in kernel/windows/kernel_services.h).
extern "C" POBJECT_TYPE *DorvfiltDriverObjectTypeSlot __asm__("__imp_IoDriverObjectType");

PDEVICE_OBJECT FilterControlDevice = NULL;
PDRIVER_OBJECT TargetDriver = NULL;

namespace {

UNICODE_STRING ControlName = DORVANE_CONSTANT_STRING(DORVFILT_CONTROL_DEVICE_NAME);
UNICODE_STRING ControlLink = DORVANE_CONSTANT_STRING(DORVFILT_CONTROL_LINK_NAME);
UNICODE_STRING TargetDriverName = DORVANE_CONSTANT_STRING(DORVFILT_TARGET_DRIVER_NAME);

PDEVICE_OBJECT AttachedDevice = NULL;  // the filter's device over the driver's
PDEVICE_OBJECT LowerDevice = NULL;     // what it is attached to
BOOLEAN WineMended = FALSE;

// The open set for the next create; its name is in pool, owned here.
DORVFILT_OPEN PendingOpen;
UNICODE_STRING PendingName = {0, 0, NULL};
LONG LastCreateStatus = STATUS_PENDING;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassDown(PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS SetOpen(const UCHAR *Buffer, ULONG Length) {
  DORVFILT_OPEN Open;
  if (Length < DORVFILT_OPEN_HEAD_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  RtlCopyMemory(&Open, Buffer, sizeof(Open));
  if (Open.NameLength == 0 || Open.NameLength % sizeof(WCHAR) != 0 ||
      Open.NameLength > DORVFILT_NAME_MAX_BYTES ||
      Length - DORVFILT_OPEN_HEAD_SIZE < Open.NameLength) {
    return STATUS_INVALID_PARAMETER;
  }
  PVOID Name = AllocateUnfilledPool(Open.NameLength);
  if (Name == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Name, Buffer + DORVFILT_OPEN_HEAD_SIZE, Open.NameLength);
  FreeCountedString(&PendingName);
  PendingName.Buffer = static_cast<PWSTR>(Name);
  PendingName.Length = PendingName.MaximumLength = (USHORT)Open.NameLength;
  PendingOpen = Open;
  return STATUS_SUCCESS;
}

NTSTATUS DispatchControlDevice(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    // Create, close and cleanup of the control device, and the flush of an
    // image file this device stands under (there is nothing of its own to
    // write back).
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  PUCHAR Buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case DORVFILT_SET_OPEN:
      return Complete(Irp, SetOpen(Buffer, InputLength), 0);
    case DORVFILT_LAST_CREATE:
      if (OutputLength < sizeof(LONG)) {
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      RtlCopyMemory(Buffer, &LastCreateStatus, sizeof(LONG));
      return Complete(Irp, STATUS_SUCCESS, sizeof(LONG));
    case DORVFILT_MEND_WINE: {
      NTSTATUS Status = WineMended ? STATUS_SUCCESS : MendWineGaps(TargetDriver);
      WineMended = NT_SUCCESS(Status);
      return Complete(Irp, Status, 0);
    }
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// A create of the driver's device with the pending open's name and
// parameters, passed down; the name lent to the file object is taken back
// once the driver has answered (the driver keeps its own copy).
NTSTATUS NamedCreate(PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;
  UNICODE_STRING OwnName = FileObject->FileName;
  IO_SECURITY_CONTEXT Security;
  RtlZeroMemory(&Security, sizeof(Security));
  Security.DesiredAccess = PendingOpen.DesiredAccess;
  FileObject->FileName = PendingName;
  Stack->Parameters.Create.SecurityContext = &Security;
  Stack->Parameters.Create.Options =
      (PendingOpen.Disposition << 24) | (PendingOpen.CreateOptions & 0x00FFFFFF);
  Stack->Parameters.Create.ShareAccess = (USHORT)PendingOpen.ShareAccess;
  NTSTATUS Status = PassDown(Irp);
  FileObject->FileName = OwnName;
  FreeCountedString(&PendingName);
  LastCreateStatus = Status;
  return Status;
}

NTSTATUS ForwardDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds the request a DORVFILT_FORWARD carries on the client's file object
// and sends it down; the client's buffer holds the answer.
NTSTATUS Forward(PIRP ClientIrp) {
  PIO_STACK_LOCATION ClientStack = IoGetCurrentIrpStackLocation(ClientIrp);
  PUCHAR Buffer = static_cast<PUCHAR>(ClientIrp->AssociatedIrp.SystemBuffer);
  ULONG InputLength = ClientStack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutputLength = ClientStack->Parameters.DeviceIoControl.OutputBufferLength;
  DORVFILT_FORWARD_HEAD Head;
  if (InputLength < DORVFILT_FORWARD_HEAD_SIZE) {
    return Complete(ClientIrp, STATUS_INVALID_PARAMETER, 0);
  }
  RtlCopyMemory(&Head, Buffer, sizeof(Head));
  ULONG DataLength = Head.InputLength > Head.OutputLength ? Head.InputLength : Head.OutputLength;
  if (DataLength > DORVFILT_FORWARD_DATA_MAX ||
      InputLength < DORVFILT_FORWARD_HEAD_SIZE + DataLength ||
      OutputLength < DORVFILT_FORWARD_HEAD_SIZE + DataLength) {
    return Complete(ClientIrp, STATUS_INVALID_PARAMETER, 0);
  }

  PIRP Irp = IoAllocateIrp(LowerDevice->StackSize, FALSE);
  if (Irp == NULL) {
    return Complete(ClientIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  Irp->AssociatedIrp.SystemBuffer = DataLength != 0 ? Buffer + DORVFILT_FORWARD_HEAD_SIZE : NULL;
  Irp->RequestorMode = KernelMode;
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = (UCHAR)Head.MajorFunction;
  Stack->FileObject = ClientStack->FileObject;
  switch (Head.MajorFunction) {
    case DORVFILT_FORWARD_QUERY:
      Stack->Parameters.QueryFile.Length = Head.OutputLength;
      Stack->Parameters.QueryFile.FileInformationClass = (FILE_INFORMATION_CLASS)Head.Code;
      break;
    case DORVFILT_FORWARD_SET:
      Stack->Parameters.SetFile.Length = Head.InputLength;
      Stack->Parameters.SetFile.FileInformationClass = (FILE_INFORMATION_CLASS)Head.Code;
      break;
    case DORVFILT_FORWARD_FS_CONTROL:
      Stack->MinorFunction = IRP_MN_USER_FS_REQUEST;
      Stack->Parameters.FileSystemControl.InputBufferLength = Head.InputLength;
      Stack->Parameters.FileSystemControl.OutputBufferLength = Head.OutputLength;
      Stack->Parameters.FileSystemControl.FsControlCode = Head.Code;
      break;
    default:
      IoFreeIrp(Irp);
      return Complete(ClientIrp, STATUS_INVALID_PARAMETER, 0);
  }
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, ForwardDone, &Done, TRUE, TRUE, TRUE);
  if (IoCallDriver(LowerDevice, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
  }
  Head.Status = Irp->IoStatus.Status;
  Head.Information = (ULONG)Irp->IoStatus.Information;
  IoFreeIrp(Irp);
  RtlCopyMemory(Buffer, &Head, sizeof(Head));
  return Complete(ClientIrp, STATUS_SUCCESS, DORVFILT_FORWARD_HEAD_SIZE + DataLength);
}

NTSTATUS DispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (DeviceObject == FilterControlDevice) {
    return DispatchControlDevice(Irp);
  }
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction == IRP_MJ_CREATE && PendingName.Buffer != NULL) {
    return NamedCreate(Irp);
  }
  if (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      Stack->Parameters.DeviceIoControl.IoControlCode == DORVFILT_FORWARD) {
    return Forward(Irp);
  }
  return PassDown(Irp);
}

VOID FilterUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  if (WineMended) {
    UnmendWineGaps(TargetDriver);
  }
  IoDetachDevice(LowerDevice);
  IoDeleteDevice(AttachedDevice);
  IoDeleteSymbolicLink(&ControlLink);
  IoDeleteDevice(FilterControlDevice);
  ObDereferenceObject(TargetDriver);
  FreeCountedString(&PendingName);
}

NTSTATUS CreateDevices(PDRIVER_OBJECT DriverObject) {
  NTSTATUS Status = IoCreateDevice(DriverObject, 0, &ControlName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   &FilterControlDevice);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  FilterControlDevice->Flags |= DO_BUFFERED_IO;
  Status = IoCreateSymbolicLink(&ControlLink, &ControlName);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(FilterControlDevice);
    return Status;
  }
  PDEVICE_OBJECT Target = TargetDriver->DeviceObject;
  Status = Target == NULL ? STATUS_NO_SUCH_DEVICE
                          : IoCreateDevice(DriverObject, 0, NULL, Target->DeviceType, 0, FALSE,
                                           &AttachedDevice);
  if (NT_SUCCESS(Status)) {
    // The filter's device takes the requests in the form the driver wants
    // them (its reads and writes carry MDLs).
    AttachedDevice->Flags |= Target->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO);
    LowerDevice = IoAttachDeviceToDeviceStack(AttachedDevice, Target);
    if (LowerDevice == NULL) {
      IoDeleteDevice(AttachedDevice);
      Status = STATUS_NO_SUCH_DEVICE;
    }
  }
  if (!NT_SUCCESS(Status)) {
    IoDeleteSymbolicLink(&ControlLink);
    IoDeleteDevice(FilterControlDevice);
    return Status;
  }
  AttachedDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  PVOID Target = NULL;
  NTSTATUS Status = ObReferenceObjectByName(&TargetDriverName, OBJ_CASE_INSENSITIVE, NULL, 0,
                                            *DorvfiltDriverObjectTypeSlot, KernelMode, NULL,
                                            &Target);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("Dorvfilt: " DORVFILT_TARGET_DRIVER_NAME " not found (0x%08lx).\n", (ULONG)Status);
    return Status;
  }
  TargetDriver = static_cast<PDRIVER_OBJECT>(Target);
  Status = CreateDevices(DriverObject);
  if (!NT_SUCCESS(Status)) {
    ObDereferenceObject(TargetDriver);
    return Status;
  }
  for (ULONG Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) {
    DriverObject->MajorFunction[Major] = DispatchAny;
  }
  DriverObject->DriverUnload = FilterUnload;
  DbgPrint("Dorvfilt: attached over " DORVFILT_TARGET_DEVICE_NAME ".\n");
  return STATUS_SUCCESS;
}
