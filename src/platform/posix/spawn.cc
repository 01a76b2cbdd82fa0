// Starts a child for the process emulation: vfork, the child's own start-up state put back, the
// program found on PATH as execvp finds it, and the exec's error brought back to the parent.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

// Whether we started with SIGCHLD ignored and took its default for ourselves.
bool child_signal_was_ignored = false;

void set_disposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigaction(sig, &action, nullptr);
}

// Runs in the child, with every signal blocked: the state we started with, then the program.
[[noreturn]] void exec_in_child(const SpawnPlan* plan, const sigset_t* start_mask,
                                volatile int* exec_error) {
  restore_start_cpus_in_child();
  give_ctrl_signals_to_child();
  if (child_signal_was_ignored) set_disposition(SIGCHLD, SIG_IGN);
  sigprocmask(SIG_SETMASK, start_mask, nullptr);
  if (plan->path) {
    execve(plan->path, plan->argv, environ);
    *exec_error = errno;
    _exit(127);
  }
  const char* name = plan->argv[0];
  std::size_t name_length = std::strlen(name);
  // No directory can hold a file with so long a name.
  int error = name_length > NAME_MAX ? ENAMETOOLONG : ENOENT;
  bool denied = false;
  for (const char* dir = plan->search; error != ENAMETOOLONG; ++dir) {
    const char* end = std::strchr(dir, ':');
    if (!end) end = dir + std::strlen(dir);
    std::size_t dir_length = static_cast<std::size_t>(end - dir);
    // As execvp: an entry too long for a path is skipped.
    if (dir_length + 1 + name_length + 1 <= PATH_MAX) {
      char* w = plan->candidate;
      // An empty PATH entry means the current directory.
      if (dir_length) {
        std::memcpy(w, dir, dir_length);
        w += dir_length;
        *w++ = '/';
      }
      std::memcpy(w, name, name_length + 1);
      execve(plan->candidate, plan->argv, environ);
      int failure = errno;
      // As execvp: a permission problem is kept while later entries are tried; a missing entry
      // is skipped; anything else (a bad format among them) ends the search. Unlike execvp we
      // do not hand a file without #! to /bin/sh: Windows would not run it either.
      if (failure == EACCES) {
        denied = true;
      } else if (failure != ENOENT && failure != ENOTDIR && failure != ESTALE &&
                 failure != ENODEV && failure != ETIMEDOUT) {
        error = failure;
        break;
      }
    }
    if (*end == '\0') {
      if (denied) error = EACCES;
      break;
    }
    dir = end;
  }
  *exec_error = error;
  _exit(127);
}

}  // namespace

void prepare_child_launch() {
  struct sigaction action;
  if (!child_signal_was_ignored && sigaction(SIGCHLD, nullptr, &action) == 0 &&
      action.sa_handler == SIG_IGN) {
    set_disposition(SIGCHLD, SIG_DFL);
    child_signal_was_ignored = true;
  }
}

pid_t spawn(const SpawnPlan* plan) {
  volatile int exec_error = 0;
  // Until the child has put back the signal state we started with, no signal may run a handler
  // of ours in it: our Ctrl-C routine would take the child's Ctrl-C, in our memory.
  sigset_t all, start_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &start_mask);
  // vfork: the child borrows our memory until it execs, so no copy of the address space is
  // made, and the child's exec error comes back to us through `exec_error` synchronously. The
  // child calls nothing but system calls, string functions and _exit.
  pid_t pid = vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
  if (pid == 0) exec_in_child(plan, &start_mask, &exec_error);  // NOLINT(clang-analyzer-unix.Vfork)
  int vfork_error = errno;
  if (pid > 0) forget_missed_ctrl_signal();
  pthread_sigmask(SIG_SETMASK, &start_mask, nullptr);
  if (pid < 0) {
    errno = vfork_error;
    return -1;
  }
  if (exec_error != 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = exec_error;
    return -1;
  }
  return pid;
}
