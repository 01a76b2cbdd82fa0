// The Windows executable, run under Wine with the real Windows operations beneath it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <regex>
#include <string>

#include "report-check.h"
#include "run-process.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const std::string kTempova = TEMPOVA_EXE;
const std::string kProbe = PROBE_EXE;

const char kWineEnvironment[] =
    "WINEPREFIX=" WINE_PREFIX " WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=";

// In a UTF-8 locale, so that Wine reads our Unix arguments as the Unicode they are; the
// start's own environment comes after, and may choose another.
Result wine(const Args& args, Start start = Start()) {
  std::vector<std::string> environment = {"WINEPREFIX=" WINE_PREFIX, "WINEDEBUG=-all",
                                          "WINEDLLOVERRIDES=mscoree,mshtml=", "LC_ALL=C.UTF-8"};
  environment.insert(environment.end(), start.environment.begin(), start.environment.end());
  start.environment = environment;
  Args command{WINE_PATH};
  command.insert(command.end(), args.begin(), args.end());
  return run_process(command, start);
}

std::string hex(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (unsigned char c : bytes) {
    std::snprintf(pair, sizeof pair, "%02x", c);
    out += pair;
  }
  return out;
}

// Runs `line` as a Windows command line from a Windows process, so that the launcher gets it
// byte for byte, and reads the launcher's whole 32-bit exit code from the runner.
struct Launched {
  Result result;
  std::string child_out;  // what the launcher's child wrote
  unsigned long long exit_code = ~0ull;
};

Launched collect(Result result) {
  Launched launched;
  launched.result = result;
  const std::string& out = launched.result.out;
  std::smatch m;
  if (std::regex_search(out, m, std::regex("\\[exit ([0-9]+)\\]$"))) {
    launched.exit_code = std::stoull(m[1]);
    launched.child_out = out.substr(0, out.size() - m[0].length());
  } else {
    ADD_FAILURE() << "no exit code from the runner: " << out;
  }
  return launched;
}

Launched launch(const std::string& line) { return collect(wine({kProbe, "run", hex(line)})); }

// UTF-16 code units as the probe reads and writes them: four hexadecimal digits each.
std::string hex16(const std::u16string& text) {
  std::string out;
  char unit[5];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    out += unit;
  }
  return out;
}

// The same for a Unicode command line, started with CreateProcessW.
Launched wide_launch(const std::u16string& line) {
  Start start;
  start.input = hex16(line);
  return collect(wine({kProbe, "wrun"}, start));
}

const char kReportPattern[] =
    "ERRORLEVEL=[0-9]+( \\((STILL_ACTIVE|0x[0-9A-F]{8}( [A-Z_]+)?)\\))?\r\n"
    "tq1=[0-9]+ tq2=[0-9]+ tq2-tq1=[0-9]+\r\n"
    "frequency=[0-9]+\r\n"
    "time=[0-9]+\\.[0-9]{6}\r\n"
    "t1=[0-9]+ t2=[0-9]+ t2-t1=[0-9]+\r\n"
    "ts1=[0-9]+ ts2=[0-9]+ ts2-ts1=[0-9]+\r\n";

bool is_report(const std::string& text) {
  return std::regex_match(text, std::regex(kReportPattern));
}

TEST(Wine, UsageLineInTextMode) {
  Result r = wine({kTempova});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Tempova prog [args]\r\n");
  EXPECT_EQ(r.err, "");
}

TEST(Wine, ChildGetsTheRestOfOurCommandLineExactly) {
  const char* const children[] = {
      "windows-probe.exe cmdline 0   \"a  b\"  c\\\"d \"e\\\\\" \\\\server\\share\\  x  ",
      "windows-probe.exe cmdline 0\t\"tab\"\t",
      "windows-probe.exe cmdline 0 \"\" \"\"\"\" \\\\\\\"",
      "\"windows-probe.exe\" cmdline 0 \xc3\xa9t\xc3\xa9",
  };
  // A tab ends our name as it ends the program's name for CreateProcess: what follows it is the
  // child, never part of our name.
  const char* const launchers[] = {"tempova.exe ", "tempova.exe    ", "\"tempova.exe\"",
                                   "tempova.exe\t", "tempova.exe \t "};
  for (const char* launcher : launchers) {
    for (const char* child : children) {
      Launched l = launch(std::string(launcher) + child);
      EXPECT_EQ(l.child_out, child) << launcher;
      EXPECT_EQ(l.exit_code, 0u);
      EXPECT_TRUE(is_report(l.result.err)) << l.result.err;
    }
  }
}

