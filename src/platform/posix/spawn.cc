// Starts a child for the process emulation: vfork, the child's own start-up state put back, the
// program found on PATH as execvp finds it, and the exec's error brought back to the parent,
// also where vfork is emulated by a fork (valgrind, qemu-user).
#include <errno.h>
#include <fcntl.h>
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

// Where vfork is emulated by a fork (valgrind, qemu-user), the child's memory is a copy and what
// it writes there never reaches us: its exec error comes by this close-on-exec pipe instead,
// made before the clock readings. Read end, write end; -1 when there is none.
int exec_error_pipe[2] = {-1, -1};

void close_exec_error_pipe() {
  for (int& fd : exec_error_pipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// In the child: the exec error, where the parent can see it whether or not we share its memory.
[[noreturn]] void fail_in_child(int error, volatile int* exec_error) {
  *exec_error = error;
  if (exec_error_pipe[1] >= 0) {
    while (write(exec_error_pipe[1], &error, sizeof error) < 0 && errno == EINTR) {
    }
  }
  _exit(127);
}

// In the parent of a child whose memory was a copy: its exec error, or 0 once it has execed
// (the pipe's end in the child closes without a word). Unknown (0) without the pipe.
int exec_error_from_pipe() {
  int error = 0;
  if (exec_error_pipe[0] < 0) return 0;
  close(exec_error_pipe[1]);
  exec_error_pipe[1] = -1;
  ssize_t n;
  do {
    n = read(exec_error_pipe[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close_exec_error_pipe();
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

void set_disposition(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigaction(sig, &action, nullptr);
}

// Runs in the child: the state we started with, then the program. Our signal mask was never
// changed, and exec gives every signal we catch its default action back.
[[noreturn]] void exec_in_child(const SpawnPlan* plan, volatile bool* memory_shared,
                                volatile int* exec_error) {
  *memory_shared = true;
  restore_start_cpus_in_child();
  if (child_signal_was_ignored) set_disposition(SIGCHLD, SIG_IGN);
  give_missed_ctrl_signal_to_child();
  if (plan->path) {
    execve(plan->path, plan->argv, environ);
    fail_in_child(errno, exec_error);
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
  fail_in_child(error, exec_error);
}

}  // namespace

void prepare_child_launch() {
  struct sigaction action;
  if (!child_signal_was_ignored && sigaction(SIGCHLD, nullptr, &action) == 0 &&
      action.sa_handler == SIG_IGN) {
    set_disposition(SIGCHLD, SIG_DFL);
    child_signal_was_ignored = true;
  }
  // A fresh pipe for each launch: a child whose exec failed where vfork is real may have left
  // its word in the last one. Without one, only an emulated vfork loses the exec error.
  close_exec_error_pipe();
  if (pipe2(exec_error_pipe, O_CLOEXEC) != 0) exec_error_pipe[0] = exec_error_pipe[1] = -1;
}

pid_t spawn(const SpawnPlan* plan) {
  volatile int exec_error = 0;
  // Set by the child first: seen here only when the child ran in our memory, as a real vfork's
  // does; an emulated one's is a copy.
  volatile bool memory_shared = false;
  // vfork: the child borrows our memory until it execs, so no copy of the address space is
  // made, and the child's exec error comes back to us through `exec_error` synchronously. The
  // child calls nothing but system calls, string functions and _exit.
  pid_t pid = vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
  if (pid == 0) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): what the child calls is chosen for a vfork.
    exec_in_child(plan, &memory_shared, &exec_error);
  }
  if (pid < 0) return -1;
  note_child_started();
  if (!memory_shared) exec_error = exec_error_from_pipe();
  if (exec_error != 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = exec_error;
    return -1;
  }
  return pid;
}
