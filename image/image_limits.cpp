// The pool limits of an image and of its chain, checked at open.
#include "image/image.h"

namespace {

// The table, and what a request may take at the image's level of a chain:
// a block with its bitmap, and one more bitmap.
ULONGLONG ImagePoolCharge(ULONG BatEntries, ULONG BlockSize) {
  return (ULONGLONG)BatEntries * sizeof(ULONG) + BlockSpan(BlockSize) +
         SectorBitmapLength(BlockSize);
}

}  // namespace

NTSTATUS CheckImageLimits(PIMAGE_CONTEXT Context) {
  if (Context->BlockSize > IMAGE_BLOCK_SIZE_LIMIT || Context->BatEntries > IMAGE_BAT_ENTRY_LIMIT) {
    return STATUS_NOT_SUPPORTED;
  }
  ULONGLONG Charge = ImagePoolCharge(Context->BatEntries, Context->BlockSize);
  if (Context->ChainPool > IMAGE_CHAIN_POOL_LIMIT - Charge) {
    return STATUS_NOT_SUPPORTED;
  }
  Context->ChainPool += Charge;
  return STATUS_SUCCESS;
}
