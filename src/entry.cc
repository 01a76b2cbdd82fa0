#include <cerrno>
#include <cstring>

#include "tempova.h"

namespace {

const char kUsage[] = "Tempova prog [args]\n";

const char kHelp[] =
    "\n"
    "Runs prog as a child with the rest of the command line as typed, waits for it, and writes\n"
    "on standard error how it ended and how long it ran, by three clocks at once:\n"
    "  ERRORLEVEL=N                       its exit code, and in parentheses what more it means\n"
    "  tq1= tq2= tq2-tq1=, frequency=     the performance counter and its counts per second\n"
    "  time=                              the elapsed milliseconds by that counter\n"
    "  t1= t2= t2-t1=, ts1= ts2= ts2-ts1= the tick count and the multimedia timer, milliseconds\n"
    "It exits with the child's exit code; when the child cannot start, with 127 (not found) or\n"
    "126 (cannot run) on Linux and 255 on Windows. A program named like an option runs by its\n"
    "path: tempova ./--help.\n"
    "\n"
    "tempova " TEMPOVA_VERSION "\n";

// A blank ends an unquoted name token, as it ends the program token for CreateProcess and an
// argument for the C runtime.
bool is_blank(TCHAR c) { return c == TEXT(' ') || c == TEXT('\t'); }

// Whether `line` is `option` and nothing more but blanks.
bool is_all_of(const TCHAR* line, const TCHAR* option) {
  while (*option && *line == *option) {
    ++line;
    ++option;
  }
  if (*option) return false;
  while (is_blank(*line)) ++line;
  return *line == TEXT('\0');
}

}  // namespace

// Our own command line's copy, into which the child's command line points: held until the
// process ends, never freed. Not static: a leak checker must see it reachable at exit.
extern TCHAR* command_line_copy;
TCHAR* command_line_copy;

int tempova_main(int argc) {
  if (argc < 2) {
    std::fputs(kUsage, stdout);
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
  TCHAR* child_command_line = extract_child_command_line(command_line_copy);
  // Our own answers, when one of our options is all there is; a program of that name runs by
  // its path (./--help).
  if (is_all_of(child_command_line, TEXT("--version"))) {
    std::fputs("tempova " TEMPOVA_VERSION "\n", stdout);
    return 0;
  }
  if (is_all_of(child_command_line, TEXT("--help")) ||
      (kSystemHelpSwitch && is_all_of(child_command_line, kSystemHelpSwitch))) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  return static_cast<int>(launch_and_wait(child_command_line));
}

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
