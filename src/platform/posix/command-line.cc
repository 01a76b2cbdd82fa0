// The Windows C runtime's command-line rules, both ways: how a line splits into arguments, and how
// arguments are written so that they split back exactly; and our own line, built once.
#include "platform/posix/command-line.h"

#include <cstdint>
#include <cstring>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Appends `count` copies of `c` at out[length] (when out is not null); returns the new length.
std::size_t put(char* out, std::size_t length, char c, std::size_t count = 1) {
  if (out) std::memset(out + length, c, count);
  return length + count;
}

// Appends `count` bytes from `from` (when out is not null); returns the new length.
std::size_t put_run(char* out, std::size_t length, const char* from, std::size_t count) {
  if (out) std::memcpy(out + length, from, count);
  return length + count;
}

// A name or program token: double quotes dropped, the rest as it is, in quotes when `quote`.
std::size_t put_token(const char* token, bool quote, char* out, std::size_t length) {
  if (quote) length = put(out, length, '"');
  for (const char* p = token; *p;) {
    std::size_t run = std::strcspn(p, "\"");
    length = put_run(out, length, p, run);
    p += run;
    if (*p == '"') ++p;
  }
  if (quote) length = put(out, length, '"');
  return length;
}

bool token_needs_quotes(const char* token) {
  std::size_t visible = 0;
  for (const char* p = token; *p; ++p) {
    if (is_blank(*p)) return true;
    if (*p != '"') ++visible;
  }
  return visible == 0;
}

// Writes [arg, end) at out[length] (when out is not null) with every double quote escaped: the
// backslashes right before it doubled and one more added. Returns the new length: one rule for
// what is written and for how much room it takes. Runs without a quote, as most are, go eight
// bytes at a time.
std::size_t put_escaped(const char* arg, const char* end, char* out, std::size_t length) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighBits = 0x8080808080808080;
  constexpr std::uint64_t kQuotes = kOnes * '"';
  const char* p = arg;
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      std::uint64_t x = word ^ kQuotes;
      // The lowest flagged byte is the first quote; bytes above it may be flagged falsely.
      std::uint64_t quotes = (x - kOnes) & ~x & kHighBits;
      std::size_t run = 8;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      if (quotes) run = static_cast<std::size_t>(__builtin_ctzll(quotes)) / 8;
#else
      if (quotes) run = 0;
#endif
      // All eight bytes, though only `run` of them count: what follows overwrites the rest, and
      // at least eight more bytes of output follow from here.
      if (out) std::memcpy(out + length, &word, 8);
      length += run;
      p += run;
      if (run == 8) continue;
    }
    if (*p == '"') {
      std::size_t backslashes = 0;
      while (p - backslashes > arg && p[-1 - static_cast<std::ptrdiff_t>(backslashes)] == '\\') {
        ++backslashes;
      }
      length = put(out, length, '\\', backslashes + 1);
    }
    length = put(out, length, *p++);
  }
  return length;
}

}  // namespace

std::size_t quote_argument(const char* arg, char* out) {
  // Most arguments need nothing: no blank to quote and no quote to escape, so that their
  // backslashes are plain too.
  std::size_t plain = std::strcspn(arg, " \t\"");
  if (plain > 0 && arg[plain] == '\0') {
    if (out) std::memcpy(out, arg, plain + 1);
    return plain;
  }
  const char* end = arg + plain + std::strlen(arg + plain);
  bool wrap =
      arg == end || arg[plain] != '"' || arg[plain + std::strcspn(arg + plain, " \t")] != '\0';
  std::size_t length = 0;
  if (wrap) length = put(out, length, '"');
  length = put_escaped(arg, end, out, length);
  if (wrap) {
    // Backslashes before our closing quote are doubled, so that it stays a quote.
    std::size_t trailing = 0;
    while (end - trailing > arg && end[-1 - static_cast<std::ptrdiff_t>(trailing)] == '\\') {
      ++trailing;
    }
    length = put(out, length, '\\', trailing);
    length = put(out, length, '"');
  }
  if (out) out[length] = '\0';
  return length;
}

std::size_t build_command_line(int argc, const char* const* argv, char* out) {
  std::size_t length = 0;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) length = put(out, length, ' ');
    if (i < 2) {
      length = put_token(argv[i], token_needs_quotes(argv[i]), out, length);
    } else {
      length += quote_argument(argv[i], out ? out + length : nullptr);
    }
  }
  if (out) out[length] = '\0';
  return length;
}

std::size_t split_argv_capacity(std::size_t length) { return length / 2 + 2; }

std::size_t split_command_line(const char* line, char* strings, char** argv) {
  const char* p = line;
  char* w = strings;
  std::size_t argc = 0;

  // The program token: quotes toggle and vanish, backslashes are plain characters.
  argv[argc++] = w;
  bool quoted = false;
  for (; *p && (quoted || !is_blank(*p)); ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else {
      *w++ = *p;
    }
  }
  *w++ = '\0';

  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    argv[argc++] = w;
    quoted = false;
    while (*p && (quoted || !is_blank(*p))) {
      std::size_t backslashes = 0;
      while (p[backslashes] == '\\') ++backslashes;
      if (p[backslashes] != '"') {
        // Backslashes not followed by a quote are literal.
        std::memset(w, '\\', backslashes);
        w += backslashes;
        p += backslashes;
        if (backslashes == 0) *w++ = *p++;
        continue;
      }
      std::memset(w, '\\', backslashes / 2);
      w += backslashes / 2;
      p += backslashes;  // now on the quote
      if (backslashes % 2 == 1) {
        *w++ = '"';
        ++p;
      } else if (quoted && p[1] == '"') {
        // A doubled quote inside quotes is one literal quote, and the quoting goes on.
        *w++ = '"';
        p += 2;
      } else {
        quoted = !quoted;
        ++p;
      }
    }
    *w++ = '\0';
  }
  argv[argc] = nullptr;
  return argc;
}

CommandLineBounds own_command_line_bounds(int argc, char* const* argv) {
  // Each argument at least as it is (but the name and the program, whose quotes are dropped),
  // and at most with every byte doubled and quotes around it; a separator or the NUL after each.
  CommandLineBounds bounds{1, 1};
  for (int i = 0; i < argc; ++i) {
    std::size_t length = std::strlen(argv[i]);
    if (i >= 2) bounds.least += length + 1;
    bounds.most += 2 * length + 3;
  }
  return bounds;
}

void build_own_command_line(int argc, char* const* argv, char* block, OwnCommandLine* own) {
  const char* const* args = argv;
  std::size_t length = build_command_line(argc, args, block);
  // The name token and the one space after it.
  std::size_t child_start = argc < 2 ? length : build_command_line(1, args, nullptr) + 1;
  *own = OwnCommandLine{block, length, child_start, argc < 2 ? nullptr : argv + 1};
}

char* const* recognise_own_child_line(const OwnCommandLine& own, const char* command_line) {
  if (!own.child_argv || !command_line) return nullptr;
  const char* child = own.line + own.child_start;
  std::size_t child_length = own.length - own.child_start;
  // strncmp stops at the first difference or at the end of `command_line`, so a shorter line is
  // never read past its end.
  if (std::strncmp(command_line, child, child_length) != 0 || command_line[child_length] != '\0') {
    return nullptr;
  }
  return own.child_argv;
}
