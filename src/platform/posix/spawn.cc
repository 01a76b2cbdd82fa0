// Starts a child for the process emulation: vfork, the child's own state put back, the program
// found on PATH as execvp finds it, and the exec's error brought back to the parent.
#include <errno.h>
#include <limits.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/emulation.h"

namespace {

[[noreturn]] void exec_in_child(const SpawnPlan* plan, volatile int* exec_error) {
  restore_start_cpus_in_child();
  if (plan->path) {
    execve(plan->path, plan->argv, environ);
    *exec_error = errno;
    _exit(127);
  }
  const char* name = plan->argv[0];
  std::size_t name_length = std::strlen(name);
  bool denied = false;
  int error = ENOENT;
  for (const char* dir = plan->search;; ++dir) {
    const char* end = std::strchr(dir, ':');
    if (!end) end = dir + std::strlen(dir);
    std::size_t dir_length = static_cast<std::size_t>(end - dir);
    if (dir_length + 1 + name_length + 1 > PATH_MAX) {
      // What the kernel would answer for a path that long.
      error = ENAMETOOLONG;
    } else {
      char* w = plan->candidate;
      // An empty PATH entry means the current directory.
      if (dir_length) {
        std::memcpy(w, dir, dir_length);
        w += dir_length;
        *w++ = '/';
      }
      std::memcpy(w, name, name_length + 1);
      execve(plan->candidate, plan->argv, environ);
      error = errno;
    }
    // As execvp: a permission problem is kept while later entries are tried; a missing entry
    // is skipped; anything else (a bad format among them) ends the search. Unlike execvp we do
    // not hand a file without #! to /bin/sh: Windows would not run it either.
    if (error == EACCES) {
      denied = true;
    } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV &&
               error != ETIMEDOUT) {
      break;
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

pid_t spawn(const SpawnPlan* plan) {
  volatile int exec_error = 0;
  // vfork: the child borrows our memory until it execs, so no copy of the address space is
  // made, and the child's exec error comes back to us through `exec_error` synchronously. The
  // child calls nothing but sched_setaffinity, execve, string functions and _exit.
  pid_t pid = vfork();  // NOLINT(clang-analyzer-security.insecureAPI.vfork)
  if (pid == 0) exec_in_child(plan, &exec_error);  // NOLINT(clang-analyzer-unix.Vfork)
  if (pid < 0) return -1;
  if (exec_error != 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = exec_error;
    return -1;
  }
  return pid;
}
