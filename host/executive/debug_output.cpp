// Debug output: DbgPrint with NT's format rules, captured per message for
// tests and echoed to stderr when verbose; DbgBreakPoint as a counted,
// resumable breakpoint while a kernel debugger is attached (the default, as
// on a test machine) and a bug check otherwise.
#include "host/executive/executive_internal.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

std::mutex outputLock;
std::vector<std::string>& Messages() {
  static auto* messages = new std::vector<std::string>();
  return *messages;
}
std::atomic<bool> verbose{false};
std::atomic<uint64_t> breakpoints{0};

// The ANSI counted string of %Z.
struct CountedAnsi {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};

void AppendText(std::string& out, const char* text, size_t count) { out.append(text, count); }

void AppendText(std::string& out, const WCHAR* text, size_t count) {
  std::u16string wide(text, count);
  bool valid;
  out += host::Utf8FromUtf16(wide, &valid);
}

// The text of a %s or %S argument: "(null)" for a null pointer, else its
// characters up to the terminator, at most `precision` of them when given.
template <typename Char>
std::string StringArgument(const Char* value, bool hasPrecision, const std::string& precision) {
  if (value == nullptr) return "(null)";
  size_t count = 0;
  while (value[count] != 0) ++count;
  if (hasPrecision) count = std::min(count, (size_t)atoi(precision.c_str()));
  std::string text;
  AppendText(text, value, count);
  return text;
}

// Formats as NT's DbgPrint does. Sizes follow LLP64: no prefix and "l" are
// 32 bits, "ll", "I64", "I", "z", "j" and "t" are 64 bits, "h" 16 and "hh" 8.
// %p prints 16 upper-case hex digits. Strings: %s/%hs narrow, %S/%ls/%ws
// wide, %Z an ANSI_STRING*, %wZ a UNICODE_STRING*; %c narrow, %C/%wc wide.
std::string FormatNt(const char* format, va_list args) {
  std::string out;
  for (const char* p = format; *p != 0;) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char* specStart = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string flags;
    while (*p != 0 && strchr("-+ #0", *p) != nullptr) flags += *p++;
    std::string width;
    if (*p == '*') {
      width = std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') width += *p++;
    }
    std::string precision;
    bool hasPrecision = false;
    if (*p == '.') {
      hasPrecision = true;
      ++p;
      if (*p == '*') {
        precision = std::to_string(va_arg(args, int));
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision += *p++;
      }
    }
    int bits = 32;
    bool wide = false;
    bool narrow = false;
    if (strncmp(p, "I64", 3) == 0) {
      bits = 64;
      p += 3;
    } else if (strncmp(p, "I32", 3) == 0) {
      bits = 32;
      p += 3;
    } else if (strncmp(p, "ll", 2) == 0) {
      bits = 64;
      p += 2;
    } else if (strncmp(p, "hh", 2) == 0) {
      bits = 8;
      p += 2;
    } else if (*p == 'I' || *p == 'z' || *p == 'j' || *p == 't') {
      bits = 64;
      ++p;
    } else if (*p == 'l') {
      wide = true;  // %ls, %lc
      ++p;
    } else if (*p == 'w') {
      wide = true;
      ++p;
    } else if (*p == 'h') {
      bits = 16;
      narrow = true;
      ++p;
    }
    char conversion = *p;
    if (conversion == 0) {
      out.append(specStart);
      break;
    }
    ++p;
    std::string spec = "%" + flags + width + (hasPrecision ? "." + precision : "");
    char buffer[128];
    switch (conversion) {
      case 'd':
      case 'i': {
        long long value = bits == 64   ? va_arg(args, long long)
                          : bits == 16 ? (short)va_arg(args, int)
                          : bits == 8  ? (signed char)va_arg(args, int)
                                       : (long long)va_arg(args, int);
        snprintf(buffer, sizeof(buffer), (spec + "lld").c_str(), value);
        out += buffer;
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long value = bits == 64   ? va_arg(args, unsigned long long)
                                   : bits == 16 ? (unsigned short)va_arg(args, unsigned)
                                   : bits == 8  ? (unsigned char)va_arg(args, unsigned)
                                                : (unsigned long long)va_arg(args, unsigned);
        snprintf(buffer, sizeof(buffer), (spec + "ll" + conversion).c_str(), value);
        out += buffer;
        break;
      }
      case 'p': {
        snprintf(buffer, sizeof(buffer), "%016llX",
                 (unsigned long long)(uintptr_t)va_arg(args, void*));
        out += buffer;
        break;
      }
      case 'c':
      case 'C': {
        int value = va_arg(args, int);
        if ((conversion == 'C' && !narrow) || wide) {
          WCHAR c = (WCHAR)value;
          AppendText(out, &c, 1);
        } else {
          out += (char)value;
        }
        break;
      }
      case 's':
      case 'S': {
        bool wideText = (conversion == 'S' && !narrow) || wide;
        std::string text =
            wideText ? StringArgument(va_arg(args, const WCHAR*), hasPrecision, precision)
                     : StringArgument(va_arg(args, const char*), hasPrecision, precision);
        snprintf(buffer, sizeof(buffer), ("%" + flags + width + "s").c_str(), "");
        size_t pad = strlen(buffer) > text.size() ? strlen(buffer) - text.size() : 0;
        if (flags.find('-') != std::string::npos) {
          out += text + std::string(pad, ' ');
        } else {
          out += std::string(pad, ' ') + text;
        }
        break;
      }
      case 'Z': {
        std::string text = "(null)";
        if (wide) {
          PCUNICODE_STRING value = va_arg(args, PCUNICODE_STRING);
          if (value != nullptr && value->Buffer != nullptr) {
            text.clear();
            AppendText(text, value->Buffer, value->Length / sizeof(WCHAR));
          }
        } else {
          const CountedAnsi* value = va_arg(args, const CountedAnsi*);
          if (value != nullptr && value->Buffer != nullptr) text.assign(value->Buffer, value->Length);
        }
        out += text;
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G': {
        snprintf(buffer, sizeof(buffer), (spec + conversion).c_str(), va_arg(args, double));
        out += buffer;
        break;
      }
      default:
        // Unknown conversions print as written, consuming nothing.
        out.append(specStart, p);
        break;
    }
  }
  return out;
}

}  // namespace

