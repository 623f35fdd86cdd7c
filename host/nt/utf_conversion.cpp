// The one conversion of names between NT (UTF-16) and the host (UTF-8).
#include "host/nt/nt_text.h"

namespace host {

std::string Utf8FromUtf16(const std::u16string& text, bool* valid) {
  bool ignored;
  valid = valid != nullptr ? valid : &ignored;
  *valid = true;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      *valid = false;
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | (c >> 12));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    } else {
      out += (char)(0xF0 | (c >> 18));
      out += (char)(0x80 | ((c >> 12) & 0x3F));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16FromUtf8(const std::string& text, bool* valid) {
  bool ignored;
  valid = valid != nullptr ? valid : &ignored;
  *valid = true;
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = (unsigned char)text[i];
    uint32_t c;
    size_t extra;
    if (lead < 0x80) {
      c = lead;
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      c = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      c = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      c = lead & 0x07;
      extra = 3;
    } else {
      *valid = false;
      return out;
    }
    if (i + extra >= text.size()) {
      *valid = false;
      return out;
    }
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = (unsigned char)text[i + k];
      if ((next & 0xC0) != 0x80) {
        *valid = false;
        return out;
      }
      c = (c << 6) | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      *valid = false;
      return out;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += (char16_t)(0xD800 + (c >> 10));
      out += (char16_t)(0xDC00 + (c & 0x3FF));
    } else {
      out += (char16_t)c;
    }
    i += extra + 1;
  }
  return out;
}

}  // namespace host
