// The splitter on arbitrary bytes: it must stay within the room its contract asks for (the
// buffers are exactly that big, so the sanitizer sees any write or read past them).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/command-line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  char* line = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(line, data, size);
  line[size] = '\0';
  std::size_t length = std::strlen(line);
  std::size_t capacity = split_argv_capacity(length);
  char* strings = static_cast<char*>(std::malloc(length + 1));
  char** argv = static_cast<char**>(std::malloc(capacity * sizeof(char*)));

  std::size_t argc = split_command_line(line, strings, argv);
  if (argc == 0 || argc >= capacity || argv[argc] != nullptr) std::abort();
  for (std::size_t i = 0; i < argc; ++i) {
    if (argv[i] < strings || argv[i] + std::strlen(argv[i]) >= strings + length + 1) std::abort();
  }
  std::free(argv);
  std::free(strings);
  std::free(line);
  return 0;
}
