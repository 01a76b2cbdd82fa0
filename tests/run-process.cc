#include "run-process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

Result run_process(const Args& args, const Start& start) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) abort();
  // A packet socket keeps the bounds of each write to standard error.
  if (start.stderr_writes ? socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, err)
                          : pipe2(err, O_CLOEXEC)) {
    abort();
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // Watched before the start, so that no open of it is missed.
  int watch = -1;
  if (!start.interrupt_on_open.empty()) {
    watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, start.interrupt_on_open.c_str(), IN_OPEN) < 0) {
      abort();
    }
  }

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (start.extra_fd >= 0) {
      int fd = open("/dev/null", O_RDONLY);
      dup2(fd, start.extra_fd);
      close_range(3, start.extra_fd - 1, 0);
      close_range(start.extra_fd + 1, ~0U, 0);
    } else {
      close_range(3, ~0U, 0);
    }
    for (int fd : start.closed) close(fd);
    rlimit core;
    getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = start.core_files ? core.rlim_max : 0;
    setrlimit(RLIMIT_CORE, &core);
    if (start.stack_bytes) {
      rlimit stack;
      getrlimit(RLIMIT_STACK, &stack);
      stack.rlim_cur = start.stack_bytes;
      if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(123);
    }
    for (int sig = 1; sig < 32; ++sig) signal(sig, SIG_DFL);
    for (int sig : start.ignored) signal(sig, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : start.blocked) sigaddset(&mask, sig);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (start.cpu >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(start.cpu, &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(120);
    }
    if (!start.directory.empty() && chdir(start.directory.c_str()) != 0) _exit(121);
    for (const std::string& variable : start.environment) {
      putenv(const_cast<char*>(variable.c_str()));
    }
    execv(argv[0], argv.data());
    _exit(kExecFailed);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  Result result;
  signal(SIGPIPE, SIG_IGN);
  if (!start.input.empty() &&
      write(in[1], start.input.data(), start.input.size()) != ssize_t(start.input.size())) {
    ADD_FAILURE() << "could not write the input";
  }
  close(in[1]);
  bool interrupted = false;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  int status = 0;
  bool exited = false;
  // A hang must fail the test, not stall the suite.
  time_t deadline = time(nullptr) + 120;
  while (open_streams > 0) {
    if (time(nullptr) > deadline) {
      kill(-pid, SIGKILL);
      ADD_FAILURE() << "timed out";
      break;
    }
    // Once the subject has ended, what is still in the pipes is taken and we stop: something it
    // left running (a wineserver's helpers, say) may hold them open for much longer.
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    if (watch >= 0 && !interrupted) {
      pollfd opened{watch, POLLIN, 0};
      if (poll(&opened, 1, 0) == 1) {
        kill(-pid, start.interrupt_when_ready);
        interrupted = true;
      }
    }
    // While a watched file is not yet opened, the watch is looked at every millisecond.
    int wait_ms = exited ? 0 : watch >= 0 && !interrupted ? 1 : 50;
    int ready = poll(fds, 2, wait_ms);
    if (ready == 0 && exited) break;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, size_t(n));
        if (i == 1) result.err_writes.emplace_back(buffer, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
    if (start.interrupt_when_ready && watch < 0 && !interrupted &&
        result.out.find("ready\n") != std::string::npos) {
      // Ctrl-C (or Ctrl-\\) reaches the whole group: the launcher, its child and any shell.
      kill(-pid, start.interrupt_when_ready);
      interrupted = true;
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (watch >= 0) close(watch);
  while (!exited && waitpid(pid, &status, 0) < 0) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.signaled = WIFSIGNALED(status);
  result.core_dumped = WIFSIGNALED(status) && WCOREDUMP(status);
  return result;
}
