// The launcher's Windows operations, emulated on Linux.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/command-line.h"
#include "platform/posix/proc-arguments.h"

namespace {

thread_local DWORD last_error = 0;

// ---------------------------------------------------------------------------------------------
// Handles: a small fixed table, so that starting a child allocates nothing for them.

enum HandleKind { kFree = 0, kProcess, kThread };

struct HandleObject {
  HandleKind kind;
  pid_t pid;
  bool reaped;
  int wait_status;
};

HandleObject handles[8];
char current_thread_pseudo_handle;

HandleObject* open_handle(HandleKind kind, pid_t pid) {
  for (HandleObject& h : handles) {
    if (h.kind == kFree) {
      h = HandleObject{kind, pid, false, 0};
      return &h;
    }
  }
  return nullptr;
}

HandleObject* find_handle(const void* handle, HandleKind kind) {
  for (HandleObject& h : handles) {
    if (&h == handle && h.kind != kFree && (kind == kFree || h.kind == kind)) return &h;
  }
  return nullptr;
}

// A process handle's child, once reaped, stays reaped: its status is kept in the handle.
// Returns 1 when the child has ended, 0 while it runs, -1 on error (errno set).
int reap(HandleObject* process, bool block) {
  if (process->reaped) return 1;
  int status = 0;
  pid_t pid;
  do {
    pid = waitpid(process->pid, &status, block ? 0 : WNOHANG);
  } while (pid < 0 && errno == EINTR);
  if (pid < 0) return -1;
  if (pid == 0) return 0;
  process->reaped = true;
  process->wait_status = status;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// CPU affinity: the CPU set we started with, taken before our first pin, so that the pin stays
// ours and children get what we were given.

cpu_set_t start_cpus;
bool start_cpus_known = false;
bool thread_pinned = false;

// ---------------------------------------------------------------------------------------------
// Timer periods asked for and not yet released.

struct PeriodCount {
  UINT period;
  unsigned count;
};
PeriodCount periods[16];

// ---------------------------------------------------------------------------------------------
// Starting a child.

// What the vfork child needs, all prepared by the parent: the child may not allocate.
struct SpawnPlan {
  const char* path;    // a path to exec as it is, or null to search PATH for argv[0]
  const char* search;  // the PATH list to search
  char* candidate;     // PATH_MAX bytes of room for one directory, a slash and the name
  char* const* argv;
  bool restore_cpus;
};

[[noreturn]] void exec_in_child(const SpawnPlan* plan, volatile int* exec_error) {
  if (plan->restore_cpus) sched_setaffinity(0, sizeof start_cpus, &start_cpus);
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

// Returns the child's pid, or -1 with the error of the failed exec (or of vfork) in errno.
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

// ---------------------------------------------------------------------------------------------
// Our own argument vector and the command line built from it.

// The C library's start-up code hands argc, argv and envp to the functions of .init_array
// before main: argv is then the vector the kernel put on our stack. A child started from our
// own line is given those very strings, so that nothing is split or copied for it. The array of
// pointers is taken as it is now, before main (or a test framework, or getopt) can rearrange it.
int startup_argc = 0;
char** startup_argv = nullptr;

#ifdef __GLIBC__
void take_startup_arguments(int argc, char** argv, char**) {
  if (argc < 0 || !argv) return;
  std::size_t size = (static_cast<std::size_t>(argc) + 1) * sizeof(char*);
  startup_argv = static_cast<char**>(std::malloc(size));
  if (!startup_argv) return;  // then /proc will do
  std::memcpy(startup_argv, argv, size);
  startup_argc = argc;
}
using StartupHook = void (*)(int, char**, char**);
__attribute__((section(".init_array"), used)) StartupHook take_startup_arguments_entry =
    take_startup_arguments;
#endif

OwnCommandLine own_command_line;

}  // namespace

bool read_proc_arguments(int* argc, char*** argv) {
  int fd;
  do {
    fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    last_error = static_cast<DWORD>(errno);
    return false;
  }
  std::size_t size = 0;
  std::size_t capacity = 4096;
  char* raw = nullptr;
  for (;;) {
    if (size == capacity || !raw) {
      if (raw) capacity *= 2;
      char* bigger = static_cast<char*>(std::realloc(raw, capacity + 1));
      if (!bigger) {
        std::free(raw);
        close(fd);
        last_error = ENOMEM;
        return false;
      }
      raw = bigger;
    }
    ssize_t n = read(fd, raw + size, capacity - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      last_error = static_cast<DWORD>(errno);
      std::free(raw);
      close(fd);
      return false;
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  close(fd);
  if (size == 0 || raw[size - 1] != '\0') raw[size++] = '\0';

  std::size_t count = 0;
  for (std::size_t i = 0; i < size; ++i) count += raw[i] == '\0';
  char** vector = static_cast<char**>(std::malloc((count + 1) * sizeof(char*)));
  if (!vector) {
    std::free(raw);
    last_error = ENOMEM;
    return false;
  }
  char* p = raw;
  for (std::size_t i = 0; i < count; ++i, p += std::strlen(p) + 1) vector[i] = p;
  vector[count] = nullptr;
  *argc = static_cast<int>(count);
  *argv = vector;
  return true;
}

// ---------------------------------------------------------------------------------------------

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD code) { last_error = code; }

LPSTR GetCommandLineA() {
  if (own_command_line.line) return own_command_line.line;
  int argc = startup_argc;
  char** argv = startup_argv;
  if (!argv && !read_proc_arguments(&argc, &argv)) return nullptr;
  // The line is written once, into a block sized for the worst case; only what it takes of the
  // block is ever touched, and the rest goes back at once.
  CommandLineBounds bounds = own_command_line_bounds(argc, argv);
  char* block = static_cast<char*>(std::malloc(bounds.most));
  if (!block) {
    last_error = ENOMEM;
    return nullptr;
  }
  // A long line's pages are put in place in one call, not faulted in one by one as it is
  // written: on a virtual machine a fault costs microseconds. Where the kernel has no such
  // call, the pages are faulted in as before.
  constexpr std::uintptr_t kPage = 4096;
  auto page_offset = [](const char* p) { return reinterpret_cast<std::uintptr_t>(p) % kPage; };
  char* from = block + (kPage - page_offset(block)) % kPage;
  char* to = block + bounds.least - page_offset(block + bounds.least);
  if (to >= from + 16 * kPage) {
    madvise(from, static_cast<std::size_t>(to - from), MADV_POPULATE_WRITE);
  }
  build_own_command_line(argc, argv, block, &own_command_line);
  if (char* fitted = static_cast<char*>(std::realloc(block, own_command_line.length + 1))) {
    own_command_line.line = fitted;
  }
  return own_command_line.line;
}

void GetStartupInfoA(LPSTARTUPINFOA info) {
  *info = STARTUPINFOA{};
  info->cb = sizeof *info;
}

HANDLE GetCurrentThread() { return &current_thread_pseudo_handle; }

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  if (thread != &current_thread_pseudo_handle) {
    last_error = EBADF;
    return 0;
  }
  if (!start_cpus_known) {
    if (sched_getaffinity(0, sizeof start_cpus, &start_cpus) != 0) {
      last_error = static_cast<DWORD>(errno);
      return 0;
    }
    start_cpus_known = true;
  }
  // As on Windows, a thread may only be pinned within its process's CPUs; Linux alone would
  // let it move outside them.
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  constexpr int kMaskBits = static_cast<int>(sizeof(DWORD_PTR) * 8);
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if (!(mask >> cpu & 1)) continue;
    if (!CPU_ISSET(cpu, &start_cpus)) {
      last_error = EINVAL;
      return 0;
    }
    CPU_SET(cpu, &wanted);
  }
  cpu_set_t previous;
  if (mask == 0 || sched_getaffinity(0, sizeof previous, &previous) != 0) {
    last_error = mask == 0 ? EINVAL : static_cast<DWORD>(errno);
    return 0;
  }
  if (sched_setaffinity(0, sizeof wanted, &wanted) != 0) {
    last_error = static_cast<DWORD>(errno);
    return 0;
  }
  thread_pinned = true;
  DWORD_PTR previous_mask = 0;
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET(cpu, &previous)) previous_mask |= DWORD_PTR{1} << cpu;
  }
  return previous_mask;
}

