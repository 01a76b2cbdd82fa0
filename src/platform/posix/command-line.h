// The Windows C runtime's command-line rules, in both directions, for emulating a platform
// where a program receives one string rather than an argument vector.
#ifndef TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_
#define TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_

#include <cstddef>

/// Writes `argv` as one command line into `out` (when not null) and returns its length, not
/// counting the terminating NUL that is written too. The name token (argv[0]) and the program
/// token (argv[1]) are written without double quotes (no Windows name can carry one), quoted
/// when empty or holding a space or a tab, where an unquoted name would end;
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

/// A command line built from an argument vector, kept with the vector it was built from.
struct OwnCommandLine {
  char* line;               ///< the whole line, NUL-terminated
  std::size_t length;       ///< strlen(line)
  std::size_t child_start;  ///< where the program token starts (`length` when there is none)
  char* const* child_argv;  ///< argv + 1, null-terminated; null when argc < 2
};

/// How many bytes the command line built from `argv` (argc >= 0, argv[argc] null) takes, its
/// terminating NUL included: at least `least`, at most `most`.
struct CommandLineBounds {
  std::size_t least, most;
};
CommandLineBounds own_command_line_bounds(int argc, char* const* argv);

/// Builds `argv` as one command line into `block`, which has room for the bounds' `most`, and
/// describes it in `own` (whose `line` is `block`).
void build_own_command_line(int argc, char* const* argv, char* block, OwnCommandLine* own);

/// The argument vector that `command_line` was built from, when it is exactly, byte for byte,
/// the part of `own` from the program token on (what is left of our line once our own name
/// token is cut off); null for any other line. The vector's strings are the very ones the line
/// was built from, so a program token that held a double quote is given back with it.
char* const* recognise_own_child_line(const OwnCommandLine& own, const char* command_line);

#endif  // TEMPOVA_PLATFORM_POSIX_COMMAND_LINE_H_
