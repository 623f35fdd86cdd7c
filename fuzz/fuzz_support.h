// Shared pieces of the fuzz targets: a private folder for the files an input
// becomes, and the checks made after every input.
#pragma once

#include <kernel_services.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace dorvane::fuzz {

// A folder of the process's own, made on first use (below TMPDIR, or /tmp).
const std::string &WorkFolder();

// Makes the file at path hold exactly the given bytes.
void WriteWholeFile(const std::string &path, const uint8_t *data, size_t size);

// Stops the run (a crash libFuzzer reports with the input) when the driver
// kept pool or handles beyond what it held before the input.
void CheckNothingKept(size_t poolBefore, size_t handlesBefore);

}  // namespace dorvane::fuzz
