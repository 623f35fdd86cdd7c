// Text of the base NT definitions: names between UTF-16 and UTF-8, and the
// names of statuses. Plain C++ with no host services, shared by the host
// kernel and by the command in both its builds (Linux and Windows).
#pragma once

#include <cstdint>
#include <string>

namespace host {

// UTF-16 to UTF-8 and back, the one conversion of names between NT and the
// host. *valid (may be null) is false when the input was not well formed:
// unpaired surrogates become U+FFFD, and the UTF-8 conversion stops at the
// first ill-formed sequence.
std::string Utf8FromUtf16(const std::u16string& text, bool* valid = nullptr);
std::u16string Utf16FromUtf8(const std::string& text, bool* valid = nullptr);

// "STATUS_FILE_CORRUPT_ERROR" for every status the kernel services declare,
// "STATUS_UNKNOWN" for others (never null). Takes the status's 32 bits, as
// both builds' NTSTATUS types hold them.
const char* StatusNameOf(uint32_t status);

}  // namespace host