TEST(Wine, ExitCodesAreWrittenUnsignedAndPassedOnWhole) {
  struct Case {
    unsigned long long code;
    std::string line;
  };
  // An exception code (0xC0000000 and up: a crash, or an end forced on the process) follows in
  // hexadecimal, named where users meet it.
  const Case cases[] = {
      {0, "ERRORLEVEL=0\r\n"},
      {7, "ERRORLEVEL=7\r\n"},
      {259, "ERRORLEVEL=259 (STILL_ACTIVE)\r\n"},
      {2147483648ull, "ERRORLEVEL=2147483648\r\n"},
      {0xBFFFFFFFull, "ERRORLEVEL=3221225471\r\n"},
      {0xC0000005ull, "ERRORLEVEL=3221225477 (0xC0000005 STATUS_ACCESS_VIOLATION)\r\n"},
      {0xC00000FDull, "ERRORLEVEL=3221225725 (0xC00000FD STATUS_STACK_OVERFLOW)\r\n"},
      {0xC000013Aull, "ERRORLEVEL=3221225786 (0xC000013A STATUS_CONTROL_C_EXIT)\r\n"},
      {0xC0000135ull, "ERRORLEVEL=3221225781 (0xC0000135 STATUS_DLL_NOT_FOUND)\r\n"},
      {0xC0000409ull, "ERRORLEVEL=3221226505 (0xC0000409 STATUS_STACK_BUFFER_OVERRUN)\r\n"},
      {0xC0001234ull, "ERRORLEVEL=3221230132 (0xC0001234)\r\n"},
      {4294967295ull, "ERRORLEVEL=4294967295 (0xFFFFFFFF)\r\n"},
  };
  for (const Case& c : cases) {
    std::string code = std::to_string(c.code);
    Launched l = launch("tempova.exe windows-probe.exe cmdline " + code);
    EXPECT_THAT(l.result.err, StartsWith(c.line)) << code;
    EXPECT_TRUE(is_report(l.result.err)) << l.result.err;
    EXPECT_EQ(l.exit_code, c.code);

    // Run from Linux, Wine's own exit status keeps the low byte, and a nonzero code whose low
    // byte is 0 becomes 1.
    Result direct = wine({kTempova, kProbe, "cmdline", code});
    int low = static_cast<int>(c.code & 0xFF);
    EXPECT_EQ(direct.status, c.code != 0 && low == 0 ? 1 : low) << code;
    EXPECT_THAT(direct.err, StartsWith(c.line));
  }
}

