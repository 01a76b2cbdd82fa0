// Runs a program as a test subject: with a defined start-up state, its input given, its output
// and exit status collected, and never hanging the suite.
#ifndef TEMPOVA_TESTS_RUN_PROCESS_H_
#define TEMPOVA_TESTS_RUN_PROCESS_H_

#include <string>
#include <vector>

using Args = std::vector<std::string>;

// How the process under test is started. By default: signals at their defaults and none
// blocked (whatever the harness was given), only descriptors 0, 1 and 2, our CPU set.
struct Start {
  std::string input;
  std::vector<int> ignored;
  std::vector<int> blocked;
  int cpu = -1;                          // pin the process to this CPU before it starts
  int extra_fd = -1;                     // leave this descriptor open (on /dev/null) as well
  std::string directory;                 // start in this directory
  std::vector<std::string> environment;  // NAME=value pairs to add
  int interrupt_when_ready = 0;   // send this signal to its process group once "ready" is out,
  std::string interrupt_on_open;  // or, when this is set, once this file is first opened
  bool core_files = false;        // let it write core files (in its directory)
  bool stderr_writes = false;     // keep each write to standard error apart
  std::vector<int> closed;        // standard descriptors to start with closed (1, 2)
  unsigned long stack_bytes = 0;  // its stack limit, which bounds its argument list
};

struct Result {
  int status = -1;           // the exit status, or 128 + N for a death by signal N
  bool signaled = false;     // it died by a signal
  bool core_dumped = false;  // and left a core file
  std::string out, err;
  std::vector<std::string> err_writes;  // with stderr_writes: what each write carried
};

/// The status of a run whose program could not be executed at all.
constexpr int kExecFailed = 122;

/// Runs `args` (argv[0] a path) in a process group of its own and collects what it writes.
Result run_process(const Args& args, const Start& start = Start());

#endif  // TEMPOVA_TESTS_RUN_PROCESS_H_
