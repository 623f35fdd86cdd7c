// The driver's private control code and its buffer: what a client needs to
// send it, with no other part of the driver.
#pragma once

// The private merge code: file-system device type, function 0x959, buffered,
// write access. Its 24-byte buffer begins with the guard GUID
// {5D2E8F41-7A36-4C0B-9E1D-63F4A0B2C857}, then ParentLevels and BlockLimit
// in, BlocksMerged and BlocksRemaining out (ULONG each).
#define FSCTL_MERGE_DIFFERENCING 0x0009A564u
#define MERGE_DIFFERENCING_BUFFER_SIZE 24u
#define MERGE_DIFFERENCING_LEVELS_OFFSET 16u
#define MERGE_DIFFERENCING_LIMIT_OFFSET 20u
// The guard GUID's 16-byte memory form; private file-system control codes
// (function 0x800 and above) must carry it at the head of their input.
#define DORVANE_GUARD_GUID_BYTES                                                       \
  {0x41, 0x8F, 0x2E, 0x5D, 0x36, 0x7A, 0x0B, 0x4C,                                    \
   0x9E, 0x1D, 0x63, 0xF4, 0xA0, 0xB2, 0xC8, 0x57}