// Our own answers: --version, and --help or Windows' own /? when alone; more is a command.
TEST(Wine, VersionAndHelp) {
  Result version = wine({kTempova, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tempova " TEMPOVA_VERSION "\r\n");
  for (const char* help : {"--help", "/?"}) {
    Result r = wine({kTempova, help});
    EXPECT_EQ(r.status, 0) << help;
    EXPECT_THAT(r.out, StartsWith("Tempova prog [args]\r\n\r\n")) << help;
    EXPECT_THAT(r.out, EndsWith(version.out)) << help;
    EXPECT_EQ(r.err, "") << help;
  }
  Launched more = launch("tempova.exe /? x");
  EXPECT_EQ(more.exit_code, 255u);
  EXPECT_THAT(more.result.err, StartsWith("CreateProcess() failed "));
}

TEST(Wine, MissingProgramGivesTheSystemTextAnd255) {
  for (const std::string& launcher : {std::string("tempova.exe "), std::string("tempova.exe")}) {
    Launched l = launch(launcher + " no-such-program-tempova.exe arg");
    const std::string& err = l.result.err;
    EXPECT_EQ(l.exit_code, 255u);
    EXPECT_THAT(err, StartsWith("CreateProcess() failed 2 "));
    EXPECT_THAT(err, EndsWith("\r\n"));
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line and nothing more: " << err;
    EXPECT_EQ(err.find("\r\r"), std::string::npos) << err;
    EXPECT_GT(err.size(), std::string("CreateProcess() failed 2 \r\n").size()) << "a system text";
    EXPECT_EQ(l.child_out, "");
  }
  EXPECT_EQ(wine({kTempova, "no-such-program-tempova.exe"}).status, 255);
}

TEST(Wine, TimingBlockUsesTheSystemsCounterFrequency) {
  Result frequency = wine({kProbe, "frequency"});
  ASSERT_EQ(frequency.status, 0);
  Result r = wine({kTempova, kProbe, "cmdline", "0"});
  ASSERT_TRUE(is_report(r.err)) << r.err;
  EXPECT_EQ(std::to_string(report_value(r.err, "frequency")) + "\n", frequency.out);
  check_timing_arithmetic(r.err, "\r\n");
}

// Every character arrives as typed, whatever the system's ANSI code page: the child's Unicode
// command line, after its program token, is what the same child gets when started directly.
// A fullwidth quote must stay one: mapped to its ANSI look-alike it would split an argument.
TEST(Wine, UnicodeArgumentsArriveExactly) {
  const Args cases[] = {
      {"\u03a9\u20ac\u00e9"},                               // Greek, the euro sign, Latin
      {"\u65e5\u672c\u8a9e", "\u6f22\u5b57 \u304b\u306a"},  // CJK
      {"\U0001F600", "a\U0001F600b"},                       // outside the BMP: a surrogate pair
      {"\uff41\uff02b c\uff02"},                            // fullwidth quotes
      {"\uff3c\uff02", "a\uff3c\"b", "c\\\uff02"},          // fullwidth backslash, real quotes
      {"a \"\u16a0\" b", "\u16a0 \u0531"},                  // runic and Armenian: in no code page
  };
  for (const Args& args : cases) {
    Args direct_args{kProbe, "wcmdline"};
    direct_args.insert(direct_args.end(), args.begin(), args.end());
    Args launched_args{kTempova};
    launched_args.insert(launched_args.end(), direct_args.begin(), direct_args.end());
    Result direct = wine(direct_args);
    Result launched = wine(launched_args);
    ASSERT_EQ(direct.status, 0);
    std::size_t direct_tail = direct.out.find(" wcmdline");
    std::size_t launched_tail = launched.out.find(" wcmdline");
    ASSERT_NE(direct_tail, std::string::npos) << direct.out << direct.err;
    ASSERT_NE(launched_tail, std::string::npos)
        << "status " << launched.status << ", out: " << launched.out << ", err: " << launched.err;
    EXPECT_EQ(launched.out.substr(launched_tail), direct.out.substr(direct_tail)) << args[0];
    EXPECT_TRUE(is_report(launched.err)) << launched.err;
  }
}

// Any UTF-16 string up to the system's limit reaches the child unchanged: long lines of
// characters that take three bytes in UTF-8, surrogate pairs and lone surrogates alike.
TEST(Wine, EveryUtf16LineReachesTheChildUnchanged) {
  const std::u16string ours = u"tempova.exe ";
  const std::u16string child = u"windows-probe.exe wcmdhex ";
  // CreateProcess takes at most 32,767 characters, its terminating NUL included.
  const std::size_t limit = 32766 - ours.size() - child.size();
  struct Case {
    const char* what;
    std::u16string arguments;
  };
  const Case cases[] = {
      {"21,900 CJK characters, 65,700 bytes in UTF-8", std::u16string(21900, u'\u65e5')},
      {"three-byte characters up to the system's limit", std::u16string(limit, u'\u20ac')},
      {"emoji: surrogate pairs", u"\U0001F600 a\U0001F389b \"\U0001F4A9 \U0001F4A9\""},
      {"lone surrogates",
       u"a\xD800"
       u"b \xDC00 \"\xDBFF\""},
      {"fullwidth quotes, a backslash and a tab",
       u"\uff02"
       u"a b\uff02 \uff3c\"\t\u3000x"},
  };
  for (const Case& c : cases) {
    Launched l = wide_launch(ours + child + c.arguments);
    EXPECT_EQ(l.exit_code, 0u) << c.what << ": " << l.result.err.substr(0, 200);
    EXPECT_TRUE(l.child_out == hex16(child + c.arguments))
        << c.what << ": the child got " << l.child_out.size() / 4 << " characters of "
        << (child + c.arguments).size();
    EXPECT_TRUE(is_report(l.result.err)) << c.what << ": " << l.result.err.substr(0, 200);
  }
}

// The system's text for a failed launch reads right: in a file or a pipe as UTF-8, in a console
// as the characters they are, whatever the console's code page (Wine gives a console on a
// terminal the code page of the locale: 866 for Russian). Russian, whose texts no ASCII holds;
// Wine shows them on the terminal only in a Russian locale that the C library has, so one is
// made for the test.
TEST(Wine, LaunchFailureTextReadsRightInAPipeAndInAConsole) {
  const std::string locales = WINE_PREFIX "/../locales";
  if (access((locales + "/ru_RU.UTF-8").c_str(), F_OK) != 0 &&
      std::system(
          ("mkdir -p " + locales + " && localedef -i ru_RU -f UTF-8 " + locales + "/ru_RU.UTF-8")
              .c_str()) != 0) {
    GTEST_SKIP() << "no Russian locale could be made (localedef, and Debian's locales package)";
  }
  Start russian;
  russian.environment = {"LOCPATH=" + locales, "LC_ALL=ru_RU.UTF-8"};
  Result message = wine({kProbe, "message", "2"}, russian);
  ASSERT_EQ(message.status, 0);
  const std::string& text = message.out;
  ASSERT_TRUE(std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; }))
      << "Wine gave no Russian text: " << text;
  ASSERT_THAT(text, EndsWith("\r\n"));
  Result piped = wine({kTempova, "no-such-program-tempova.exe"}, russian);
  EXPECT_EQ(piped.err, "CreateProcess() failed 2 " + text);
  EXPECT_EQ(piped.status, 255);

  std::string command = std::string("env ") + kWineEnvironment + " LOCPATH=" + locales +
                        " LC_ALL=ru_RU.UTF-8 " + WINE_PATH + " " + kTempova +
                        " no-such-program-tempova.exe";
  Result console = run_process({"/usr/bin/script", "-q", "-e", "-c", command, "/dev/null"});
  EXPECT_EQ(console.status, 255);
  std::string line = text.substr(0, text.size() - 2);
  EXPECT_THAT(console.out, HasSubstr("CreateProcess() failed 2 " + line)) << hex(console.out);
}

