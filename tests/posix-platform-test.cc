// The Linux emulation of the platform operations, called directly.
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/command-line.h"
#include "platform/posix/emulation.h"

namespace {

const std::string kProbe = PROBE_PATH;

struct Child {
  BOOL started;
  DWORD error;
  PROCESS_INFORMATION info;
};

Child start(std::string command_line) {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  Child child{};
  SetLastError(0);
  child.started = CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &child.info);
  child.error = GetLastError();
  return child;
}

DWORD finish(const Child& child) {
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_TRUE(CloseHandle(child.info.hThread));
  EXPECT_TRUE(CloseHandle(child.info.hProcess));
  return code;
}

// A directory of our own with a few files to start.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tempova-posix-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + dir_).c_str()), 0); }
  std::string file(const std::string& name, const std::string& content, mode_t mode) {
    std::string path = dir_ + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    close(fd);
    chmod(path.c_str(), mode);
    return path;
  }
  std::string dir_;
};

TEST_F(ScratchDir, ProgramsThatCannotStartFailAtOnceWithTheirErrno) {
  std::string not_executable = file("plain", "#!/bin/sh\n", 0644);
  std::string bad_format = file("garbage", "\x7f\x01 not a program", 0755);
  struct Case {
    std::string line;
    DWORD error;
  };
  const Case cases[] = {
      {"/nonexistent/prog", ENOENT},
      {"no-such-program-tempova", ENOENT},
      {"\"" + not_executable + "\"", EACCES},
      {bad_format + " a b", ENOEXEC},
      {dir_, EACCES},
      {"", ENOENT},
      {"\"\" x", ENOENT},
      {std::string(5000, 'x'), ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    Child child = start(c.line);
    EXPECT_FALSE(child.started) << c.line;
    EXPECT_EQ(child.error, c.error) << c.line;
  }
}

TEST_F(ScratchDir, PathSearchSkipsWhatCannotRunAsExecvpDoes) {
  std::string first = dir_ + "/first", second = dir_ + "/second";
  mkdir(first.c_str(), 0755);
  mkdir(second.c_str(), 0755);
  file("first/tool", "#!/bin/sh\nexit 3\n", 0644);  // found first, but not executable
  file("second/tool", "#!/bin/sh\nexit 4\n", 0755);
  const char* saved = std::getenv("PATH");
  std::string saved_path = saved ? saved : "";

  setenv("PATH", (dir_ + "/missing:" + first + "::" + second).c_str(), 1);
  Child found = start("tool");
  ASSERT_TRUE(found.started);
  EXPECT_EQ(finish(found), 4u);

  setenv("PATH", (dir_ + "/missing:" + first).c_str(), 1);
  Child denied = start("tool");
  EXPECT_FALSE(denied.started);
  EXPECT_EQ(denied.error, DWORD{EACCES}) << "a permission problem outranks a missing entry";

  // An entry too long for a path is skipped, as execvp skips it.
  setenv("PATH", ("/" + std::string(PATH_MAX, 'p') + ":" + second).c_str(), 1);
  Child past_long = start("tool");
  ASSERT_TRUE(past_long.started);
  EXPECT_EQ(finish(past_long), 4u);

  setenv("PATH", saved_path.c_str(), 1);
}

TEST(PosixProcess, ExitCodesAndSignalDeaths) {
  struct Case {
    std::string args;
    DWORD code;
  };
  const Case cases[] = {
      {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"signal 15", 143}, {"signal 9", 137}};
  for (const Case& c : cases) {
    Child child = start("\"" + kProbe + "\" " + c.args);
    ASSERT_TRUE(child.started) << c.args;
    EXPECT_EQ(finish(child), c.code) << c.args;
  }
}

TEST(PosixProcess, StillActiveUntilItEnds) {
  Child child = start("\"" + kProbe + "\" sleep 300");
  ASSERT_TRUE(child.started);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, INFINITE), WAIT_OBJECT_0) << "waits again";
  EXPECT_EQ(finish(child), 0u);
}

TEST(PosixProcess, BadHandlesFailWithEbadf) {
  Child child = start("\"" + kProbe + "\" exit 0");
  ASSERT_TRUE(child.started);
  finish(child);
  DWORD code;
  int not_a_handle;
  for (HANDLE h : {child.info.hProcess, HANDLE(&not_a_handle), GetCurrentThread()}) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{EBADF});
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(GetLastError(), DWORD{EBADF});
    EXPECT_FALSE(CloseHandle(h)) << "closed already, or never ours";
  }
}

