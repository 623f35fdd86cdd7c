// Whole-file and byte-range access for tests: build and corrupt image files
// at named offsets, read them back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dorvane::test {

using Bytes = std::vector<uint8_t>;

Bytes ReadFileBytes(const std::string &path);
void WriteFileBytes(const std::string &path, const Bytes &bytes);
uint64_t FileSize(const std::string &path);
void TruncateFile(const std::string &path, uint64_t size);

// Reads (up to the end of the file) or overwrites bytes in place at offset.
Bytes PeekFile(const std::string &path, uint64_t offset, size_t length);
void PokeFile(const std::string &path, uint64_t offset, const Bytes &bytes);
void PokeBe32(const std::string &path, uint64_t offset, uint32_t value);
uint32_t PeekBe32(const std::string &path, uint64_t offset);

// Deterministic pseudo-random bytes for test data.
Bytes PatternBytes(size_t length, uint32_t seed);

// Runs a shell command; returns its exit status and fills output with stdout.
int RunShell(const std::string &command, std::string *output = nullptr);
bool HaveProgram(const std::string &name);

}  // namespace dorvane::test