// The stack protector's guard is seeded at the entry point from the system's random generator
// (the probe starts as tempova.exe does): a new one each run, never the built-in value. A stack
// overrun ends the process at once with STATUS_STACK_BUFFER_OVERRUN, as the report then says.
TEST(Wine, StackProtectorIsSeededAndFailsFast) {
  std::string first = wine({kProbe, "guard"}).out, second = wine({kProbe, "guard"}).out;
  EXPECT_NE(first, second);
  for (const std::string& guard : {first, second}) {
    EXPECT_THAT(guard, ::testing::MatchesRegex("[0-9a-f]+\r?\n"));
    EXPECT_NE(guard.substr(0, 16), "2f8b3c1a7e64d905") << "not seeded";
  }
  Launched smashed = launch("tempova.exe windows-probe.exe smash");
  EXPECT_EQ(smashed.exit_code, 0xC0000409u);
  EXPECT_THAT(smashed.result.err,
              StartsWith("ERRORLEVEL=3221226505 (0xC0000409 STATUS_STACK_BUFFER_OVERRUN)\r\n"));
  EXPECT_EQ(smashed.child_out.find("xxxx"), std::string::npos) << "the overrun went on";
}

// Properties in Explorer and PowerShell's VersionInfo read this.
TEST(Wine, VersionInformationNamesTheProgram) {
  Result r = wine({kProbe, "version", kTempova});
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string version = TEMPOVA_VERSION;
  EXPECT_EQ(r.out, "file " + version + ".0\nproduct " + version +
                       ".0\n"
                       "CompanyName=The Tempova developers\n"
                       "FileDescription=Tempova: times one command by three clocks at once\n"
                       "FileVersion=" +
                       version +
                       "\n"
                       "InternalName=tempova\n"
                       "LegalCopyright=Copyright (c) 2026 The Tempova developers. MIT License.\n"
                       "OriginalFilename=tempova.exe\n"
                       "ProductName=Tempova\n"
                       "ProductVersion=" +
                       version + "\n");
}

// Ctrl-C reaches every process on the console: the child ends by it, and the launcher, whose
// control routine leaves it to the child, still writes the whole report. Wine delivers a SIGINT
// sent to the process group of its processes to their console control handlers.
TEST(Wine, CtrlCEndsTheChildAndTheReportStillComes) {
  Start start;
  start.interrupt_when_ready = SIGINT;
  Result r = wine({kTempova, kProbe, "wait"}, start);
  EXPECT_EQ(r.out, "ready\n");
  EXPECT_THAT(r.err, StartsWith("ERRORLEVEL="));
  EXPECT_TRUE(is_report(r.err)) << r.err;
  EXPECT_LT(report_value(r.err, "time"), 30000u) << "the child was not interrupted";
}

}  // namespace
