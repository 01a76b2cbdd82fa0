// Our name token cut off arbitrary bytes: the child's command line must be a suffix of the
// copy, and at most one byte, our name's delimiter, may become NUL.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tempova.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> line(data, data + size);
  line.push_back('\0');
  std::size_t length = std::strlen(line.data());
  // Exactly the string's bytes, so that the sanitizer sees any read past its end.
  char* copy = static_cast<char*>(std::malloc(length + 1));
  std::memcpy(copy, line.data(), length + 1);

  char* child = extract_child_command_line(copy);
  if (child < copy || child > copy + length) std::abort();
  std::size_t changed = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (copy[i] != line[i]) {
      if (copy[i] != '\0' || (line[i] != ' ' && line[i] != '\t' && line[i] != '"')) std::abort();
      ++changed;
    }
  }
  if (changed > 1) std::abort();
  if (std::strcmp(child, line.data() + (child - copy)) != 0) std::abort();
  std::free(copy);
  return 0;
}