namespace host {

void AppendDebugOutput(const std::string& message) {
  if (verbose.load()) {
    fputs(message.c_str(), stderr);
    fflush(stderr);
  }
  std::lock_guard<std::mutex> guard(outputLock);
  Messages().push_back(message);
}

bool Verbose() { return verbose.load(); }
void SetVerbose(bool on) { verbose.store(on); }

std::vector<std::string> DebugOutput() {
  std::lock_guard<std::mutex> guard(outputLock);
  return Messages();
}

void ClearDebugOutput() {
  std::lock_guard<std::mutex> guard(outputLock);
  Messages().clear();
}

uint64_t BreakpointCount() { return breakpoints.load(); }
void ResetBreakpointCount() { breakpoints.store(0); }

}  // namespace host

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  va_list Args;
  va_start(Args, Format);
  std::string Message = FormatNt(Format, Args);
  va_end(Args);
  host::AppendDebugOutput(Message);
  return STATUS_SUCCESS;
}

BOOLEAN KdDebuggerEnabled = TRUE;
BOOLEAN KdDebuggerNotPresent = FALSE;

namespace host {

void SetKernelDebuggerPresent(bool present) {
  __atomic_store_n(&KdDebuggerEnabled, present ? TRUE : FALSE, __ATOMIC_RELAXED);
  __atomic_store_n(&KdDebuggerNotPresent, present ? FALSE : TRUE, __ATOMIC_RELAXED);
}

}  // namespace host

// With a debugger attached, NT stops here until the debugger resumes the
// thread; the host records the stop and resumes at once. Without one the
// breakpoint exception is unhandled in kernel mode.
extern "C" VOID NTAPI DbgBreakPoint(VOID) {
  if (!__atomic_load_n(&KdDebuggerEnabled, __ATOMIC_RELAXED) ||
      __atomic_load_n(&KdDebuggerNotPresent, __ATOMIC_RELAXED)) {
    host::BugCheck("KMODE_EXCEPTION_NOT_HANDLED",
                   "DbgBreakPoint (STATUS_BREAKPOINT) without a kernel debugger attached");
  }
  breakpoints.fetch_add(1);
  if (verbose.load()) {
    fputs("break\n", stderr);
    fflush(stderr);
  }
}
