#include "platform/posix/command-line.h"

#include <cstring>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Appends `count` copies of `c` at out[length] (when out is not null); returns the new length.
std::size_t put(char* out, std::size_t length, char c, std::size_t count = 1) {
  if (out) std::memset(out + length, c, count);
  return length + count;
}

// A name or program token: double quotes dropped, the rest as it is, in quotes when `quote`.
std::size_t put_token(const char* token, bool quote, char* out, std::size_t length) {
  if (quote) length = put(out, length, '"');
  for (const char* p = token; *p; ++p) {
    if (*p != '"') length = put(out, length, *p);
  }
  if (quote) length = put(out, length, '"');
  return length;
}

bool token_needs_quotes(const char* token, bool tab_counts) {
  std::size_t visible = 0;
  for (const char* p = token; *p; ++p) {
    if (*p == ' ' || (tab_counts && *p == '\t')) return true;
    if (*p != '"') ++visible;
  }
  return visible == 0;
}

}  // namespace

std::size_t quote_argument(const char* arg, char* out) {
  bool wrap = *arg == '\0';
  for (const char* p = arg; *p && !wrap; ++p) wrap = is_blank(*p);

  std::size_t length = 0;
  if (wrap) length = put(out, length, '"');
  const char* p = arg;
  while (*p) {
    std::size_t backslashes = 0;
    while (p[backslashes] == '\\') ++backslashes;
    p += backslashes;
    if (*p == '"') {
      // Each backslash before a quote is doubled, and one more makes the quote literal.
      length = put(out, length, '\\', 2 * backslashes + 1);
      length = put(out, length, '"');
      ++p;
    } else if (*p == '\0') {
      // Before our closing quote the trailing backslashes must be doubled too.
      length = put(out, length, '\\', wrap ? 2 * backslashes : backslashes);
    } else {
      if (backslashes) length = put(out, length, '\\', backslashes);
      length = put(out, length, *p);
      ++p;
    }
  }
  if (wrap) length = put(out, length, '"');
  if (out) out[length] = '\0';
  return length;
}

std::size_t build_command_line(int argc, const char* const* argv, char* out) {
  std::size_t length = 0;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) length = put(out, length, ' ');
    if (i < 2) {
      length = put_token(argv[i], token_needs_quotes(argv[i], i == 1), out, length);
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
