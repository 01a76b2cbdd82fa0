// The real binary, run as a user would run it, timing the probe child.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "report-check.h"
#include "run-process.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// The launcher under test: this build's, or the program TEMPOVA_E2E_SUBJECT names (another
// build of it, for another machine, behind a wrapper that runs it under emulation).
std::string subject() {
  const char* other = std::getenv("TEMPOVA_E2E_SUBJECT");
  return other && *other ? other : TEMPOVA_PATH;
}
const std::string kTempova = subject();
const std::string kProbe = PROBE_PATH;
// Another subject may run under qemu-user, which renumbers real-time signals and writes a line
// of its own when its program dies by a signal.
const bool kOtherSubject = kTempova != TEMPOVA_PATH;

Result run(const Args& args, const Start& start = Start()) {
  Result result = run_process(args, start);
  if (kOtherSubject) {
    std::size_t at;
    while ((at = result.err.find("qemu: uncaught target signal")) != std::string::npos) {
      result.err.erase(at, result.err.find('\n', at) + 1 - at);
    }
  }
  return result;
}

Result tempova(const Args& child, const Start& start = Start()) {
  Args args{kTempova};
  args.insert(args.end(), child.begin(), child.end());
  return run(args, start);
}

const char kReportPattern[] =
    "ERRORLEVEL=[0-9]+( \\([A-Z0-9, a-z]+\\))?\n"
    "tq1=[0-9]+ tq2=[0-9]+ tq2-tq1=[0-9]+\n"
    "frequency=1000000000\n"
    "time=-?[0-9]+\\.[0-9]{6}\n"
    "t1=[0-9]+ t2=[0-9]+ t2-t1=[0-9]+\n"
    "ts1=[0-9]+ ts2=[0-9]+ ts2-ts1=[0-9]+\n";

bool is_report(const std::string& text) {
  return std::regex_match(text, std::regex(kReportPattern));
}

std::string nul_joined(const Args& args) {
  std::string joined;
  for (const std::string& a : args) joined += a + '\0';
  return joined;
}

// A directory of the test run's own, removed at exit.
std::string scratch_dir() {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/tempova-e2e-XXXXXX";
    dir = mkdtemp(pattern);
    std::atexit([] {
      if (std::system(("rm -rf " + dir).c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    });
  }
  return dir;
}

std::string scratch_file(const char* name, const std::string& content, mode_t mode) {
  std::string path = scratch_dir() + "/" + name;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size())) abort();
  close(fd);
  chmod(path.c_str(), mode);
  return path;
}

TEST(EndToEnd, UsageLineWithoutACommand) {
  Result r = run({kTempova});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Tempova prog [args]\n");
  EXPECT_EQ(r.err, "");
}

TEST(EndToEnd, ArgumentsArriveUnchanged) {
  const std::vector<Args> cases = {
      {"plain", "two words", "tab\there", "", "\"quoted\"", "in\"side", "back\\slash", "trailing\\",
       "\\\\server\\share", "end \\\\\"", "  lead and trail  ", "\xc3\xa9t\xc3\xa9", "\xff\xfe\x80",
       "new\nline", "semi;colon $HOME *"},
      {""},
      {"", ""},
      {"\\\"", "\"\"", "\"", "\\"},
  };
  for (const Args& args : cases) {
    Args child{kProbe, "args"};
    child.insert(child.end(), args.begin(), args.end());
    Result r = tempova(child);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, nul_joined(args));
    EXPECT_TRUE(is_report(r.err)) << r.err;
  }
}

TEST(EndToEnd, ProgramFoundOnPathAndByPath) {
  Result by_path = tempova({"sh", "-c", "echo found"});
  EXPECT_EQ(by_path.status, 0);
  EXPECT_EQ(by_path.out, "found\n");
  std::string script = scratch_file("script", "#!/bin/sh\necho \"script $1\"\n", 0755);
  Result by_file = tempova({script, "a b"});
  EXPECT_EQ(by_file.status, 0);
  EXPECT_EQ(by_file.out, "script a b\n");
}

