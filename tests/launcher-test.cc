// The launcher driven in-process against the scripted platform.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake-platform.h"
#include "tempova.h"

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

namespace {

// The timing block for the fake's default clocks.
const std::string kTimingBlock =
    "tq1=5000000 tq2=7512345 tq2-tq1=2512345\n"
    "frequency=10000000\n"
    "time=251.234500\n"
    "t1=1000 t2=1250 t2-t1=250\n"
    "ts1=2000 ts2=2251 ts2-ts1=251\n";

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_reset(); }
  void TearDown() override { fake_reset(); }
};

// ---------------------------------------------------------------------------------------------
// Entry and the child's command line.

struct ExtractCase {
  const char* what;
  const char* line;
  const char* name;   // what is left of our name token in the copy
  const char* child;  // the child's command line
};

const ExtractCase kExtractCases[] = {
    {"spaces after the name", "tempova    prog a", "tempova", "prog a"},
    {"spaces before the name", "   tempova prog", "tempova", "prog"},
    {"quoted name with spaces", "\"C:\\Program Files\\tempova.exe\"  prog x",
     "C:\\Program Files\\tempova.exe", "prog x"},
    {"quoted name followed directly by text", "\"tempova\"prog -x", "tempova", "prog -x"},
    {"child passed on as typed", "tempova prog \"a b\"\tc\\\\\"d\\ e  ", "tempova",
     "prog \"a b\"\tc\\\\\"d\\ e  "},
    {"a tab ends the name, as CreateProcess ends it", "tempova\tprog a", "tempova", "prog a"},
    {"blanks of both kinds after the name", "tempova \t \tprog\ta", "tempova", "prog\ta"},
    {"a tab inside a quoted name", "\"my\ttempova\"\tprog", "my\ttempova", "prog"},
    {"blanks before the name", " \t tempova prog", "tempova", "prog"},
    {"quote inside an unquoted name", "te\"mp ova\" prog", "te\"mp", "ova\" prog"},
    {"unterminated quoted name", "\"tempova prog", "tempova prog", ""},
    {"name only", "tempova", "tempova", ""},
    {"name and trailing blanks", "tempova \t ", "tempova", ""},
    {"empty line", "", "", ""},
    {"spaces only", "   ", "", ""},
    {"empty quoted name", "\"\" prog", "", "prog"},
};

TEST(ExtractChildCommandLine, FindsTheChildAndEndsOurName) {
  for (const ExtractCase& c : kExtractCases) {
    std::vector<char> copy(c.line, c.line + std::strlen(c.line) + 1);
    char* child = extract_child_command_line(copy.data());
    EXPECT_STREQ(child, c.child) << c.what;
    // The name token starts after any leading blanks and an opening quote.
    const char* name = copy.data() + std::strspn(copy.data(), " \t");
    if (*name == '"') ++name;
    EXPECT_STREQ(name, c.name) << c.what;
  }
}

TEST_F(LauncherTest, UsageLineWithoutACommand) {
  EXPECT_EQ(fake_run(1), 0);
  EXPECT_EQ(fake.out, "Tempova prog [args]\n");
  EXPECT_EQ(fake.err, "");
  EXPECT_TRUE(fake_calls().empty()) << "no clock, timer or child for the usage line";
}

// Our own options answer only when one is all there is: anything more is a command to run.
TEST_F(LauncherTest, VersionAndHelpWhenAloneElseACommand) {
  const std::string version = "tempova " TEMPOVA_VERSION "\n";
  struct Case {
    const char* line;
    bool answered;
    const char* starts;  // what standard output starts with
  };
  const Case cases[] = {
      {"tempova --version", true, "tempova "},
      {"tempova   --version \t", true, "tempova "},
      {"tempova --help", true, "Tempova prog [args]\n\n"},
      {"tempova --version x", false, ""},
      {"tempova --help --version", false, ""},
      {"tempova ./--help", false, ""},
      {"tempova \"--help\"", false, ""},
      {"tempova --helper", false, ""},
      {"tempova /?", false, ""},  // a path on Linux
  };
  for (const Case& c : cases) {
    fake_reset();
    fake.command_line = c.line;
    EXPECT_EQ(fake_run(2), 0) << c.line;
    EXPECT_EQ(fake.launch.called, !c.answered) << c.line;
    EXPECT_EQ(fake.out.compare(0, std::strlen(c.starts), c.starts), 0)
        << c.line << ": " << fake.out;
    if (c.answered) {
      EXPECT_EQ(fake.out.substr(fake.out.size() - version.size()), version) << c.line;
      EXPECT_EQ(fake.err, "") << c.line;
      EXPECT_TRUE(fake_calls() == std::vector<std::string>{"GetCommandLineA"}) << c.line;
    }
  }
}

