// Emulates Windows' error codes and system texts: GetLastError, SetLastError, FormatMessageA and
// LocalFree. The codes are errno values, the texts strerror's, taken as UTF-8.
#include <errno.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

thread_local DWORD last_error = 0;

}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size,
                     va_list*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    last_error = EINVAL;
    return 0;
  }
  const char* text = std::strerror(static_cast<int>(message_id));
  std::size_t length = std::strlen(text) + 1;  // and the line end
  char* out = buffer;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    out = static_cast<char*>(std::malloc(length + 1));
    if (!out) {
      last_error = ENOMEM;
      return 0;
    }
    *reinterpret_cast<char**>(buffer) = out;
  } else if (size < length + 1) {
    last_error = ERANGE;
    return 0;
  }
  std::memcpy(out, text, length - 1);
  out[length - 1] = '\n';
  out[length] = '\0';
  return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

std::size_t system_text_to_utf8(LPCTSTR text, char* out, std::size_t size) {
  std::size_t length = std::strlen(text);
  if (length < size) std::memcpy(out, text, length + 1);
  return length;
}
