// Arbitrary argument lists (the input's NUL-separated pieces) must come back identical through
// our own command line: built, our name token cut off, and the rest either recognised as our
// own (the very vector comes back) or split by the C runtime's rules (the program token cannot
// carry a double quote there, so the program's are dropped).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(args.size());
  // The block exactly as big as the bounds allow, so that the sanitizer sees any write past it.
  CommandLineBounds bounds = own_command_line_bounds(argc, argv.data());
  std::vector<char> block(bounds.most);
  OwnCommandLine own;
  build_own_command_line(argc, argv.data(), block.data(), &own);
  if (build_command_line(argc, argv.data(), nullptr) != own.length) std::abort();
  if (own.length + 1 < bounds.least || own.length + 1 > bounds.most) std::abort();
  std::vector<char> line(own.line, own.line + own.length + 1);

  char* child = extract_child_command_line(line.data());
  if (child != line.data() + own.child_start) std::abort();
  if (recognise_own_child_line(own, child) != argv.data() + 1) std::abort();

  std::size_t child_length = own.length - own.child_start;
  std::vector<char> strings(child_length + 1);
  std::vector<char*> split(split_argv_capacity(child_length));
  std::size_t count = split_command_line(child, strings.data(), split.data());
  if (count != args.size() - 1) std::abort();
  args[1].erase(std::remove(args[1].begin(), args[1].end(), '"'), args[1].end());
  for (std::size_t i = 0; i < count; ++i) {
    if (std::strcmp(args[i + 1].c_str(), split[i]) != 0) std::abort();
  }
  return 0;
}
