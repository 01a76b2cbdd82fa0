#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tempova.h"

namespace {

// Room for a whole report, so that each part of it leaves in one write; every line of ours is
// far shorter than this.
char report_text[8192];
std::size_t report_length = 0;

// Every line of the report ends in "\n", whatever the system's texts end in: the report's
// writer gives each line the system's line end. Turns each "\r\n" of `text` into "\n" in place
// and returns the new length.
std::size_t with_report_line_ends(char* text, std::size_t length) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (!(text[i] == '\r' && i + 1 < length && text[i + 1] == '\n')) text[kept++] = text[i];
  }
  return kept;
}

}  // namespace

// A printf-style line, its arguments checked by the format attribute.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void report(const char* format, ...) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::size_t room = sizeof report_text - report_length;
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(report_text + report_length, room, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < room) {
      report_length += static_cast<std::size_t>(length);
      return;
    }
    // Too little room left: what is gathered leaves first.
    flush_report();
  }
}

void report_system_text(LPCTSTR text) {
  std::size_t length =
      system_text_to_utf8(text, report_text + report_length, sizeof report_text - report_length);
  if (length >= sizeof report_text - report_length) {
    flush_report();
    if (length >= sizeof report_text) {
      // A text longer than a whole report leaves in a write of its own.
      char* own = static_cast<char*>(std::malloc(length + 1));
      if (!own) return;
      system_text_to_utf8(text, own, length + 1);
      write_standard_error(own, with_report_line_ends(own, length));
      std::free(own);
      return;
    }
    system_text_to_utf8(text, report_text, sizeof report_text);
  }
  report_length += with_report_line_ends(report_text + report_length, length);
}

void flush_report() {
  if (report_length == 0) return;
  // A report that cannot be written has nowhere else to go; the run goes on.
  write_standard_error(report_text, report_length);
  report_length = 0;
}