std::vector<DWORD> control_events;

BOOL WINAPI record_control_event(DWORD event) {
  control_events.push_back(event);
  return TRUE;
}

BOOL WINAPI other_routine(DWORD) { return TRUE; }

// Ctrl-C and Ctrl-Break reach the routine while it is set; a signal ignored when it was set
// stays ignored; removing it puts back what was there.
TEST(PosixControl, RoutineCatchesInterruptsAndIsRemovedCleanly) {
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_IGN);
  control_events.clear();
  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, TRUE));
  struct sigaction interrupt, quit;
  sigaction(SIGINT, nullptr, &interrupt);
  sigaction(SIGQUIT, nullptr, &quit);
  EXPECT_NE(interrupt.sa_handler, SIG_DFL);
  EXPECT_EQ(quit.sa_handler, SIG_IGN);
  raise(SIGINT);
  raise(SIGQUIT);
  EXPECT_EQ(control_events, std::vector<DWORD>{CTRL_C_EVENT});

  EXPECT_FALSE(SetConsoleCtrlHandler(other_routine, TRUE));
  EXPECT_EQ(GetLastError(), DWORD{EBUSY});
  EXPECT_FALSE(SetConsoleCtrlHandler(other_routine, FALSE));
  EXPECT_EQ(GetLastError(), DWORD{EINVAL});
  EXPECT_FALSE(SetConsoleCtrlHandler(nullptr, TRUE));
  EXPECT_EQ(GetLastError(), DWORD{EINVAL});

  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, FALSE));
  sigaction(SIGINT, nullptr, &interrupt);
  sigaction(SIGQUIT, nullptr, &quit);
  EXPECT_EQ(interrupt.sa_handler, SIG_DFL);
  EXPECT_EQ(quit.sa_handler, SIG_IGN);

  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_DFL);
  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, TRUE));
  raise(SIGQUIT);
  EXPECT_EQ(control_events, (std::vector<DWORD>{CTRL_C_EVENT, CTRL_BREAK_EVENT}));
  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, FALSE));
  sigaction(SIGINT, nullptr, &interrupt);
  EXPECT_EQ(interrupt.sa_handler, SIG_IGN);
  signal(SIGINT, SIG_DFL);
}

// A Ctrl-C that the routine takes before a child has started is the child's: it ends by it at
// once, as it would had it been running. Once a child has started, it is forgotten.
TEST(PosixControl, CtrlCTakenBeforeTheLaunchEndsTheChild) {
  signal(SIGINT, SIG_DFL);
  control_events.clear();
  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, TRUE));
  raise(SIGINT);
  EXPECT_EQ(control_events, std::vector<DWORD>{CTRL_C_EVENT});
  Child interrupted = start("\"" + kProbe + "\" exit 0");
  ASSERT_TRUE(interrupted.started);
  EXPECT_EQ(finish(interrupted), 128u + SIGINT);
  Child next = start("\"" + kProbe + "\" exit 0");
  ASSERT_TRUE(next.started);
  EXPECT_EQ(finish(next), 0u);
  ASSERT_TRUE(SetConsoleCtrlHandler(record_control_event, FALSE));
}

// Our two sources of the argument vector agree: the start-up code's, from which our command
// line is built, and /proc's, which is read where the start-up code does not hand it over.
TEST(PosixCommandLine, ProcGivesTheVectorTheStartUpCodeGave) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_TRUE(read_proc_arguments(&argc, &argv));
  ASSERT_GE(argc, 1);
  EXPECT_EQ(argv[argc], nullptr);
  std::vector<char> line(build_command_line(argc, argv, nullptr) + 1);
  build_command_line(argc, argv, line.data());
  EXPECT_STREQ(line.data(), GetCommandLineA());
  // The vector and its strings (one block, from the first string on) are the test's to free.
  std::free(argv[0]);
  std::free(argv);
}

