// Bytes moved per call of the disk layer by cat and write: large enough that
// copying runs at the speed of the disk, and a whole default block.
#pragma once

#include <cstdint>

namespace dorvane {

const uint32_t kTransferSize = 2u << 20;

}  // namespace dorvane
