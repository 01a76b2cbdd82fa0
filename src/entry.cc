#include <cerrno>
#include <cstring>

#include "tempova.h"

// Our own command line's copy, into which the child's command line points: held until the
// process ends, never freed. Not static: a leak checker must see it reachable at exit.
extern TCHAR* command_line_copy;
TCHAR* command_line_copy;

int tempova_main(int argc) {
  if (argc < 2) {
    std::fputs("Tempova prog [args]\n", stdout);
    return 0;
  }
  LPTSTR raw = GetCommandLine();
  if (!raw) {
    report("GetCommandLineA() failed %d\n", static_cast<int>(GetLastError()));
    flush_report();
    return 255;
  }
  command_line_copy = _tcsdup(raw);
  if (!command_line_copy) {
    report("strdup() failed %d\n", errno);
    flush_report();
    return 255;
  }
  return static_cast<int>(launch_and_wait(extract_child_command_line(command_line_copy)));
}

namespace {

// A blank ends an unquoted name token, as it ends the program token for CreateProcess and an
// argument for the C runtime.
bool is_blank(TCHAR c) { return c == TEXT(' ') || c == TEXT('\t'); }

}  // namespace

TCHAR* extract_child_command_line(TCHAR* copy) {
  TCHAR* p = copy;
  while (is_blank(*p)) ++p;
  if (*p == TEXT('\0')) return p;
  if (*p == TEXT('"')) {
    ++p;
    while (*p != TEXT('\0') && *p != TEXT('"')) ++p;
  } else {
    while (*p != TEXT('\0') && !is_blank(*p)) ++p;
  }
  if (*p != TEXT('\0')) *p++ = TEXT('\0');
  while (is_blank(*p)) ++p;
  return p;
}
