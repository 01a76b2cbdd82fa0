// Our own operations on Windows, beyond the system's own: the report's text written as a console
// or a file wants it, and how a process ended, which there its exit code says in full.
#include <cstdio>

#include "platform/platform.h"

namespace {

// One report leaves in one write: it is never longer than this, and its line ends at most
// double it.
constexpr std::size_t kChunk = 8192;
char bytes[2 * kChunk];
wchar_t wide[2 * kChunk];

// How much of `text` to take at most `limit` bytes at a time without cutting a UTF-8 sequence.
std::size_t whole_characters(const char* text, std::size_t length, std::size_t limit) {
  if (length <= limit) return length;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut > 0 ? cut : limit;
}

// Writes all of `data`, `size` characters, by `write` (a WriteFile or a WriteConsoleW), which may
// take less at a time.
template <typename Char, typename Write>
BOOL write_whole(const Char* data, DWORD size, Write write) {
  while (size > 0) {
    DWORD written = 0;
    if (!write(data, size, &written) || written == 0) return FALSE;
    data += written;
    size -= written;
  }
  return TRUE;
}

}  // namespace

BOOL write_standard_error(const char* text, std::size_t length) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == INVALID_HANDLE_VALUE || error == nullptr) return FALSE;
  // A console shows characters, not bytes: given UTF-8 it would read them in its own code page
  // (866, 932, ...). A file or a pipe gets UTF-8.
  DWORD mode = 0;
  bool console = GetConsoleMode(error, &mode) != 0;
  while (length > 0) {
    std::size_t take = whole_characters(text, length, kChunk);
    // Text mode, as the C runtime writes: "\n" leaves as "\r\n".
    DWORD size = 0;
    for (std::size_t i = 0; i < take; ++i) {
      if (text[i] == '\n') bytes[size++] = '\r';
      bytes[size++] = text[i];
    }
    text += take;
    length -= take;
    if (!console) {
      auto write_file = [error](const char* data, DWORD length, DWORD* written) {
        return WriteFile(error, data, length, written, nullptr);
      };
      if (!write_whole(bytes, size, write_file)) return FALSE;
      continue;
    }
    int characters = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), wide,
                                         static_cast<int>(sizeof wide / sizeof wide[0]));
    auto write_console = [error](const wchar_t* data, DWORD length, DWORD* written) {
      return WriteConsoleW(error, data, length, written, nullptr);
    };
    if (characters <= 0 || !write_whole(wide, static_cast<DWORD>(characters), write_console)) {
      return FALSE;
    }
  }
  return TRUE;
}

std::size_t system_text_to_utf8(LPCTSTR text, char* out, std::size_t size) {
  int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return 0;
  std::size_t length = static_cast<std::size_t>(needed) - 1;
  if (length < size) {
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, needed, nullptr, nullptr);
  }
  return length;
}

// Nothing to do before the readings: CreateProcess needs nothing prepared.
void prepare_child_launch() {}

DWORD launch_failure_exit_status(DWORD) { return 255; }

void query_process_end(HANDLE, ProcessEnd* end) { *end = ProcessEnd{0, false}; }

std::size_t describe_process_end(const ProcessEnd&, DWORD exit_code, char* text, std::size_t size) {
  // NTSTATUS errors: a crash, or an end forced on the process.
  if (exit_code < 0xC0000000) return 0;
  struct Named {
    DWORD code;
    const char* name;
  };
  static const Named kNames[] = {
      {0xC0000005, "STATUS_ACCESS_VIOLATION"},       {0xC000001D, "STATUS_ILLEGAL_INSTRUCTION"},
      {0xC0000094, "STATUS_INTEGER_DIVIDE_BY_ZERO"}, {0xC00000FD, "STATUS_STACK_OVERFLOW"},
      {0xC0000135, "STATUS_DLL_NOT_FOUND"},          {0xC0000139, "STATUS_ENTRYPOINT_NOT_FOUND"},
      {0xC000013A, "STATUS_CONTROL_C_EXIT"},         {0xC0000142, "STATUS_DLL_INIT_FAILED"},
      {0xC0000374, "STATUS_HEAP_CORRUPTION"},        {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
  };
  const char* name = nullptr;
  for (const Named& named : kNames) {
    if (named.code == exit_code) name = named.name;
  }
  int length = std::snprintf(text, size, "0x%08lX%s%s", static_cast<unsigned long>(exit_code),
                             name ? " " : "", name ? name : "");
  if (length < 0 || size == 0) return 0;
  return static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size - 1;
}

// A Windows process has no signal to end by: its exit code is the whole of how it ended.
void end_as_child_ended(const ProcessEnd&) {}