MMRESULT timeBeginPeriod(UINT period) {
  if (period == 0) return TIMERR_NOCANDO;
  PeriodCount* free_slot = nullptr;
  for (PeriodCount& slot : periods) {
    if (slot.count && slot.period == period) {
      ++slot.count;
      return TIMERR_NOERROR;
    }
    if (!slot.count && !free_slot) free_slot = &slot;
  }
  if (!free_slot) return TIMERR_NOCANDO;
  *free_slot = PeriodCount{period, 1};
  return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period) {
  for (PeriodCount& slot : periods) {
    if (slot.count && slot.period == period) {
      --slot.count;
      return TIMERR_NOERROR;
    }
  }
  return TIMERR_NOCANDO;
}

namespace {

std::uint64_t read_clock(clockid_t clock, std::uint64_t units_per_second) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * units_per_second +
         static_cast<std::uint64_t>(now.tv_nsec) / (1000000000 / units_per_second);
}

}  // namespace

DWORD timeGetTime() { return static_cast<DWORD>(read_clock(CLOCK_MONOTONIC, 1000)); }

DWORD GetTickCount() { return static_cast<DWORD>(read_clock(CLOCK_MONOTONIC_COARSE, 1000)); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  timespec now;
  if (!count || clock_gettime(CLOCK_MONOTONIC_RAW, &now) != 0) {
    last_error = count ? static_cast<DWORD>(errno) : EINVAL;
    return FALSE;
  }
  count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) {
    last_error = EINVAL;
    return FALSE;
  }
  frequency->QuadPart = 1000000000;
  return TRUE;
}

