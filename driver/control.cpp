// Control requests: the zero-data request, the file-level trim and the
// data-set-management trim zero ranges of the virtual disk, and the private
// merge code folds a differencing image into its parents. One handler serves
// file-system, device and internal device control alike: it checks the
// request's form and the guard of private file-system codes, admits the
// request exclusively, and hands the code to HandleControlRequest, which
// checks each code's buffer before it acts.
//
// Every code is buffered: input and output share the system buffer, as long
// as the longer of the two. Fields are read with memcpy at their offsets, so
// a buffer of any length and alignment is read only where it has bytes.
#include "driver/driver.h"
#include "engine/engine.h"

namespace {

const UCHAR GuardGuid[16] = DORVANE_GUARD_GUID_BYTES;

// Function numbers from 0x800 up are private to a driver.
const ULONG PrivateFunctionBase = 0x800;

ULONG TransferMethod(ULONG ControlCode) { return ControlCode & 3; }
ULONG FunctionNumber(ULONG ControlCode) { return (ControlCode >> 2) & 0xFFF; }

// FILE_ZERO_DATA_INFORMATION: FileOffset, BeyondFinalZero.
const ULONG ZeroDataSize = 16;
// FILE_LEVEL_TRIM: Key, NumRanges, then ranges of Offset and Length.
const ULONG TrimHeadSize = 8;
const ULONG TrimMinimumInput = 24;
const ULONG TrimRangeCountOffset = 4;
// DEVICE_MANAGE_DATA_SET_ATTRIBUTES: Size, Action, Flags, ParameterBlockOffset,
// ParameterBlockLength, DataSetRangesOffset, DataSetRangesLength.
const ULONG DataSetHeadSize = 28;
const ULONG DataSetActionOffset = 4;
const ULONG DataSetFlagsOffset = 8;
const ULONG DataSetParameterLengthOffset = 16;
const ULONG DataSetRangesOffsetOffset = 20;
const ULONG DataSetRangesLengthOffset = 24;
const ULONG DataSetActionTrim = 1;
// Ranges of both trims: an offset and a length of 8 bytes each.
const ULONG RangeSize = 16;

template <typename T>
T ReadField(const VOID *Buffer, ULONG Offset) {
  T Value;
  RtlCopyMemory(&Value, static_cast<const UCHAR *>(Buffer) + Offset, sizeof(Value));
  return Value;
}

template <typename T>
VOID WriteField(PVOID Buffer, ULONG Offset, T Value) {
  RtlCopyMemory(static_cast<PUCHAR>(Buffer) + Offset, &Value, sizeof(Value));
}

// The form and guard tests, made before admission on the request alone.
NTSTATUS CheckRequestForm(PIO_STACK_LOCATION Stack, ULONG ControlCode, const VOID *Buffer,
                          ULONG InputLength) {
  BOOLEAN FileSystemControl = Stack->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL;
  if (FileSystemControl && Stack->MinorFunction != IRP_MN_USER_FS_REQUEST) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (TransferMethod(ControlCode) != METHOD_BUFFERED) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (FileSystemControl && FunctionNumber(ControlCode) >= PrivateFunctionBase) {
    if (InputLength < sizeof(GuardGuid) || Buffer == NULL ||
        RtlCompareMemory(Buffer, GuardGuid, sizeof(GuardGuid)) != sizeof(GuardGuid)) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetZeroData(PIMAGE_CONTEXT Context, const VOID *Buffer, ULONG InputLength) {
  if (InputLength != ZeroDataSize) {
    return STATUS_INVALID_PARAMETER;
  }
  LONGLONG FileOffset = ReadField<LONGLONG>(Buffer, 0);
  LONGLONG BeyondFinalZero = ReadField<LONGLONG>(Buffer, 8);
  LONGLONG DiskSize = Context->DiskSize;
  if (FileOffset < 0 || FileOffset >= DiskSize || BeyondFinalZero < 0 ||
      BeyondFinalZero >= DiskSize || BeyondFinalZero < FileOffset) {
    return STATUS_INVALID_PARAMETER;
  }
  LONGLONG Length = BeyondFinalZero - FileOffset;
  return ZeroImageRange(Context, &FileOffset, &Length);
}

// One range of a trim, given unsigned: it must lie within the disk, and may
// end exactly at its end.
NTSTATUS TrimRange(PIMAGE_CONTEXT Context, ULONGLONG Offset, ULONGLONG Length) {
  ULONGLONG DiskSize = (ULONGLONG)Context->DiskSize;
  if (Offset > DiskSize || Length > DiskSize - Offset) {
    return STATUS_INVALID_PARAMETER;
  }
  LONGLONG Start = (LONGLONG)Offset;
  LONGLONG Count = (LONGLONG)Length;
  return ZeroImageRange(Context, &Start, &Count);
}

NTSTATUS FileLevelTrim(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG InputLength,
                       ULONG OutputLength, PIO_STATUS_BLOCK IoStatus) {
  if (InputLength < TrimMinimumInput) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG RangeCount = ReadField<ULONG>(Buffer, TrimRangeCountOffset);
  ULONGLONG Needed = TrimHeadSize + (ULONGLONG)RangeSize * RangeCount;
  if (InputLength < Needed || (OutputLength != 0 && OutputLength < Needed)) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG Index = 0; Index < RangeCount; ++Index) {
    ULONG At = TrimHeadSize + RangeSize * Index;
    NTSTATUS Status = TrimRange(Context, ReadField<ULONGLONG>(Buffer, At),
                                ReadField<ULONGLONG>(Buffer, At + 8));
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  // The buffer is returned as it came: the head of the caller's own input.
  IoStatus->Information = InputLength < OutputLength ? InputLength : OutputLength;
  return STATUS_SUCCESS;
}

NTSTATUS DataSetTrim(PIMAGE_CONTEXT Context, const VOID *Buffer, ULONG InputLength,
                     ULONG OutputLength) {
  if (InputLength < DataSetHeadSize || OutputLength != 0 ||
      ReadField<ULONG>(Buffer, DataSetActionOffset) != DataSetActionTrim ||
      ReadField<ULONG>(Buffer, DataSetFlagsOffset) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG RangesOffset = ReadField<ULONG>(Buffer, DataSetRangesOffsetOffset);
  ULONG RangesLength = ReadField<ULONG>(Buffer, DataSetRangesLengthOffset);
  ULONGLONG Needed = (ULONGLONG)DataSetHeadSize +
                     ReadField<ULONG>(Buffer, DataSetParameterLengthOffset) + RangesLength;
  if (InputLength < Needed) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG RangeCount = RangesLength / RangeSize;
  if (RangeCount == 0) {
    return STATUS_SUCCESS;
  }
  // The ranges are read only where the input has them.
  if ((ULONGLONG)RangesOffset + (ULONGLONG)RangeSize * RangeCount > InputLength) {
    return STATUS_INVALID_PARAMETER;
  }
  for (ULONG Index = 0; Index < RangeCount; ++Index) {
    ULONG At = RangesOffset + RangeSize * Index;
    LONGLONG Start = ReadField<LONGLONG>(Buffer, At);
    if (Start < 0) {
      return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Status = TrimRange(Context, (ULONGLONG)Start, ReadField<ULONGLONG>(Buffer, At + 8));
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

// A zeroing request ends with one compaction, whatever its ranges did: a
// release that failed or stopped part way, in this request or an earlier
// one, may have left a span that no entry names. The request's own status
// stands.
NTSTATUS EndZeroing(PIMAGE_CONTEXT Context, NTSTATUS Status) {
  CompactIfGapped(Context);
  return Status;
}

NTSTATUS MergeDifferencing(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG InputLength,
                           ULONG OutputLength, PIO_STATUS_BLOCK IoStatus) {
  if (InputLength < MERGE_DIFFERENCING_BUFFER_SIZE ||
      OutputLength < MERGE_DIFFERENCING_BUFFER_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Context->DiskType != VHD_DISK_TYPE_DIFFERENCING) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // The outputs take the places of the inputs; a slot the merge does not
  // write keeps what the caller put there.
  ULONG BlocksMerged = ReadField<ULONG>(Buffer, MERGE_DIFFERENCING_LEVELS_OFFSET);
  ULONG BlocksRemaining = ReadField<ULONG>(Buffer, MERGE_DIFFERENCING_LIMIT_OFFSET);
  NTSTATUS Status =
      MergeToParent(Context, BlocksMerged, BlocksRemaining, &BlocksMerged, &BlocksRemaining);
  WriteField<ULONG>(Buffer, MERGE_DIFFERENCING_LEVELS_OFFSET, BlocksMerged);
  WriteField<ULONG>(Buffer, MERGE_DIFFERENCING_LIMIT_OFFSET, BlocksRemaining);
  IoStatus->Information = MERGE_DIFFERENCING_BUFFER_SIZE;
  return Status;
}

}  // namespace

NTSTATUS ZeroImageRange(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length) {
  switch (Context->DiskType) {
    case VHD_DISK_TYPE_FIXED:
      // A fixed image's data begins at the file's offset 0.
      return ZeroImageFileRange(Context->ImageHandle, *Offset, *Offset + *Length);
    case VHD_DISK_TYPE_DYNAMIC:
      return ZeroDiskBlocks(Context, Offset, Length);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS HandleControlRequest(PIMAGE_CONTEXT Context, ULONG ControlCode, PVOID Buffer,
                              ULONG InputLength, ULONG OutputLength, PIO_STATUS_BLOCK IoStatus) {
  switch (ControlCode) {
    case FSCTL_SET_ZERO_DATA:
      return EndZeroing(Context, SetZeroData(Context, Buffer, InputLength));
    case FSCTL_FILE_LEVEL_TRIM:
      return EndZeroing(Context,
                        FileLevelTrim(Context, Buffer, InputLength, OutputLength, IoStatus));
    case IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES:
      return EndZeroing(Context, DataSetTrim(Context, Buffer, InputLength, OutputLength));
    case FSCTL_MERGE_DIFFERENCING:
      return MergeDifferencing(Context, Buffer, InputLength, OutputLength, IoStatus);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PIMAGE_CONTEXT Context = BoundImage(Stack->FileObject);
  if (Context == NULL) {
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  // File-system and device control carry their three values in the same
  // places; each is read through its own member.
  BOOLEAN FileSystemControl = Stack->MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL;
  ULONG ControlCode = FileSystemControl ? Stack->Parameters.FileSystemControl.FsControlCode
                                        : Stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG InputLength = FileSystemControl ? Stack->Parameters.FileSystemControl.InputBufferLength
                                        : Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG OutputLength = FileSystemControl
                           ? Stack->Parameters.FileSystemControl.OutputBufferLength
                           : Stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;

  NTSTATUS Status = CheckRequestForm(Stack, ControlCode, Buffer, InputLength);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }
  // A buffered request with any length has its system buffer; none without.
  if (Buffer == NULL && (InputLength != 0 || OutputLength != 0)) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  Status = AcquireIoGate(Context, TRUE);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }
  Status = HandleControlRequest(Context, ControlCode, Buffer, InputLength, OutputLength,
                                &Irp->IoStatus);
  ReleaseIoGate(Context, TRUE);
  return CompleteRequest(Irp, Status, NT_SUCCESS(Status) ? Irp->IoStatus.Information : 0);
}
