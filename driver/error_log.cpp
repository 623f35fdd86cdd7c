// The system event-log entry of a failed image open: the fixed error-log
// packet followed by one insertion string.
#include "driver/driver.h"

namespace {

const USHORT ImageErrorCategory = 4000;
const ULONG ImageErrorUniqueValue = 401;

// Sizes are in bytes; the string is kept with its terminating NUL.
const WCHAR ImageErrorText[] = KTEXT("Image file failed.");
const ULONG ImageErrorTextSize = sizeof(ImageErrorText);
const ULONG ImageErrorStringOffset = sizeof(IO_ERROR_LOG_PACKET);

}  // namespace

VOID WriteImageErrorLog(NTSTATUS Status) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    return;
  }
  ULONG EntrySize = ImageErrorStringOffset + ImageErrorTextSize;
  if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
    return;
  }
  PIO_ERROR_LOG_PACKET Entry = static_cast<PIO_ERROR_LOG_PACKET>(
      IoAllocateErrorLogEntry(DorvaneDriverObject, static_cast<UCHAR>(EntrySize)));
  if (Entry == NULL) {
    return;
  }
  Entry->MajorFunctionCode = 0;
  Entry->RetryCount = 0;
  Entry->DumpDataSize = 0;
  Entry->NumberOfStrings = 1;
  Entry->StringOffset = static_cast<USHORT>(ImageErrorStringOffset);
  Entry->EventCategory = ImageErrorCategory;
  Entry->ErrorCode = Status;
  Entry->UniqueErrorValue = ImageErrorUniqueValue;
  Entry->FinalStatus = Status;
  Entry->SequenceNumber = 0;
  Entry->IoControlCode = 0;
  RtlCopyMemory(reinterpret_cast<PUCHAR>(Entry) + ImageErrorStringOffset, ImageErrorText,
                ImageErrorTextSize);
  IoWriteErrorLogEntry(Entry);
}