namespace {

// Starts argv[0] (by path, or found on PATH) with `argv`, and fills the handles.
BOOL start_child(const char* path, char* const* argv, LPPROCESS_INFORMATION process_information) {
  const char* search = std::getenv("PATH");
  if (!search) search = "/bin:/usr/bin";
  char candidate[PATH_MAX];
  SpawnPlan plan{path, search, candidate, argv, thread_pinned};
  if (!path && std::strchr(argv[0], '/')) plan.path = argv[0];

  HandleObject* process = open_handle(kProcess, 0);
  HandleObject* thread = process ? open_handle(kThread, 0) : nullptr;
  pid_t pid = -1;
  int error = EMFILE;  // out of handles: the launcher never holds more than two
  if (thread) {
    if (!plan.path && argv[0][0] == '\0') {
      errno = ENOENT;
    } else {
      pid = spawn(&plan);
    }
    error = errno;
  }
  if (pid < 0) {
    if (process) process->kind = kFree;
    if (thread) thread->kind = kFree;
    last_error = static_cast<DWORD>(error);
    return FALSE;
  }
  process->pid = pid;
  thread->pid = pid;
  *process_information =
      PROCESS_INFORMATION{process, thread, static_cast<DWORD>(pid), static_cast<DWORD>(pid)};
  return TRUE;
}

// A line that is not our own, split by the C runtime's rules into one block for the argument
// vector and its strings: an ordinary line fits on the stack, only a long one is allocated.
BOOL split_and_start(const char* path, const char* line,
                     LPPROCESS_INFORMATION process_information) {
  std::size_t line_length = std::strlen(line);
  std::size_t argv_bytes = split_argv_capacity(line_length) * sizeof(char*);
  std::size_t block_size = argv_bytes + line_length + 1;
  alignas(char*) char stack_block[4096];
  char* block =
      block_size <= sizeof stack_block ? stack_block : static_cast<char*>(std::malloc(block_size));
  if (!block) {
    last_error = ENOMEM;
    return FALSE;
  }
  char** argv = reinterpret_cast<char**>(block);
  split_command_line(line, block + argv_bytes, argv);
  BOOL started = start_child(path, argv, process_information);
  if (block != stack_block) std::free(block);
  return started;
}

}  // namespace

