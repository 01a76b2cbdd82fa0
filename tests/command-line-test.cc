// The Windows command-line rules that the Linux emulation splits and builds lines by.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/command-line.h"
#include "tempova.h"

namespace {

using Args = std::vector<std::string>;

Args split(const std::string& line) {
  std::vector<char> strings(line.size() + 1);
  std::vector<char*> argv(split_argv_capacity(line.size()), nullptr);
  std::size_t argc = split_command_line(line.c_str(), strings.data(), argv.data());
  EXPECT_LT(argc, argv.size());
  EXPECT_EQ(argv[argc], nullptr);
  return Args(argv.data(), argv.data() + argc);
}

std::string quote(const std::string& arg) {
  std::size_t length = quote_argument(arg.c_str(), nullptr);
  std::vector<char> out(length + 1, '\x7f');
  EXPECT_EQ(quote_argument(arg.c_str(), out.data()), length);
  EXPECT_EQ(out[length], '\0');
  return std::string(out.data());
}

std::string build(const Args& args) {
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  int argc = static_cast<int>(argv.size());
  std::size_t length = build_command_line(argc, argv.data(), nullptr);
  std::vector<char> out(length + 1, '\x7f');
  EXPECT_EQ(build_command_line(argc, argv.data(), out.data()), length);
  return std::string(out.data());
}

// An argument vector and the command line built from it.
struct Own {
  explicit Own(const Args& args) : strings(args) {
    for (std::string& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(strings.size());
    CommandLineBounds bounds = own_command_line_bounds(argc, argv.data());
    block.assign(bounds.most, '\x7f');
    build_own_command_line(argc, argv.data(), block.data(), &built);
    EXPECT_LE(bounds.least, built.length + 1);
    EXPECT_LE(built.length + 1, bounds.most);
  }
  Args strings;
  std::vector<char*> argv;
  std::vector<char> block;
  OwnCommandLine built{};
};

struct SplitCase {
  const char* line;
  Args args;
};

const SplitCase kSplitCases[] = {
    {"prog", {"prog"}},
    {"", {""}},
    {"\"C:\\Program Files\\x.exe\" a", {"C:\\Program Files\\x.exe", "a"}},
    {"pr\"o g\"x a", {"pro gx", "a"}},
    // In the program token backslashes are plain, even before a quote.
    {"C:\\dir\\prog\\ a", {"C:\\dir\\prog\\", "a"}},
    {"\"a\\\"b c", {"a\\b", "c"}},
    {"prog\ta", {"prog", "a"}},
    {" prog", {"", "prog"}},
    {"p a\\\\b", {"p", "a\\\\b"}},
    {"p a\\\"b", {"p", "a\"b"}},
    {"p a\\\\\\\"b", {"p", "a\\\"b"}},
    {"p a\\\\\\\\\"b c\"", {"p", "a\\\\b c"}},
    {"p \"a\\\\\"", {"p", "a\\"}},
    {"p \"a\"\"b\"", {"p", "a\"b"}},
    {"p \"\"\"\"", {"p", "\""}},
    {"p a\"\"b", {"p", "ab"}},
    {"p \"\"", {"p", ""}},
    {"p \"", {"p", ""}},
    {"p \"abc", {"p", "abc"}},
    {"p a\"b c\"d e", {"p", "ab cd", "e"}},
    {"p a\t\tb  ", {"p", "a", "b"}},
    {"p \t ", {"p"}},
    {"p a\\", {"p", "a\\"}},
    {"p \\\"", {"p", "\""}},
    {"p \xc3\xa9 \xff", {"p", "\xc3\xa9", "\xff"}},
    {"p a\nb", {"p", "a\nb"}},
};

TEST(SplitCommandLine, FollowsTheCRuntimeRules) {
  for (const SplitCase& c : kSplitCases) EXPECT_EQ(split(c.line), c.args) << "line: " << c.line;
}

struct QuoteCase {
  const char* arg;
  const char* quoted;
};

const QuoteCase kQuoteCases[] = {
    {"a", "a"},
    {"", "\"\""},
    {"a b", "\"a b\""},
    {"a\tb", "\"a\tb\""},
    {"a\"b", "a\\\"b"},
    {"a\\\"b", "a\\\\\\\"b"},
    {"a\\", "a\\"},
    {"a b\\", "\"a b\\\\\""},
    {"a\\b", "a\\b"},
    {"\\\\server\\share dir", "\"\\\\server\\share dir\""},
    {"\"", "\\\""},
    {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
    // Longer than a word of eight bytes, with quotes on either side of a word's edge.
    {"abcdefg\"hijklmno\\\"pq", "abcdefg\\\"hijklmno\\\\\\\"pq"},
    {"abcdefgh\"\"\"ijklmnopqrstuvw x\\\\", "\"abcdefgh\\\"\\\"\\\"ijklmnopqrstuvw x\\\\\\\\\""},
};

TEST(QuoteArgument, EscapesOnlyWhatTheSplitterWouldChange) {
  for (const QuoteCase& c : kQuoteCases) {
    EXPECT_EQ(quote(c.arg), c.quoted) << "arg: " << c.arg;
    EXPECT_EQ(split(std::string("p ") + c.quoted), Args({"p", c.arg})) << "arg: " << c.arg;
  }
}

struct BuildCase {
  Args argv;
  const char* line;
};

const BuildCase kBuildCases[] = {
    {{"tempova", "prog", "a b"}, "tempova prog \"a b\""},
    {{"/opt/my tools/tempova", "prog"}, "\"/opt/my tools/tempova\" prog"},
    {{"te\"mp\"ova", "prog"}, "tempova prog"},
    {{"", "prog"}, "\"\" prog"},
    {{"\"\"", "prog"}, "\"\" prog"},
    // A tab would end an unquoted name, as a space would.
    {{"tab\tname", "prog"}, "\"tab\tname\" prog"},
    {{"tempova", "my prog", "x"}, "tempova \"my prog\" x"},
    {{"tempova", "", "x"}, "tempova \"\" x"},
    {{"tempova", "p\t", "x"}, "tempova \"p\t\" x"},
    {{"tempova", "C:\\a\\b\\", "x\\"}, "tempova C:\\a\\b\\ x\\"},
    {{"tempova", "pr\"og"}, "tempova prog"},
    {{"tempova"}, "tempova"},
};

TEST(BuildCommandLine, QuotesEachTokenByItsRule) {
  for (const BuildCase& c : kBuildCases) EXPECT_EQ(build(c.argv), c.line);
}

// Random argument lists, heavy in the characters the rules care about, must come back exactly
// through our own command line: built, our name token cut off, the rest split.
TEST(CommandLineRoundTrip, AnyArgumentsComeBackExactly) {
  std::mt19937 random(20261211);
  const char special[] = {' ', '\t', '"', '\\', '\\', 'a', '\xff', '\x01', '\n'};
  auto random_string = [&](bool allow_quote) {
    std::string s;
    std::size_t length = random() % 4 == 0 ? random() % 40 : random() % 9;
    for (std::size_t i = 0; i < length; ++i) {
      char c =
          random() % 2 ? special[random() % sizeof special] : static_cast<char>(1 + random() % 255);
      if (c == '"' && !allow_quote) c = 'q';
      s.push_back(c);
    }
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    Args args;
    args.push_back(random_string(true));
    args.push_back(random_string(true));
    for (std::size_t n = random() % 5; n > 0; --n) args.push_back(random_string(true));

    std::string line = build(args);
    std::vector<char> copy(line.begin(), line.end());
    copy.push_back('\0');
    char* child = extract_child_command_line(copy.data());

    std::string name = args[0];
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    const char* name_start = copy.data() + (copy[0] == '"' ? 1 : 0);
    ASSERT_EQ(std::string(name_start), name) << "line: " << line;
    // Split by the rules, the program token has lost its quotes; recognised as our own line,
    // the child is given the very arguments, the program's quotes included.
    Args expected(args.begin() + 1, args.end());
    Args split_back = split(child);
    expected[0].erase(std::remove(expected[0].begin(), expected[0].end(), '"'), expected[0].end());
    ASSERT_EQ(split_back, expected) << "line: " << line;

    Own own(args);
    char* const* recognised = recognise_own_child_line(own.built, child);
    ASSERT_EQ(recognised, own.argv.data() + 1) << "line: " << line;
  }
}

// Only our own line, from the program token to its very end, is started from the vector it was
// built from; any other line, however close, is split by the rules.
TEST(RecogniseOwnChildLine, OnlyTheExactTailOfOurLine) {
  Own own({"tempova", "./q\"uote", "a b", "c\\\"d", ""});
  ASSERT_STREQ(own.built.line, "tempova ./quote \"a b\" c\\\\\\\"d \"\"");
  const std::string tail = "./quote \"a b\" c\\\\\\\"d \"\"";
  struct Case {
    const char* what;
    std::string line;
    bool ours;
  };
  const Case cases[] = {
      {"the exact tail", tail, true},
      {"one more byte", tail + " ", false},
      {"one byte less", tail.substr(0, tail.size() - 1), false},
      {"one byte changed", "./quotE" + tail.substr(7), false},
      {"the whole line, our name included", own.built.line, false},
      {"the same arguments quoted otherwise", "\"./quote\" \"a b\" c\\\\\\\"d \"\"", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) {
    std::vector<char> line(c.line.begin(), c.line.end());
    line.push_back('\0');
    char* const* argv = recognise_own_child_line(own.built, line.data());
    EXPECT_EQ(argv, c.ours ? own.argv.data() + 1 : nullptr) << c.what;
  }
  // The program's name comes back with its quote, as the user gave it.
  EXPECT_STREQ(own.argv[1], "./q\"uote");

  // Without a program there is nothing of ours to recognise, not even an empty line.
  Own alone({"tempova"});
  EXPECT_EQ(recognise_own_child_line(alone.built, ""), nullptr);
  EXPECT_EQ(alone.built.child_start, alone.built.length);
}

}  // namespace
