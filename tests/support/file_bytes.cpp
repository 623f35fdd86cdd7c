// File access helpers for tests.
#include "file_bytes.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "format/byte_order.h"

namespace dorvane::test {

Bytes ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

uint64_t FileSize(const std::string &path) { return std::filesystem::file_size(path); }

void TruncateFile(const std::string &path, uint64_t size) {
  std::filesystem::resize_file(path, size);
}

Bytes PeekFile(const std::string &path, uint64_t offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  Bytes bytes(length);
  in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(length));
  bytes.resize(size_t(in.gcount()));
  return bytes;
}

void PokeFile(const std::string &path, uint64_t offset, const Bytes &bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(std::streamoff(offset));
  io.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
  if (!io) throw std::runtime_error("cannot poke " + path);
}

void PokeBe32(const std::string &path, uint64_t offset, uint32_t value) {
  Bytes bytes(4);
  StoreBe32(bytes.data(), value);
  PokeFile(path, offset, bytes);
}

uint32_t PeekBe32(const std::string &path, uint64_t offset) {
  Bytes bytes = PeekFile(path, offset, 4);
  if (bytes.size() != 4) throw std::runtime_error("cannot peek " + path);
  return LoadBe32(bytes.data());
}

Bytes PatternBytes(size_t length, uint32_t seed) {
  Bytes bytes(length);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint8_t &byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = uint8_t(state >> 24);
  }
  return bytes;
}

int RunShell(const std::string &command, std::string *output) {
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[65536];
  for (size_t count; (count = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) text.append(chunk, count);
  int status = pclose(pipe);
  if (output != nullptr) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveProgram(const std::string &name) {
  return RunShell("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace dorvane::test
