// The parent chain of a differencing image.
#include "image/image.h"

NTSTATUS OpenParentImage(PIMAGE_CONTEXT Context, ULONG ChainDepth) {
  UNREFERENCED_PARAMETER(ChainDepth);
  NTSTATUS Status = LoadDynamicHeader(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // Parent locators are not followed yet: without its parent a differencing
  // image cannot be read, so it does not open.
  return STATUS_NOT_SUPPORTED;
}