// Windows' signature: the command line is writable there.
BOOL CreateProcessA(LPCSTR application_name,
                    LPSTR command_line,  // NOLINT(readability-non-const-parameter)
                    LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION process_information) {
  if (environment || current_directory || !process_information ||
      (!command_line && !application_name)) {
    last_error = EINVAL;
    return FALSE;
  }
  // Our own line, from the program token on, is started from the very vector it was built
  // from: nothing is split, copied or allocated, and the program is the file the user named,
  // whatever bytes its name holds.
  char* const* own_argv =
      application_name ? nullptr : recognise_own_child_line(own_command_line, command_line);
  if (own_argv) return start_child(nullptr, own_argv, process_information);
  return split_and_start(application_name, command_line ? command_line : application_name,
                         process_information);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Console control: Ctrl-C is SIGINT, Ctrl-Break is SIGQUIT.

constexpr int kCtrlSignals[2] = {SIGINT, SIGQUIT};
constexpr DWORD kCtrlEvents[2] = {CTRL_C_EVENT, CTRL_BREAK_EVENT};
int ctrl_index(int sig) { return sig == SIGINT ? 0 : 1; }
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

// The signal that killed a child, to end by at exit in its stead.
int exit_signal = 0;

#ifdef __GLIBC__
void end_by_exit_signal(int status, void*) {
  if (status != 128 + exit_signal) return;
  std::fflush(nullptr);
  // No core file of ours: the child's end is what is being passed on.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  signal(exit_signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, exit_signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(exit_signal);
}
#endif

void end_by_signal_at_exit(int sig) {
#ifdef __GLIBC__
  if (exit_signal || started_ignoring(sig)) return;
  exit_signal = sig;
  on_exit(end_by_exit_signal, nullptr);
#else
  (void)sig;
#endif
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (!routine || (!add && routine != ctrl_routine)) {
    last_error = EINVAL;
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
    last_error = EBUSY;
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

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleObject* process = find_handle(handle, kProcess);
  if (!process) {
    last_error = EBADF;
    return WAIT_FAILED;
  }
  int ended;
  if (milliseconds == INFINITE) {
    ended = reap(process, true);
  } else {
    timespec pause{0, 1000000};
    ended = reap(process, false);
    for (DWORD waited = 0; ended == 0 && waited < milliseconds; ++waited) {
      nanosleep(&pause, nullptr);
      ended = reap(process, false);
    }
  }
  if (ended < 0) {
    last_error = static_cast<DWORD>(errno);
    return WAIT_FAILED;
  }
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
  HandleObject* process = find_handle(handle, kProcess);
  if (!process || !exit_code) {
    last_error = process ? EINVAL : EBADF;
    return FALSE;
  }
  int ended = reap(process, false);
  if (ended < 0) {
    last_error = static_cast<DWORD>(errno);
    return FALSE;
  }
  int status = process->wait_status;
  if (!ended) {
    *exit_code = STILL_ACTIVE;
  } else if (WIFSIGNALED(status)) {
    *exit_code = 128 + static_cast<DWORD>(WTERMSIG(status));
    if (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT) {
      end_by_signal_at_exit(WTERMSIG(status));
    }
  } else {
    *exit_code = static_cast<DWORD>(WEXITSTATUS(status));
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  HandleObject* object = find_handle(handle, kFree);
  if (!object) {
    last_error = EBADF;
    return FALSE;
  }
  object->kind = kFree;
  return TRUE;
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size,
                     va_list*) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) {
    last_error = EINVAL;
    return 0;
  }
  const char* text = std::strerror(static_cast<int>(message_id));
  std::size_t length = std::strlen(text) + 1;  // and the line end
  char* out = buffer;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    out = static_cast<char*>(std::malloc(length + 1));
    if (!out) {
      last_error = ENOMEM;
      return 0;
    }
    *reinterpret_cast<char**>(buffer) = out;
  } else if (size < length + 1) {
    last_error = ERANGE;
    return 0;
  }
  std::memcpy(out, text, length - 1);
  out[length - 1] = '\n';
  out[length] = '\0';
  return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