// Linux names may hold a double quote, which no Windows command line can write in a program
// token: the program named is still the one that runs, never a namesake without the quote.
TEST(EndToEnd, ProgramWhoseNameHoldsAQuoteRunsItself) {
  std::string dir = scratch_dir() + "/quoted";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink(kProbe.c_str(), (dir + "/q\"uote").c_str()), 0);
  std::string namesake = "#!/bin/sh\necho WRONG\n";
  ASSERT_EQ(symlink(scratch_file("namesake", namesake, 0755).c_str(), (dir + "/quote").c_str()), 0);
  Start on_path;
  on_path.environment = {"PATH=" + dir};
  Start in_dir;
  in_dir.directory = dir;
  const std::pair<std::string, Start> cases[] = {
      {dir + "/q\"uote", Start()}, {"./q\"uote", in_dir}, {"q\"uote", on_path}};
  for (const auto& [program, start] : cases) {
    Result r = tempova({program, "args", "x \"y\""}, start);
    EXPECT_EQ(r.out, nul_joined({"x \"y\""})) << program;
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_TRUE(is_report(r.err)) << program << ": " << r.err;
  }
}

// Our own name may hold blanks, which would end an unquoted name token: our line quotes it, so
// that nothing of our name becomes the child's.
TEST(EndToEnd, OurOwnNameMayHoldBlanks) {
  for (const char* name : {"my tempova", "tab\ttempova", "\t"}) {
    std::string link = scratch_dir() + "/" + name;
    ASSERT_EQ(symlink(kTempova.c_str(), link.c_str()), 0) << name;
    Result r = run({link, kProbe, "args", "a b", "\tc"});
    EXPECT_EQ(r.out, nul_joined({"a b", "\tc"})) << name;
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_TRUE(is_report(r.err)) << name << ": " << r.err;
  }
}

