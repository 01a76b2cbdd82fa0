// The Windows C runtime's command-line rules, in both directions, for emulating a platform
// where a program receives one string rather than an argument vector.
#ifndef TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_
#define TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_

#include <cstddef>

/// Writes `argv` as one command line into `out` (when not null) and returns its length, not
/// counting the terminating NUL that is written too. The name token is argv[0] without double
/// quotes, quoted when it holds a space or is empty; argv[1] is the program token, quoted when
/// empty or holding a space or tab, double quotes dropped (no program name can carry one);
/// every later argument is quoted by quote_argument. Arguments are joined by single spaces.
std::size_t build_command_line(int argc, const char* const* argv, char* out);

/// Writes one argument (not the first) so that split_command_line gives it back exactly, and
/// returns the length written. With `out` null, only the length is computed.
std::size_t quote_argument(const char* arg, char* out);

/// How many argv entries (the terminating null included) splitting a line of `length` bytes
/// can need at most.
std::size_t split_argv_capacity(std::size_t length);

/// Splits `line` as the C runtime does: the first token (the program) by the first-token rule,
/// the rest by the argument rules. The strings go into `strings`, which needs strlen(line) + 1
/// bytes; `argv` receives pointers to them and a terminating null, within
/// split_argv_capacity(strlen(line)) entries. Returns the number of arguments, the program
/// included (at least 1: an empty line gives an empty program name).
std::size_t split_command_line(const char* line, char* strings, char** argv);

#endif  // TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_
