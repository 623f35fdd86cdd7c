// Executive pool: ExAllocatePoolWithTag/ExFreePoolWithTag over malloc, with
// every allocation tracked (size and tag) so that a free with the wrong tag,
// a double free or a leak is caught. Tests fail allocations through the
// testing library's hook.
#include "host/executive/executive_internal.h"
#include "host/executive/test_hooks.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace {

struct Allocation {
  SIZE_T size;
  ULONG tag;
};

std::mutex poolLock;
std::unordered_map<void*, Allocation>& Allocations() {
  static auto* table = new std::unordered_map<void*, Allocation>();
  return *table;
}

// Pool memory is not zeroed on NT. Filling it with a pattern makes code that
// forgets to initialise an allocation misbehave here as it would there.
constexpr int kFreshPoolFill = 0xA5;
constexpr int kFreedPoolFill = 0xEF;

// NT's pool keeps the pages it took: memory freed by one allocation serves
// the next without a page fault. The C library would hand large blocks out
// as fresh mappings and give the top of its heap back to the system as soon
// as 128 KiB of it lay free, so the cost of taking a 2 MiB buffer would
// depend on what the process freed before it (on a virtual machine, first
// touches of fresh pages cost microseconds each). Blocks up to 32 MiB, every
// table and buffer the driver takes, come from the heap instead, and up to
// 64 MiB of free heap is kept. Set once, as the program starts.
[[maybe_unused]] const bool poolPagesKept = [] {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  return true;
}();

void TagText(ULONG tag, char text[5]) {
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  text[4] = 0;
}

}  // namespace

namespace host {

size_t OutstandingAllocations() {
  std::lock_guard<std::mutex> guard(poolLock);
  return Allocations().size();
}

bool InPool(const void* address, size_t length) {
  auto first = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(poolLock);
  for (const auto& [block, allocation] : Allocations()) {
    auto start = reinterpret_cast<uintptr_t>(block);
    if (first < start + std::max<SIZE_T>(allocation.size, 1) && first + length > start) return true;
  }
  return false;
}

}  // namespace host

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                              ULONG Tag) {
  // Paged pool may fault, which is only allowed below DISPATCH_LEVEL.
  host::RequireIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL,
                          "ExAllocatePoolWithTag");
  if (host::FailsHere(host::testHooks.failPoolAllocation)) return nullptr;
  // NT hands out a block even for zero bytes.
  void* Block = malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
  if (Block == nullptr) return nullptr;
  memset(Block, kFreshPoolFill, NumberOfBytes);
  std::lock_guard<std::mutex> guard(poolLock);
  Allocations()[Block] = Allocation{NumberOfBytes, Tag};
  return Block;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
  SIZE_T Size;
  {
    std::lock_guard<std::mutex> guard(poolLock);
    auto Found = Allocations().find(P);
    if (Found == Allocations().end()) {
      host::BugCheck("BAD_POOL_CALLER", "ExFreePoolWithTag of %p, which is not an allocation "
                     "(double free or foreign pointer)", P);
    }
    if (Found->second.tag != Tag) {
      char Expected[5], Given[5];
      TagText(Found->second.tag, Expected);
      TagText(Tag, Given);
      host::BugCheck("BAD_POOL_CALLER", "ExFreePoolWithTag of %p with tag '%s' (%#x); it was "
                     "allocated with tag '%s' (%#x)", P, Given, Tag, Expected,
                     Found->second.tag);
    }
    Size = Found->second.size;
    Allocations().erase(Found);
  }
  memset(P, kFreedPoolFill, Size);
  free(P);
}