// Minimal chroots and some containers have no /proc: our arguments come from the start-up code.
TEST(EndToEnd, RunsWithoutProc) {
  if (std::system("unshare -m sh -c 'mount -t tmpfs none /proc' 2>/dev/null") != 0) {
    GTEST_SKIP() << "this kernel or sandbox lets us hide /proc in no mount namespace of our own";
  }
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' runtime reads its options and its leak check from /proc";
#endif
  Result r = run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                  "mount -t tmpfs none /proc && test ! -e /proc/self && exec \"$0\" \"$@\"",
                  kTempova, kProbe, "args", "a b", "c\\\"d"});
  EXPECT_EQ(r.out, nul_joined({"a b", "c\\\"d"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(is_report(r.err)) << r.err;
}

// The ERRORLEVEL line says how the child ended: a signal's name follows the number, which a
// child that exits with the same number does not get.
TEST(EndToEnd, ExitCodesAndSignalDeathsPassThrough) {
  struct Case {
    Args child;
    int status;
    std::string line;
  };
  const Case cases[] = {
      {{kProbe, "exit", "0"}, 0, "ERRORLEVEL=0"},
      {{kProbe, "exit", "7"}, 7, "ERRORLEVEL=7"},
      {{kProbe, "exit", "255"}, 255, "ERRORLEVEL=255"},
      {{kProbe, "exit", "139"}, 139, "ERRORLEVEL=139"},
      {{kProbe, "signal", "11"}, 139, "ERRORLEVEL=139 (SIGSEGV)"},
      {{kProbe, "signal", "15"}, 143, "ERRORLEVEL=143 (SIGTERM)"},
      {{kProbe, "signal", "9"}, 137, "ERRORLEVEL=137 (SIGKILL)"},
      {{kProbe, "signal", "13"}, 141, "ERRORLEVEL=141 (SIGPIPE)"},
      {{kProbe, "signal", "6"}, 134, "ERRORLEVEL=134 (SIGABRT)"},
      {{kProbe, "signal", std::to_string(SIGRTMIN + 2)},
       128 + SIGRTMIN + 2,
       "ERRORLEVEL=" + std::to_string(128 + SIGRTMIN + 2) + " (signal " +
           std::to_string(SIGRTMIN + 2) + ")"},
  };
  for (const Case& c : cases) {
    if (kOtherSubject && c.line.find("(signal ") != std::string::npos) continue;
    Result r = tempova(c.child);
    EXPECT_EQ(r.status, c.status) << c.line;
    EXPECT_THAT(r.err, StartsWith(c.line + "\n"));
    EXPECT_TRUE(is_report(r.err)) << r.err;
  }
}

// A child that dumps core says so, where this system writes core files at all.
TEST(EndToEnd, ACoreDumpIsSaid) {
  std::string dir = scratch_dir() + "/cores";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  Start start;
  start.core_files = true;
  start.directory = dir;
  Result direct = run({kProbe, "dump", "11"}, start);
  if (!direct.core_dumped) GTEST_SKIP() << "this system writes no core file for us here";
  Result r = tempova({kProbe, "dump", "11"}, start);
  EXPECT_EQ(r.status, 139);
  EXPECT_THAT(r.err, StartsWith("ERRORLEVEL=139 (SIGSEGV, core dumped)\n"));
  EXPECT_TRUE(is_report(r.err)) << r.err;
}

// A program that cannot start is a launch failure with its line, and the status that programs
// which run others give: 127 not found, 126 found but not runnable. So xargs goes on.
TEST(EndToEnd, ProgramsThatCannotStartGiveTheirLineAndStatus) {
  struct Case {
    std::string program;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"/nonexistent/prog", "CreateProcess() failed 2 No such file or directory\n", 127},
      {"no-such-program-tempova", "CreateProcess() failed 2 No such file or directory\n", 127},
      {scratch_file("not-executable", "#!/bin/sh\n", 0644),
       "CreateProcess() failed 13 Permission denied\n", 126},
      {scratch_file("bad-format", "\x01\x02 not a program\n", 0755),
       "CreateProcess() failed 8 Exec format error\n", 126},
      {"/tmp", "CreateProcess() failed 13 Permission denied\n", 126},
      {"", "CreateProcess() failed 2 No such file or directory\n", 127},
  };
  for (const Case& c : cases) {
    Result r = tempova({c.program, "arg"});
    EXPECT_EQ(r.status, c.status) << c.program;
    EXPECT_EQ(r.err, c.err) << c.program;
    EXPECT_EQ(r.out, "") << c.program;
  }
  Result xargs =
      run({"/bin/sh", "-c", "printf 'a\\nb\\nc\\n' | xargs -n1 \"$0\" no-such-program-tempova",
           kTempova});
  EXPECT_EQ(xargs.status, 123) << "xargs stopped at the first: " << xargs.err;
  EXPECT_EQ(xargs.err,
            "CreateProcess() failed 2 No such file or directory\n"
            "CreateProcess() failed 2 No such file or directory\n"
            "CreateProcess() failed 2 No such file or directory\n");
}

// Where vfork is emulated by a fork (valgrind, qemu-user), the child's memory is a copy: a
// program that cannot start must still be a launch failure with its line and status, never a
// child that exited 127; and one that starts is still a child.
TEST(EndToEnd, LaunchFailuresAreToldApartWhereVforkIsEmulated) {
  if (kOtherSubject) GTEST_SKIP() << "the subject already runs as it runs";
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "valgrind cannot run a sanitized program, and qemu-user runs one too slowly";
#endif
  // An ELF header for arm64: a program for another machine, which this one cannot run unless
  // it hands such programs to an emulator.
  std::string arm64(64, '\0');
  arm64.replace(0, 7,
                "\x7f"
                "ELF\x02\x01\x01");
  arm64[16] = 2;       // an executable
  arm64[18] = '\xb7';  // for aarch64
  const std::vector<std::string> programs = {
      "/nonexistent/prog", scratch_file("not-executable-either", "#!/bin/sh\n", 0644),
      scratch_file("bad-format-too", "\x01\x02 not a program\n", 0755),
      scratch_file("arm64-program", arm64, 0755)};
  struct Runner {
    const char* name;
    Args prefix;
  };
  const Runner runners[] = {{"valgrind", {"/usr/bin/valgrind", "-q", "--tool=none"}},
                            {"qemu-user", {"/usr/bin/qemu-x86_64"}}};
  int tried = 0;
  for (const Runner& runner : runners) {
    if (access(runner.prefix[0].c_str(), X_OK) != 0) {
      std::printf("%s is not installed: not tried under it\n", runner.name);
      continue;
    }
    ++tried;
    auto emulated = [&](const Args& child) {
      Args args = runner.prefix;
      args.push_back(kTempova);
      args.insert(args.end(), child.begin(), child.end());
      return run(args);
    };
    for (const std::string& program : programs) {
      Result native = tempova({program, "arg"});
      Result r = emulated({program, "arg"});
      EXPECT_EQ(r.err, native.err) << runner.name << ": " << program;
      EXPECT_EQ(r.status, native.status) << runner.name << ": " << program;
      EXPECT_THAT(r.err, StartsWith("CreateProcess() failed ")) << runner.name << ": " << program;
    }
    Result started = emulated({kProbe, "exit", "127"});
    EXPECT_EQ(started.status, 127) << runner.name;
    EXPECT_THAT(started.err, StartsWith("ERRORLEVEL=127\n")) << runner.name;
  }
  if (tried == 0) GTEST_SKIP() << "neither valgrind nor qemu-user is installed";
}

// Our own answers, and a program named like one of our options, run by its path.
TEST(EndToEnd, VersionHelpAndAProgramNamedLikeAnOption) {
  Result version = run({kTempova, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("tempova [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  Result help = run({kTempova, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, StartsWith("Tempova prog [args]\n\n"));
  EXPECT_THAT(help.out, ::testing::EndsWith(version.out));
  EXPECT_EQ(help.err, "");

  std::string dir = scratch_dir() + "/options";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(symlink(kProbe.c_str(), (dir + "/--help").c_str()), 0);
  Start in_dir;
  in_dir.directory = dir;
  Result program = tempova({"./--help", "args", "it ran"}, in_dir);
  EXPECT_EQ(program.out, nul_joined({"it ran"}));
  EXPECT_TRUE(is_report(program.err)) << program.err;
}

// Our thread runs on the first CPU we may use, which need not be CPU 0 (taskset, a container's
// CPU set); the child gets the whole set we were given, and no line says anything failed.
TEST(EndToEnd, PinnedToTheFirstCpuThatIsOursWhileTheChildKeepsOurSet) {
  cpu_set_t ours;
  ASSERT_EQ(sched_getaffinity(0, sizeof ours, &ours), 0);
  if (CPU_COUNT(&ours) < 2 || !CPU_ISSET(0, &ours) || !CPU_ISSET(1, &ours)) {
    GTEST_SKIP() << "needs CPUs 0 and 1, and this machine gives us " << CPU_COUNT(&ours);
  }
  std::string all = run({kProbe, "affinity"}).out;
  struct Case {
    int cpu;  // the one CPU we are started on, or -1 for all of ours
    std::string child_cpus, our_cpus;
  };
  const Case cases[] = {{-1, all, "0\n"}, {0, "0\n", "0\n"}, {1, "1\n", "1\n"}};
  for (const Case& c : cases) {
    Start start;
    start.cpu = c.cpu;
    Result child = tempova({kProbe, "affinity"}, start);
    EXPECT_EQ(child.out, c.child_cpus) << "started on CPU " << c.cpu;
    EXPECT_THAT(child.err, StartsWith("ERRORLEVEL=0\n")) << "started on CPU " << c.cpu;
    EXPECT_EQ(child.status, 0);
    EXPECT_EQ(tempova({kProbe, "parent-affinity"}, start).out, c.our_cpus)
        << "started on CPU " << c.cpu;
  }
}

// The child's start-up state must be what it would have been without us in between.
TEST(EndToEnd, ChildGetsOurStartUpSignalsAndDescriptors) {
  std::vector<Start> starts(6);
  starts[1].ignored = {SIGHUP};           // as under nohup
  starts[2].ignored = {SIGINT, SIGQUIT};  // as for a background job
  starts[2].blocked = {SIGUSR2, SIGTERM};
  starts[3].extra_fd = 7;
  starts[4].ignored = {SIGCHLD, SIGPIPE};  // as a daemon or a CI runner may leave them
  starts[5].blocked = {SIGCHLD, SIGPIPE, SIGINT};
  for (const char* mode : {"signals", "fds"}) {
    for (const Start& start : starts) {
      Result direct = run({kProbe, mode}, start);
      Result timed = tempova({kProbe, mode}, start);
      EXPECT_EQ(timed.out, direct.out) << mode;
      EXPECT_EQ(timed.status, 0);
    }
  }
  EXPECT_THAT(run({kProbe, "signals"}, starts[1]).out, StartsWith("1 I-\n2 D-\n3 D-\n"));
  EXPECT_EQ(run({kProbe, "fds"}, starts[3]).out, "0 1 2 7\n");
  // Started with defaults, the child never sees our ignoring of SIGINT and SIGQUIT.
  EXPECT_THAT(tempova({kProbe, "signals"}).out, HasSubstr("\n2 D-\n3 D-\n"));
}

// Whatever state the parent leaves, the answer is the child's: its exit code when SIGCHLD was
// left ignored (the kernel would reap the child itself), its status when standard error's reader
// has gone (a write would end us by SIGPIPE), its run when a PATH entry is too long for a path.
TEST(EndToEnd, TheParentsStateChangesNoAnswer) {
  struct Case {
    const char* what;
    Args args;
    Start start;
    int status;
    std::string err;  // how it starts
  };
  Start sigchld_ignored;
  sigchld_ignored.ignored = {SIGCHLD};
  std::string probe_dir = kProbe.substr(0, kProbe.rfind('/'));
  Start long_path_entry;
  long_path_entry.environment = {"PATH=/" + std::string(4200, 'p') + ":" + probe_dir};
  const std::string pipeline =
      "set -o pipefail; \"$0\" sh -c 'echo error: x >&2; sleep 0.3' 2>&1 | grep -q error";
  const Case cases[] = {
      {"SIGCHLD ignored", {kTempova, kProbe, "exit", "3"}, sigchld_ignored, 3, "ERRORLEVEL=3\n"},
      {"stderr's reader gone", {"/bin/bash", "-c", pipeline, kTempova}, Start(), 0, ""},
      {"a PATH entry longer than a path",
       {kTempova, "probe", "exit", "4"},
       long_path_entry,
       4,
       "ERRORLEVEL=4\n"},
  };
  for (const Case& c : cases) {
    Result r = run(c.args, c.start);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_THAT(r.err, StartsWith(c.err)) << c.what;
    if (!c.err.empty()) {
      EXPECT_TRUE(is_report(r.err)) << c.what << ": " << r.err;
    }
  }
}

// A Ctrl-C while the child is still being started (here it searches a PATH of thousands of
// entries, each a script whose interpreter is missing, some 450 ms on this kind of machine: a
// slow network directory does the same) is the command's: it never runs, and we end by SIGINT
// after the report, as without us. The Ctrl-C comes as the search opens its first script: by
// then we are catching Ctrl-C, and the command has not begun. Were our catching still in place
// in the child, the command would run to its end.
TEST(EndToEnd, CtrlCDuringASlowLaunchEndsTheCommand) {
  std::string dir = scratch_dir() + "/slow-launch";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);
  std::string script = scratch_file("slow-launch/d/sh", "#!/nonexistent/interpreter\n", 0755);
  std::string path;
  for (int i = 0; i < 12000; ++i) path += "d:";
  Start start;
  start.directory = dir;
  start.environment = {"PATH=" + path + "/bin:/usr/bin"};
  start.interrupt_when_ready = SIGINT;
  start.interrupt_on_open = script;
  Result r = tempova({"sh", "-c", "echo ran; sleep 10"}, start);
  EXPECT_EQ(r.out, "") << "the command ran";
  EXPECT_EQ(r.status, 130);
  EXPECT_TRUE(r.signaled);
  EXPECT_THAT(r.err, StartsWith("ERRORLEVEL=130 (SIGINT)\n"));
  EXPECT_TRUE(is_report(r.err)) << r.err;
}

TEST(EndToEnd, ChildSharesInputEnvironmentAndDirectory) {
  Start start;
  start.input = std::string("line one\nline two\0 and a NUL", 28);
  EXPECT_EQ(tempova({kProbe, "cat"}, start).out, start.input);

  Start env;
  env.environment = {"TEMPOVA_E2E=shared value"};
  EXPECT_EQ(tempova({kProbe, "env", "TEMPOVA_E2E"}, env).out, "shared value\n");

  Start dir;
  dir.directory = "/usr";
  EXPECT_EQ(tempova({kProbe, "cwd"}, dir).out, "/usr\n");
}

TEST(EndToEnd, ChildOutputComesBeforeTheReport) {
  Result r = tempova({kProbe, "stderr", "from the child"});
  EXPECT_THAT(r.err, StartsWith("from the child\nERRORLEVEL=0\n"));
  EXPECT_TRUE(is_report(r.err.substr(r.err.find('\n') + 1))) << r.err;
}

// Ctrl-C (SIGINT) or Ctrl-\\ (SIGQUIT) reaches the whole foreground group: the child ends, the
// report still comes, and then we end by the same signal, as a program that waits for a child
// must for its shell to stop too. No core file of ours.
TEST(EndToEnd, InterruptEndsTheChildAndTheReportStillComes) {
  for (int sig : {SIGINT, SIGQUIT}) {
    Start start;
    start.interrupt_when_ready = sig;
    start.core_files = true;
    start.directory = scratch_dir();
    Result r = tempova({kProbe, "wait"}, start);
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_TRUE(r.signaled) << sig;
    EXPECT_FALSE(r.core_dumped) << sig;
    EXPECT_EQ(r.out, "ready\n");
    EXPECT_THAT(r.err, StartsWith("ERRORLEVEL=" + std::to_string(128 + sig) +
                                  (sig == SIGINT ? " (SIGINT)\n" : " (SIGQUIT)\n")));
    EXPECT_TRUE(is_report(r.err)) << r.err;
  }
  EXPECT_NE(access((scratch_dir() + "/core").c_str(), F_OK), 0) << "a core file was left";
}

TEST(EndToEnd, ShellLoopStopsAtCtrlC) {
  // The first run waits for the interrupt; were the loop to go on, the next would just exit.
  const std::string loop = "for mode in wait exit exit; do \"$0\" \"$1\" $mode 0; done; echo after";
  for (const char* shell : {"/bin/sh", "/bin/bash"}) {
    if (access(shell, X_OK) != 0) continue;
    Start start;
    start.interrupt_when_ready = SIGINT;
    Result r = run({shell, "-c", loop, kTempova, kProbe}, start);
    EXPECT_EQ(r.out, "ready\n") << shell << ": the loop went on";
    EXPECT_EQ(r.status, 130) << shell;
    EXPECT_TRUE(is_report(r.err)) << shell << ": " << r.err;
  }
}

// Only SIGINT and SIGQUIT are passed on by our own end, and only where we were not started
// with them ignored or blocked (a background job, nohup): there the status says it all.
TEST(EndToEnd, ChildsInterruptIsPassedOnUnlessWeStartedIgnoringIt) {
  struct Case {
    const char* what;
    int child_signal;
    std::vector<int> ignored, blocked;
    bool signaled;
  };
  const Case cases[] = {
      {"SIGINT", SIGINT, {}, {}, true},
      {"SIGQUIT", SIGQUIT, {}, {}, true},
      {"SIGINT, started ignoring it", SIGINT, {SIGINT}, {}, false},
      {"SIGQUIT, started ignoring it", SIGQUIT, {SIGQUIT}, {}, false},
      {"SIGINT, started blocking it", SIGINT, {}, {SIGINT}, false},
      {"SIGTERM", SIGTERM, {}, {}, false},
      {"SIGHUP", SIGHUP, {}, {}, false},
  };
  for (const Case& c : cases) {
    Start start;
    start.ignored = c.ignored;
    start.blocked = c.blocked;
    Result r = tempova({kProbe, "signal", std::to_string(c.child_signal)}, start);
    EXPECT_EQ(r.status, 128 + c.child_signal) << c.what;
    EXPECT_EQ(r.signaled, c.signaled) << c.what;
    EXPECT_FALSE(r.core_dumped) << c.what;
    EXPECT_TRUE(is_report(r.err)) << c.what << ": " << r.err;
  }
}

// Reports of runs sharing a pipe or a file must stay whole: ours leaves in one write, after
// whatever the child wrote; a launch failure's line too.
TEST(EndToEnd, TheReportLeavesInOneWrite) {
  Start start;
  start.stderr_writes = true;
  Result plain = tempova({kProbe, "exit", "3"}, start);
  ASSERT_EQ(plain.err_writes.size(), 1u) << plain.err;
  EXPECT_TRUE(is_report(plain.err_writes[0])) << plain.err;

  Result chatty = tempova({kProbe, "stderr", "from the child"}, start);
  ASSERT_EQ(chatty.err_writes.size(), 2u) << chatty.err;
  EXPECT_EQ(chatty.err_writes[0], "from the child\n");
  EXPECT_TRUE(is_report(chatty.err_writes[1])) << chatty.err;

  Result failed = tempova({"/nonexistent/prog"}, start);
  EXPECT_EQ(failed.err_writes,
            std::vector<std::string>{"CreateProcess() failed 2 No such file or directory\n"});

  // Many runs at once into one pipe: every report arrives whole.
  Args args{"/bin/sh", "-c",
            "i=0; while [ $i -lt 100 ]; do \"$0\" \"$1\" exit 0 & i=$((i + 1)); done; wait",
            kTempova, kProbe};
  Result parallel = run(args);
  ASSERT_EQ(parallel.status, 0);
  // Six lines a report; a regular expression over the whole would recurse too deeply.
  std::size_t reports = 0, at = 0;
  while (at < parallel.err.size()) {
    std::size_t end = at;
    for (int line = 0; line < 6 && end != std::string::npos; ++line) {
      end = parallel.err.find('\n', end);
      if (end != std::string::npos) ++end;
    }
    if (end == std::string::npos) end = parallel.err.size();
    ASSERT_TRUE(is_report(parallel.err.substr(at, end - at)))
        << "report " << reports << " is cut:\n"
        << parallel.err.substr(at, end - at);
    ++reports;
    at = end;
  }
  EXPECT_EQ(reports, 100u);
}

// ---------------------------------------------------------------------------------------------
// Hostile conditions.

TEST(EndToEnd, ClosedStandardStreams) {
  struct Case {
    Args child;
    std::vector<int> closed;
    int status;
  };
  const Case cases[] = {
      {{kProbe, "exit", "3"}, {2}, 3},  // the report has nowhere to go; the status still does
      {{"/nonexistent/prog"}, {2}, 127}, {{}, {1}, 0},  // the usage line has nowhere to go
      {{kProbe, "args", "x"}, {1}, 0},   {{kProbe, "exit", "4"}, {1, 2}, 4},
  };
  for (const Case& c : cases) {
    Start start;
    start.closed = c.closed;
    Result r = tempova(c.child, start);
    EXPECT_EQ(r.status, c.status) << c.child.size() << " args, " << c.closed.size() << " closed";
    EXPECT_EQ(r.out, "");
    if (c.closed == std::vector<int>{1} && !c.child.empty()) {
      EXPECT_TRUE(is_report(r.err)) << r.err;
    }
  }
}

TEST(EndToEnd, HugeArgumentsAndEveryByteValuePassThrough) {
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte.push_back(static_cast<char>(c));
  Args args{every_byte, every_byte + " " + every_byte, "\\\"\\"};
  // More than a megabyte in all, each argument within the kernel's limit for one string.
  for (int i = 0; i < 9; ++i) {
    std::string big(120000, static_cast<char>('a' + i));
    big[i * 1000] = '"';
    big[i * 1000 + 1] = ' ';
    big.back() = '\\';
    args.push_back(big);
  }
  Args child{kProbe, "args"};
  child.insert(child.end(), args.begin(), args.end());
  Start start;
  start.stack_bytes = 64ul << 20;  // room for the list whatever limit the harness has
  Result r = tempova(child, start);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == nul_joined(args)) << "the arguments came back changed";
  EXPECT_TRUE(is_report(r.err)) << r.err;
}

// The child's argument list is ours less our own name; what can still make it too long for the
// system is the program's path, found on PATH, which the kernel counts in too. So: the longest
// argument that lets us start, and a child found in a directory with a long path.
TEST(EndToEnd, ArgumentListTooLongForTheSystemIsALaunchFailure) {
  std::string dir = scratch_dir();
  for (int level = 0; level < 14; ++level) {
    dir += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  }
  ASSERT_EQ(symlink(kProbe.c_str(), (dir + "/probe").c_str()), 0);
  Start start;
  start.environment = {"PATH=" + dir};
  start.stack_bytes = 256 << 10;  // the kernel's smallest argument limit: 128 KiB
  auto attempt = [&](std::size_t pad) {
    return tempova({"probe", "args", std::string(pad, 'x')}, start);
  };
  ASSERT_NE(attempt(0).status, kExecFailed);
  ASSERT_EQ(attempt(131071).status, kExecFailed);
  std::size_t fits = 0, too_long = 131071;
  while (too_long - fits > 1) {
    std::size_t middle = (fits + too_long) / 2;
    (attempt(middle).status == kExecFailed ? too_long : fits) = middle;
  }
  Result r = attempt(fits);
  EXPECT_EQ(r.err, "CreateProcess() failed 7 Argument list too long\n");
  EXPECT_EQ(r.status, 126);
  Result shorter = attempt(fits - 8000);
  EXPECT_EQ(shorter.status, 0) << shorter.err;
}

// ---------------------------------------------------------------------------------------------
// The timing block of a real run.

TEST(EndToEnd, TimingBlockOfARealSleep) {
  Result r = tempova({kProbe, "sleep", "200"});
  ASSERT_EQ(r.status, 0);
  ASSERT_TRUE(is_report(r.err)) << r.err;

  EXPECT_EQ(report_value(r.err, "frequency"), 1000000000u);
  double time = check_timing_arithmetic(r.err, "\n");
  EXPECT_GE(time, 200.0);
  EXPECT_LT(time, 60000.0);

  // The tick count and multimedia timer intervals enclose the counter's, so they are no
  // shorter than it but for each clock's granularity; from above they are only loosely bound.
  timespec tick;
  clock_getres(CLOCK_MONOTONIC_COARSE, &tick);
  double tick_ms = static_cast<double>(tick.tv_nsec) / 1e6;
  double ticks = static_cast<double>(report_value(r.err, "t2-t1"));
  double timer = static_cast<double>(report_value(r.err, "ts2-ts1"));
  EXPECT_GE(timer, std::floor(time) - 1.0);
  EXPECT_GE(ticks, time - tick_ms - 1.0);
  EXPECT_LT(timer, time + 5000.0);
  EXPECT_LT(ticks, time + 5000.0);
}

}  // namespace