TEST_F(LauncherTest, EmptyChildCommandLineIsStillLaunched) {
  fake.command_line = "tempova\t ";
  fake.create_ok = FALSE;
  fake.create_error = 2;
  EXPECT_EQ(fake_run(2), 255);
  EXPECT_TRUE(fake.launch.called);
  EXPECT_EQ(fake.launch.command_line, "");
}

// ---------------------------------------------------------------------------------------------
// The run: order, launch settings, report lines and exit status.

TEST_F(LauncherTest, RunsInOrderWithTheFixedLaunchSettings) {
  fake.command_line = "  \"my tempova\"   prog \"a b\" c  ";
  EXPECT_EQ(fake_run(3), 0);
  // Everything after the wait leaves in one write, at the end; the control routine stays until
  // the report is out.
  EXPECT_THAT(
      fake.trace,
      ElementsAre(
          "GetCommandLineA", "GetStartupInfoA", "GetCurrentProcess",
          "GetProcessAffinityMask(current)", "GetCurrentThread",
          "SetThreadAffinityMask(current, 1)", "timeBeginPeriod(1)", "prepare_child_launch",
          "SetConsoleCtrlHandler(routine, add)", "GetTickCount", "timeGetTime",
          "QueryPerformanceCounter", "CreateProcessA", "WaitForSingleObject(process, INFINITE)",
          "QueryPerformanceCounter", "timeGetTime", "GetTickCount", "GetExitCodeProcess(process)",
          "query_process_end(process)", "CloseHandle(thread)", "CloseHandle(process)",
          "QueryPerformanceFrequency", "timeEndPeriod(1)", "err: ERRORLEVEL=0\n" + kTimingBlock,
          "SetConsoleCtrlHandler(routine, remove)", "end_as_child_ended(0)"));
  EXPECT_EQ(fake.out, "");
  EXPECT_EQ(fake.err, "ERRORLEVEL=0\n" + kTimingBlock);

  const FakePlatform::Launch& launch = fake.launch;
  EXPECT_TRUE(launch.application_name_null);
  EXPECT_EQ(launch.command_line, "prog \"a b\" c  ") << "passed on as typed, trailing spaces too";
  EXPECT_FALSE(launch.command_line_is_raw) << "the launch gets our copy, not the system's string";
  for (const SECURITY_ATTRIBUTES& sa : {launch.process_attributes, launch.thread_attributes}) {
    EXPECT_EQ(sa.nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_EQ(sa.lpSecurityDescriptor, nullptr);
    EXPECT_EQ(sa.bInheritHandle, TRUE);
  }
  EXPECT_TRUE(launch.attributes_distinct);
  EXPECT_EQ(launch.inherit_handles, TRUE);
  EXPECT_EQ(launch.creation_flags, 0x04000020u);
  EXPECT_TRUE(launch.environment_null);
  EXPECT_TRUE(launch.directory_null);
  EXPECT_TRUE(launch.startup_info_is_ours);
}

struct RunCase {
  const char* what;
  std::function<void()> script;
  std::string err;
  DWORD status;
};

// The fake's system text ends in "\r\n", as Windows' texts do; our text stream adds the "\r".
const std::string kMissing = "The system cannot find the file specified.\n";

const RunCase kRunCases[] = {
    {"launch failure with the system's text",
     [] {
       fake.create_ok = FALSE;
       fake.create_error = 2;
     },
     "CreateProcess() failed 2 " + kMissing, 255},
    {"launch failure after a failed pin",
     [] {
       fake.affinity_result = 0;
       fake.affinity_error = 87;
       fake.create_ok = FALSE;
       fake.create_error = 2;
     },
     "SetThreadAffinityMask() failed (87)\nCreateProcess() failed 2 " + kMissing, 255},
    {"launch failure with no system text",
     [] {
       fake.create_ok = FALSE;
       fake.create_error = 0x80070002;
       fake.message_text = nullptr;
     },
     "CreateProcess() failed -2147024894 (no system text for this code)\n", 255},
    {"wait failed, child still running",
     [] {
       fake.wait_result = WAIT_FAILED;
       fake.wait_error = 6;
       fake.exit_code = STILL_ACTIVE;
     },
     "WAIT_FAILED 6\nERRORLEVEL=259 (STILL_ACTIVE)\n" + kTimingBlock, 259},
    {"wait abandoned", [] { fake.wait_result = WAIT_ABANDONED; },
     "WAIT_ABANDONED\nERRORLEVEL=0\n" + kTimingBlock, 0},
    {"exit code query failed",
     [] {
       fake.exit_code_ok = FALSE;
       fake.exit_code_error = 6;
       fake.exit_code = 0;
     },
     "GetExitCodeProcess() failed 6\n" + kTimingBlock, 255},
    {"child exited 259", [] { fake.exit_code = 259; },
     "ERRORLEVEL=259 (STILL_ACTIVE)\n" + kTimingBlock, 259},
    {"child exited 7", [] { fake.exit_code = 7; }, "ERRORLEVEL=7\n" + kTimingBlock, 7},
    {"launch failure with the system's own status",
     [] {
       fake.create_ok = FALSE;
       fake.create_error = 2;
       fake.launch_failure_status = 127;
     },
     "CreateProcess() failed 2 " + kMissing, 127},
    {"what the code means follows it",
     [] {
       fake.exit_code = 139;
       fake.process_end_text = "SIGSEGV, core dumped";
     },
     "ERRORLEVEL=139 (SIGSEGV, core dumped)\n" + kTimingBlock, 139},
    {"a code of 259 is STILL_ACTIVE whatever else is said",
     [] {
       fake.exit_code = 259;
       fake.process_end_text = "0x00000103";
     },
     "ERRORLEVEL=259 (STILL_ACTIVE)\n" + kTimingBlock, 259},
    {"top bit set", [] { fake.exit_code = 0x80000000; }, "ERRORLEVEL=2147483648\n" + kTimingBlock,
     0x80000000},
    {"all bits set", [] { fake.exit_code = 0xFFFFFFFF; }, "ERRORLEVEL=4294967295\n" + kTimingBlock,
     0xFFFFFFFF},
    {"command line unreadable",
     [] {
       fake.command_line = nullptr;
       fake.command_line_error = 2;
     },
     "GetCommandLineA() failed 2\n", 255},
    {"no memory for the command-line copy", [] { fake.fail_strdup = true; }, "strdup() failed 12\n",
     255},
    {"control routine not added",
     [] {
       fake.ctrl_handler_ok[0] = FALSE;
       fake.ctrl_handler_error = 8;
     },
     "SetConsoleCtrlHandler() failed (8)\nERRORLEVEL=0\n" + kTimingBlock, 0},
    {"control routine not removed",
     [] {
       fake.ctrl_handler_ok[1] = FALSE;
       fake.ctrl_handler_error = 87;
     },
     "ERRORLEVEL=0\n" + kTimingBlock + "SetConsoleCtrlHandler() failed (87)\n", 0},
    {"launch failure after the control routine was refused",
     [] {
       fake.ctrl_handler_ok[0] = FALSE;
       fake.ctrl_handler_error = 8;
       fake.create_ok = FALSE;
       fake.create_error = 2;
     },
     "SetConsoleCtrlHandler() failed (8)\nCreateProcess() failed 2 " + kMissing, 255},
};

TEST_F(LauncherTest, ReportLinesAndExitStatus) {
  for (const RunCase& c : kRunCases) {
    fake_reset();
    c.script();
    DWORD status = static_cast<DWORD>(fake_run(2));
    EXPECT_EQ(fake.err, c.err) << c.what;
    EXPECT_EQ(fake.out, "") << c.what;
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(fake.unreleased_messages, 0) << c.what << ": the system text is released";
  }
}

// Reports of runs sharing a pipe or a file must stay whole: what comes before the first clock
// reading leaves at once, before the child can write; everything after the launch in one write.
TEST_F(LauncherTest, EachPartOfTheReportLeavesInOneWrite) {
  for (const RunCase& c : kRunCases) {
    fake_reset();
    c.script();
    fake_run(2);
    const std::vector<std::string>& trace = fake.trace;
    auto launch = std::find(trace.begin(), trace.end(), "CreateProcessA");
    if (launch == trace.end()) continue;  // the command line could not be had
    auto first_reading = std::find(trace.begin(), launch, "GetTickCount");
    std::size_t before = 0, after = 0;
    for (auto entry = trace.begin(); entry != trace.end(); ++entry) {
      if (entry->compare(0, 5, "err: ") != 0) continue;
      ++(entry < launch ? before : after);
      if (entry < launch) {
        EXPECT_EQ(entry + 1, first_reading) << c.what;
      }
    }
    EXPECT_LE(before, 1u) << c.what;
    // A routine that could not be removed says so in a write of its own, after the report.
    EXPECT_EQ(after, fake.ctrl_handler_ok[1] ? 1u : 2u) << c.what;
    auto removal = std::find(launch, trace.end(), "SetConsoleCtrlHandler(routine, remove)");
    ASSERT_NE(removal, trace.end()) << c.what;
    EXPECT_EQ((removal - 1)->compare(0, 5, "err: "), 0) << c.what << ": removed after the report";
  }
}

// Ctrl-C and Ctrl-Break are the child's while it runs; closing the console, logging off and
// shutting down still end us as they would without the routine.
TEST_F(LauncherTest, ControlRoutineSwallowsOnlyInterrupts) {
  fake_run(2);
  ASSERT_NE(fake.ctrl_routine, nullptr);
  const std::pair<DWORD, BOOL> events[] = {
      {0, TRUE}, {1, TRUE}, {2, FALSE}, {5, FALSE}, {6, FALSE}};
  for (const auto& [event, handled] : events) {
    EXPECT_EQ(fake.ctrl_routine(event), handled) << "event " << event;
  }
}

TEST_F(LauncherTest, FailedLaunchEndsTheRunAtOnce) {
  fake.create_ok = FALSE;
  fake.create_error = 2;
  fake_run(2);
  std::vector<std::string> calls = fake_calls();
  auto launch = std::find(calls.begin(), calls.end(), "CreateProcessA");
  ASSERT_NE(launch, calls.end());
  // The error is read at once, then only its text is fetched and released, and once the line is
  // out the control routine removed, and the system's status for the failure asked: no wait, no
  // end readings, no release of the timer resolution.
  EXPECT_THAT(std::vector<std::string>(launch, calls.end()),
              ElementsAre("CreateProcessA", "GetLastError", "FormatMessageA(4864, null, 2, 1024)",
                          "LocalFree", "SetConsoleCtrlHandler(routine, remove)",
                          "launch_failure_exit_status(2)"));
  EXPECT_EQ(fake.trace.end()[-3], "err: CreateProcess() failed 2 " + kMissing) << "in one write";
}

// However long the system's text, it arrives whole, its line ends as the report's.
TEST_F(LauncherTest, SystemTextLongerThanAWholeReport) {
  for (std::size_t size : {8000, 8200, 20000}) {
    fake_reset();
    std::string text(size, 'x');
    text.replace(size / 2, 2, "\r\n");
    fake.message_text = (text += "\r\n").c_str();
    fake.create_ok = FALSE;
    fake.create_error = 2;
    EXPECT_EQ(fake_run(2), 255);
    std::string expected = "CreateProcess() failed 2 " + text;
    for (std::size_t at; (at = expected.find("\r\n")) != std::string::npos;) expected.erase(at, 1);
    EXPECT_TRUE(fake.err == expected) << size << ": " << fake.err.size() << " bytes";
  }
}

// How the child ended is passed on only once everything else is done: the report out and the
// control routine removed. Where its exit code could not be read, there is nothing to pass on.
TEST_F(LauncherTest, TheChildsEndIsPassedOnLast) {
  struct Case {
    const char* what;
    BOOL exit_code_ok;
    int signal;
  };
  const Case cases[] = {{"ended by signal 2", TRUE, 2}, {"exit code unreadable", FALSE, 0}};
  for (const Case& c : cases) {
    fake_reset();
    fake.exit_code_ok = c.exit_code_ok;
    fake.exit_code = 130;
    fake.process_end = {2, false};
    fake_run(2);
    EXPECT_EQ(fake.trace.back(), "end_as_child_ended(" + std::to_string(c.signal) + ")") << c.what;
    EXPECT_EQ(fake.trace.end()[-2], "SetConsoleCtrlHandler(routine, remove)") << c.what;
    EXPECT_EQ(fake.ended_as.signal, c.signal) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// The clocks and the timing report.

struct TimingCase {
  const char* what;
  std::function<void()> script;
  std::string err;
};

const TimingCase kTimingCases[] = {
    {"pin fails",
     [] {
       fake.affinity_result = 0;
       fake.affinity_error = 22;
     },
     "SetThreadAffinityMask() failed (22)\nERRORLEVEL=0\n" + kTimingBlock},
    {"timer period refused", [] { fake.begin_period_result = TIMERR_NOCANDO; },
     "timeBeginPeriod(1) failed (97)\nERRORLEVEL=0\n" + kTimingBlock},
    {"first counter read fails",
     [] {
       fake.counter_ok[0] = FALSE;
       fake.counter_errors[0] = 5;
     },
     "ERRORLEVEL=0\n"
     "QueryPerformanceCounter(tq1) failed (5)\n"
     "tq1=0 tq2=7512345 tq2-tq1=7512345\n"
     "frequency=10000000\n"
     "time=751.234500\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"second counter read fails",
     [] {
       fake.counter_ok[1] = FALSE;
       fake.counter_errors[1] = 998;
     },
     "ERRORLEVEL=0\n"
     "QueryPerformanceCounter(tq2) failed (998)\n"
     "tq1=5000000 tq2=0 tq2-tq1=18446744073704551616\n"
     "frequency=10000000\n"
     "time=-500.000000\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"both counter reads fail",
     [] {
       fake.counter_ok[0] = fake.counter_ok[1] = FALSE;
       fake.counter_errors[0] = 5;
       fake.counter_errors[1] = 6;
     },
     "ERRORLEVEL=0\n"
     "QueryPerformanceCounter(tq1) failed (5)\n"
     "QueryPerformanceCounter(tq2) failed (6)\n"
     "tq1=0 tq2=0 tq2-tq1=0\n"
     "frequency=10000000\n"
     "time=0.000000\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"frequency read fails",
     [] {
       fake.frequency_ok = FALSE;
       fake.frequency_error = 87;
     },
     "ERRORLEVEL=0\n"
     "tq1=5000000 tq2=7512345 tq2-tq1=2512345\n"
     "QueryPerformanceFrequency() failed (87)\n"
     "frequency=0\n"
     "time=inf\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"frequency read fails after the counter went backwards",
     [] {
       fake.frequency_ok = FALSE;
       fake.frequency_error = 87;
       fake.counters[1] = 4000000;
     },
     "ERRORLEVEL=0\n"
     "tq1=5000000 tq2=4000000 tq2-tq1=18446744073708551616\n"
     "QueryPerformanceFrequency() failed (87)\n"
     "frequency=0\n"
     "time=-inf\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"timer period release refused", [] { fake.end_period_result = TIMERR_NOCANDO; },
     "ERRORLEVEL=0\n"
     "tq1=5000000 tq2=7512345 tq2-tq1=2512345\n"
     "frequency=10000000\n"
     "time=251.234500\n"
     "timeEndPeriod(1) failed (97)\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
    {"tick count and multimedia timer wrap past 2^32",
     [] {
       fake.tick_counts[0] = 4294967040u;
       fake.tick_counts[1] = 100;
       fake.timer_times[0] = 4294967295u;
       fake.timer_times[1] = 250;
     },
     "ERRORLEVEL=0\n"
     "tq1=5000000 tq2=7512345 tq2-tq1=2512345\n"
     "frequency=10000000\n"
     "time=251.234500\n"
     "t1=4294967040 t2=100 t2-t1=356\n"
     "ts1=4294967295 ts2=250 ts2-ts1=251\n"},
    {"counter values above 2^63",
     [] {
       fake.counters[0] = static_cast<LONGLONG>(0xFFFFFFFFFFFFFF00ull);
       fake.counters[1] = 0x100;
       fake.frequency = 1000;
     },
     "ERRORLEVEL=0\n"
     "tq1=18446744073709551360 tq2=256 tq2-tq1=512\n"
     "frequency=1000\n"
     "time=512.000000\n"
     "t1=1000 t2=1250 t2-t1=250\n"
     "ts1=2000 ts2=2251 ts2-ts1=251\n"},
};

TEST_F(LauncherTest, TimingReportFaults) {
  for (const TimingCase& c : kTimingCases) {
    fake_reset();
    c.script();
    EXPECT_EQ(fake_run(2), 0) << c.what;
    EXPECT_EQ(fake.err, c.err) << c.what;
  }
}

TEST_F(LauncherTest, NoCountsAndNoFrequencyGiveANotANumberWithoutACrash) {
  fake.counter_ok[0] = fake.counter_ok[1] = FALSE;
  fake.frequency_ok = FALSE;
  EXPECT_EQ(fake_run(2), 0);
  EXPECT_THAT(fake.err, ::testing::HasSubstr("\nfrequency=0\n"));
  EXPECT_THAT(fake.err, ::testing::ContainsRegex("\ntime=-?nan\n"));
}

TEST_F(LauncherTest, ClocksNestAroundTheChildAndNothingElseRunsBetween) {
  fake.counter_ok[0] = fake.counter_ok[1] = FALSE;
  fake.counter_errors[0] = 5;
  fake.counter_errors[1] = 6;
  fake_run(2);
  const std::vector<std::string>& trace = fake.trace;
  auto first = std::find(trace.begin(), trace.end(), "GetTickCount");
  ASSERT_NE(first, trace.end());
  // Including the writes: nothing is written inside the window, and a failed counter read
  // costs only the capture of its code. The code of the first read is taken before the launch,
  // which changes the last error.
  EXPECT_THAT(std::vector<std::string>(first, first + 11),
              ElementsAre("GetTickCount", "timeGetTime", "QueryPerformanceCounter", "GetLastError",
                          "CreateProcessA", "WaitForSingleObject(process, INFINITE)",
                          "QueryPerformanceCounter", "GetLastError", "timeGetTime", "GetTickCount",
                          "GetExitCodeProcess(process)"));
  EXPECT_THAT(fake.err, MatchesRegex("ERRORLEVEL=0\nQueryPerformanceCounter\\(tq1\\) failed "
                                     "\\(5\\)\nQueryPerformanceCounter\\(tq2\\) failed \\(6\\)\n"
                                     "(.|\n)*"));
}

// Our thread runs on the first processor the process may use, which need not be CPU 0.
TEST_F(LauncherTest, PinsToTheFirstProcessorThatIsOurs) {
  struct Case {
    BOOL known;
    DWORD_PTR process_mask;
    const char* pin;
  };
  const Case cases[] = {
      {TRUE, 0x3, "SetThreadAffinityMask(current, 1)"},
      {TRUE, 0xC, "SetThreadAffinityMask(current, 4)"},
      {TRUE, DWORD_PTR{1} << 63, "SetThreadAffinityMask(current, 9223372036854775808)"},
      {FALSE, 0xC, "SetThreadAffinityMask(current, 1)"},  // unknown: the first of all
      {TRUE, 0, "SetThreadAffinityMask(current, 1)"},
  };
  for (const Case& c : cases) {
    fake_reset();
    fake.process_affinity_ok = c.known;
    fake.process_affinity = c.process_mask;
    EXPECT_EQ(fake_run(2), 0);
    std::vector<std::string> calls = fake_calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), c.pin), 1) << c.pin;
    EXPECT_EQ(fake.err, "ERRORLEVEL=0\n" + kTimingBlock) << "no line for a pin that worked";
  }
}

TEST_F(LauncherTest, TimerPeriodIsReleasedEvenWhenRefused) {
  fake.begin_period_result = TIMERR_NOCANDO;
  fake_run(2);
  std::vector<std::string> calls = fake_calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "timeEndPeriod(1)"), 1);
}

}  // namespace
