// Emulates Windows' console: control by SetConsoleCtrlHandler, with Ctrl-C as SIGINT and
// Ctrl-Break as SIGQUIT; our end by the signal that ended the child (end_as_child_ended); and
// the report's writes to standard error (write_standard_error).
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr int kCtrlSignals[2] = {SIGINT, SIGQUIT};
constexpr DWORD kCtrlEvents[2] = {CTRL_C_EVENT, CTRL_BREAK_EVENT};
int ctrl_index(int sig) { return sig == SIGINT ? 0 : 1; }
bool is_ctrl_signal(int sig) { return sig == SIGINT || sig == SIGQUIT; }
PHANDLER_ROUTINE ctrl_routine = nullptr;
struct sigaction ctrl_saved[2];
bool ctrl_caught[2];

void on_ctrl_signal(int sig) {
  int saved_errno = errno;
  PHANDLER_ROUTINE routine = ctrl_routine;
  if (!routine || !routine(kCtrlEvents[ctrl_index(sig)])) {
    // Not handled: the default action, as Windows' own handler ends the process. The signal is
    // blocked while we are here, so it is delivered as we return.
    signal(sig, SIG_DFL);
    raise(sig);
  }
  errno = saved_errno;
}

// Whether `sig` was ignored or blocked when we started: we change its disposition only while a
// control routine is set, and our signal mask never.
bool started_ignoring(int sig) {
  struct sigaction action;
  if (ctrl_routine && ctrl_caught[ctrl_index(sig)]) {
    action = ctrl_saved[ctrl_index(sig)];
  } else if (sigaction(sig, nullptr, &action) != 0) {
    return true;
  }
  sigset_t blocked;
  return action.sa_handler == SIG_IGN || sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0 ||
         sigismember(&blocked, sig);
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (!routine || (!add && routine != ctrl_routine)) {
    SetLastError(EINVAL);
    return FALSE;
  }
  if (!add) {
    for (int i = 0; i < 2; ++i) {
      if (ctrl_caught[i]) sigaction(kCtrlSignals[i], &ctrl_saved[i], nullptr);
      ctrl_caught[i] = false;
    }
    ctrl_routine = nullptr;
    return TRUE;
  }
  if (ctrl_routine) {
    SetLastError(EBUSY);
    return FALSE;
  }
  struct sigaction catcher {};
  catcher.sa_handler = on_ctrl_signal;
  catcher.sa_flags = SA_RESTART;
  sigemptyset(&catcher.sa_mask);
  ctrl_routine = routine;
  for (int i = 0; i < 2; ++i) {
    // A signal ignored from the start stays ignored, for us and for the child.
    if (sigaction(kCtrlSignals[i], nullptr, &ctrl_saved[i]) != 0 ||
        ctrl_saved[i].sa_handler == SIG_IGN) {
      continue;
    }
    ctrl_caught[i] = sigaction(kCtrlSignals[i], &catcher, nullptr) == 0;
  }
  return TRUE;
}

void end_as_child_ended(const ProcessEnd& end) {
  if (!is_ctrl_signal(end.signal) || started_ignoring(end.signal)) return;
  std::fflush(nullptr);
  // No core file of ours: the child's end is what is being passed on.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  signal(end.signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, end.signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(end.signal);
}

BOOL write_standard_error(const char* text, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      SetLastError(written < 0 ? static_cast<DWORD>(errno) : EIO);
      return FALSE;
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  return TRUE;
}
