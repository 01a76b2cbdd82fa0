// Emulates Windows' processes and their handles: GetStartupInfoA, CreateProcessA,
// WaitForSingleObject, GetExitCodeProcess and CloseHandle; with how a process ended beyond its
// exit code, and our status when it could not start.
#include <errno.h>
#include <limits.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

// Handles: a small fixed table, so that starting a child allocates nothing for them.

enum HandleKind { kFree = 0, kProcess, kThread };

struct HandleObject {
  HandleKind kind;
  pid_t pid;
  bool reaped;
  int wait_status;
};

HandleObject handles[8];

HandleObject* open_handle(HandleKind kind, pid_t pid) {
  for (HandleObject& h : handles) {
    if (h.kind == kFree) {
      h = HandleObject{kind, pid, false, 0};
      return &h;
    }
  }
  return nullptr;
}

// The open handle that `handle` is, whatever its kind; null for one closed or never ours.
HandleObject* find_open_handle(const void* handle) {
  for (HandleObject& h : handles) {
    if (&h == handle && h.kind != kFree) return &h;
  }
  return nullptr;
}

HandleObject* find_handle(const void* handle, HandleKind kind) {
  HandleObject* h = find_open_handle(handle);
  return h && h->kind == kind ? h : nullptr;
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

// Starts argv[0] (by path, or found on PATH) with `argv`, and fills the handles.
BOOL start_child(const char* path, char* const* argv, LPPROCESS_INFORMATION process_information) {
  const char* search = std::getenv("PATH");
  if (!search) search = "/bin:/usr/bin";
  char candidate[PATH_MAX];
  SpawnPlan plan{path, search, candidate, argv};
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
    SetLastError(static_cast<DWORD>(error));
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
    SetLastError(ENOMEM);
    return FALSE;
  }
  char** argv = reinterpret_cast<char**>(block);
  split_command_line(line, block + argv_bytes, argv);
  BOOL started = start_child(path, argv, process_information);
  if (block != stack_block) std::free(block);
  return started;
}

}  // namespace

void GetStartupInfoA(LPSTARTUPINFOA info) {
  *info = STARTUPINFOA{};
  info->cb = sizeof *info;
}

// Windows' signature: the command line is writable there.
BOOL CreateProcessA(LPCSTR application_name,
                    LPSTR command_line,  // NOLINT(readability-non-const-parameter)
                    LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID environment,
                    LPCSTR current_directory, LPSTARTUPINFOA,
                    LPPROCESS_INFORMATION process_information) {
  if (environment || current_directory || !process_information ||
      (!command_line && !application_name)) {
    SetLastError(EINVAL);
    return FALSE;
  }
  // Our own line, from the program token on, is started from the very vector it was built
  // from: nothing is split, copied or allocated, and the program is the file the user named,
  // whatever bytes its name holds.
  char* const* own_argv =
      application_name ? nullptr : recognise_own_child_line(own_command_line(), command_line);
  if (own_argv) return start_child(nullptr, own_argv, process_information);
  return split_and_start(application_name, command_line ? command_line : application_name,
                         process_information);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  HandleObject* process = find_handle(handle, kProcess);
  if (!process) {
    SetLastError(EBADF);
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
    SetLastError(static_cast<DWORD>(errno));
    return WAIT_FAILED;
  }
  return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exit_code) {
  HandleObject* process = find_handle(handle, kProcess);
  if (!process || !exit_code) {
    SetLastError(process ? EINVAL : EBADF);
    return FALSE;
  }
  int ended = reap(process, false);
  if (ended < 0) {
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
  }
  int status = process->wait_status;
  if (!ended) {
    *exit_code = STILL_ACTIVE;
  } else if (WIFSIGNALED(status)) {
    *exit_code = 128 + static_cast<DWORD>(WTERMSIG(status));
  } else {
    *exit_code = static_cast<DWORD>(WEXITSTATUS(status));
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  HandleObject* object = find_open_handle(handle);
  if (!object) {
    SetLastError(EBADF);
    return FALSE;
  }
  object->kind = kFree;
  return TRUE;
}

void query_process_end(HANDLE handle, ProcessEnd* end) {
  *end = ProcessEnd{0, false};
  HandleObject* process = find_handle(handle, kProcess);
  if (!process || !process->reaped || !WIFSIGNALED(process->wait_status)) return;
  end->signal = WTERMSIG(process->wait_status);
  end->core_dumped = WCOREDUMP(process->wait_status);
}

DWORD launch_failure_exit_status(DWORD error) { return error == ENOENT ? 127 : 126; }

std::size_t describe_process_end(const ProcessEnd& end, DWORD, char* text, std::size_t size) {
  if (end.signal == 0 || size == 0) return 0;
  const char* name = sigabbrev_np(end.signal);
  const char* core = end.core_dumped ? ", core dumped" : "";
  int length = name ? std::snprintf(text, size, "SIG%s%s", name, core)
                    : std::snprintf(text, size, "signal %d%s", end.signal, core);
  return length < 0 ? 0 : std::min(static_cast<std::size_t>(length), size - 1);
}