TEST(PosixAffinity, PinStaysWithinTheCpusWeStartedWith) {
  cpu_set_t start_set;
  ASSERT_EQ(sched_getaffinity(0, sizeof start_set, &start_set), 0);
  if (!CPU_ISSET(0, &start_set) || !CPU_ISSET(1, &start_set)) GTEST_SKIP() << "needs CPUs 0, 1";
  DWORD_PTR start_mask = 0;
  for (int cpu = 0; cpu < 64; ++cpu) {
    if (CPU_ISSET(cpu, &start_set)) start_mask |= DWORD_PTR{1} << cpu;
  }

  DWORD_PTR process_mask = 0, system_mask = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
  EXPECT_EQ(process_mask, start_mask);
  EXPECT_EQ(system_mask & start_mask, start_mask);
  int other_process;
  EXPECT_FALSE(GetProcessAffinityMask(&other_process, &process_mask, &system_mask));
  EXPECT_EQ(GetLastError(), DWORD{EBADF});

  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 1), start_mask);
  cpu_set_t now;
  sched_getaffinity(0, sizeof now, &now);
  EXPECT_EQ(CPU_COUNT(&now), 1);
  EXPECT_TRUE(CPU_ISSET(0, &now));
  // Pinned to CPU 0, the thread may still move to any CPU the process started with.
  EXPECT_EQ(SetThreadAffinityMask(GetCurrentThread(), 2), DWORD_PTR{1});
  // The process's CPUs are still those it started with.
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
  EXPECT_EQ(process_mask, start_mask);

  struct Case {
    HANDLE thread;
    DWORD_PTR mask;
    DWORD error;
  };
  int other;
  const Case failures[] = {
      {GetCurrentThread(), 0, EINVAL},
      {GetCurrentThread(), ~start_mask, EINVAL},
      {GetCurrentThread(), start_mask | (DWORD_PTR{1} << 63), EINVAL},
      {&other, 1, EBADF},
  };
  for (const Case& c : failures) {
    SetLastError(0);
    EXPECT_EQ(SetThreadAffinityMask(c.thread, c.mask), DWORD_PTR{0}) << c.mask;
    EXPECT_EQ(GetLastError(), c.error) << c.mask;
  }
  sched_setaffinity(0, sizeof start_set, &start_set);
}

TEST(PosixTimer, PeriodsAreCounted) {
  struct Step {
    bool begin;
    UINT period;
    MMRESULT result;
  };
  const Step steps[] = {
      {false, 1, TIMERR_NOCANDO}, {true, 0, TIMERR_NOCANDO},  {true, 1, TIMERR_NOERROR},
      {true, 1, TIMERR_NOERROR},  {false, 2, TIMERR_NOCANDO}, {false, 1, TIMERR_NOERROR},
      {false, 1, TIMERR_NOERROR}, {false, 1, TIMERR_NOCANDO}, {false, 0, TIMERR_NOCANDO},
  };
  int i = 0;
  for (const Step& s : steps) {
    EXPECT_EQ(s.begin ? timeBeginPeriod(s.period) : timeEndPeriod(s.period), s.result)
        << "step " << i++;
  }
}

TEST(PosixClocks, CountElapsedTimeInTheirUnits) {
  LARGE_INTEGER frequency, before, after;
  ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 1000000000);
  DWORD ticks = GetTickCount(), timer = timeGetTime();
  ASSERT_TRUE(QueryPerformanceCounter(&before));
  usleep(50000);
  ASSERT_TRUE(QueryPerformanceCounter(&after));
  DWORD timer_after = timeGetTime(), ticks_after = GetTickCount();
  EXPECT_GE(after.QuadPart - before.QuadPart, 50000000);
  EXPECT_GE(timer_after - timer, 49u);
  EXPECT_GE(ticks_after - ticks, 30u) << "within a coarse tick of 50 ms";
  EXPECT_LT(timer_after - timer, 10000u);
  EXPECT_FALSE(QueryPerformanceCounter(nullptr));
  EXPECT_EQ(GetLastError(), DWORD{EINVAL});
}

TEST(PosixErrors, SystemTextIsStrerrorWithALineEnd) {
  char* text = nullptr;
  DWORD flags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
  DWORD length = FormatMessageA(flags, nullptr, ENOENT, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "No such file or directory\n");
  EXPECT_EQ(length, std::strlen(text));
  LocalFree(text);

  char small[8];
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ENOENT, 0, small, sizeof small, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), DWORD{ERANGE});
  char unknown[64];
  EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 123456, 0, unknown, sizeof unknown,
                           nullptr),
            0u);
  EXPECT_STREQ(unknown, "Unknown error 123456\n");
}

TEST(PosixErrors, LastErrorBelongsToTheThread) {
  SetLastError(5);
  std::thread([] { SetLastError(7); }).join();
  EXPECT_EQ(GetLastError(), 5u);
}

}  // namespace
