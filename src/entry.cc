#include <cerrno>
#include <cstring>

#include "tempova.h"

// Our own command line's copy, into which the child's command line points: held until the
// process ends, never freed. Not static: a leak checker must see it reachable at exit.
extern char* command_line_copy;
char* command_line_copy;

namespace {

// Room for a whole report, so that what is written after the wait leaves in one write.
char stderr_buffer[4096];

}  // namespace

int tempova_main(int argc) {
  if (argc < 2) {
    std::fputs("Tempova prog [args]\n", stdout);
    return 0;
  }
  // Before anything is written to it: the run says where its lines are flushed.
  std::setvbuf(stderr, stderr_buffer, _IOFBF, sizeof stderr_buffer);
  const char* raw = GetCommandLineA();
  if (!raw) {
    std::fprintf(stderr, "GetCommandLineA() failed %d\n", static_cast<int>(GetLastError()));
    return 255;
  }
  command_line_copy = strdup(raw);
  if (!command_line_copy) {
    std::fprintf(stderr, "strdup() failed %d\n", errno);
    return 255;
  }
  return static_cast<int>(launch_and_wait(extract_child_command_line(command_line_copy)));
}

char* extract_child_command_line(char* copy) {
  char* p = copy;
  // Only the space separates here; a tab is part of the name.
  while (*p == ' ') ++p;
  if (*p == '\0') return p;
  char delimiter = ' ';
  if (*p == '"') {
    delimiter = '"';
    ++p;
  }
  while (*p != '\0' && *p != delimiter) ++p;
  if (*p == delimiter) *p++ = '\0';
  while (*p == ' ') ++p;
  return p;
}
