// Arbitrary argument lists (the input's NUL-separated pieces) must come back identical through
// our own command line: built, our name token cut off, the rest split by the C runtime's rules.
// The program token cannot carry a double quote, so the program's are dropped.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/command-line.h"
#include "tempova.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (args.size() < 2) args.emplace_back("prog");
  args[1].erase(std::remove(args[1].begin(), args[1].end(), '"'), args[1].end());

  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  int argc = static_cast<int>(argv.size());
  std::size_t length = build_command_line(argc, argv.data(), nullptr);
  std::vector<char> line(length + 1);
  if (build_command_line(argc, argv.data(), line.data()) != length) std::abort();

  char* child = extract_child_command_line(line.data());
  std::size_t child_length = length - static_cast<std::size_t>(child - line.data());
  std::vector<char> strings(child_length + 1);
  std::vector<char*> split(split_argv_capacity(child_length));
  std::size_t count = split_command_line(child, strings.data(), split.data());
  if (count != args.size() - 1) std::abort();
  for (std::size_t i = 0; i < count; ++i) {
    if (args[i + 1] != split[i]) std::abort();
  }
  return 0;
}
