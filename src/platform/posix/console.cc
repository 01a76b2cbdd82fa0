// Emulates Windows' console: control by SetConsoleCtrlHandler, with Ctrl-C as SIGINT and
// Ctrl-Break as SIGQUIT; our end by the signal that ended the child (end_as_child_ended); and
// the report's writes to standard error (write_standard_error).
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

constexpr int kCtrlSignals[2] = {SIGINT, SIGQUIT};
constexpr DWORD kCtrlEvents[2] = {CTRL_C_EVENT, CTRL_BREAK_EVENT};
int ctrl_index(int sig) { return sig == SIGINT ? 0 : 1; }
bool is_ctrl_signal(int sig) { return sig == SIGINT || sig == SIGQUIT; }
PHANDLER_ROUTINE ctrl_routine = nullptr;
struct sigaction ctrl_saved[2];
bool ctrl_caught[2];
// Whose catcher this is: a child between vfork and exec runs it too, in our memory.
pid_t ctrl_process = 0;
// A Ctrl-C (or Ctrl-\\) that the routine took before any child had started since it was set:
// the command has not seen it yet, and the child is given it.
volatile sig_atomic_t missed_ctrl_signal = 0;
volatile sig_atomic_t child_started = 0;

// The signal's default action, taken as the handler returns (the signal is blocked until then).
void take_default_action(int sig) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(sig, &default_action, nullptr);
  kill(getpid(), sig);
}

void on_ctrl_signal(int sig) {
  int saved_errno = errno;
  if (getpid() != ctrl_process) {
    // In a child not yet execed (still searching PATH, say): the Ctrl-C is the child's, and
    // ends it as it would end the command. Nothing of ours may run here.
    take_default_action(sig);
    errno = saved_errno;
    return;
  }
  PHANDLER_ROUTINE routine = ctrl_routine;
  if (!routine || !routine(kCtrlEvents[ctrl_index(sig)])) {
    // Not handled: the default action, as Windows' own handler ends the process.
    take_default_action(sig);
  } else if (!child_started) {
    missed_ctrl_signal = sig;
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
  ctrl_process = getpid();
  missed_ctrl_signal = 0;
  child_started = 0;
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

void give_missed_ctrl_signal_to_child() {
  // Our catcher, in the child, gives it the default action: the child ends by it.
  if (missed_ctrl_signal) kill(getpid(), missed_ctrl_signal);
}

void note_child_started() {
  child_started = 1;
  missed_ctrl_signal = 0;
}

BOOL write_standard_error(const char* text, std::size_t length) {
  // Were the reader gone, the write would fail with EPIPE and send us SIGPIPE, whose default
  // action would end us before we could exit with the child's status: the signal is held back,
  // and taken back if our write caused it. (One pending from before could only be one we were
  // started blocking; it would go with our exit all the same.) Our dispositions, which a child
  // inherits, stay.
  sigset_t pipe_signal, previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  BOOL written_all = TRUE;
  while (length > 0) {
    ssize_t written = write(STDERR_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      SetLastError(written < 0 ? static_cast<DWORD>(errno) : EIO);
      written_all = FALSE;
      break;
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  if (!written_all && GetLastError() == EPIPE) {
    timespec now{0, 0};
    while (sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return written_all;
}
