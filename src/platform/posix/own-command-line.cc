// Emulates Windows' GetCommandLineA: our own command line, written once as the Windows C runtime
// would need it from the argument vector that the C library's start-up code hands over (else
// /proc's).
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

// The C library's start-up code hands argc, argv and envp to the functions of .init_array
// before main: argv is then the vector the kernel put on our stack, its strings laid out one
// right after another. A child started from our own line is given that very vector, so that
// nothing is split or copied for it, not even the array of pointers (at a megabyte of arguments
// a copy would be some 20 fresh pages). Only where main, a test framework or getopt has
// rearranged the array by the time our line is built is /proc's reading of the vector used.
int startup_argc = 0;
char** startup_argv = nullptr;

#ifdef __GLIBC__
void take_startup_arguments(int argc, char** argv, char**) {
  if (argc < 0 || !argv) return;
  startup_argc = argc;
  startup_argv = argv;
}
using StartupHook = void (*)(int, char**, char**);
__attribute__((section(".init_array"), used)) StartupHook take_startup_arguments_entry =
    take_startup_arguments;
#endif

// Whether `argv` is still the vector as the kernel laid it out: each string right after the one
// before, the array ended by a null.
bool as_laid_out(int argc, char* const* argv) {
  const char* next = argc > 0 ? argv[0] : nullptr;
  for (int i = 0; i < argc; ++i) {
    if (!argv[i] || argv[i] != next) return false;
    next = argv[i] + std::strlen(argv[i]) + 1;
  }
  return argv[argc] == nullptr;
}

OwnCommandLine own_line;

// A long line's pages are put in place in one call, not faulted in one by one as it is written:
// on a virtual machine a fault costs microseconds. Only the whole pages of the first `size`
// bytes of `block`, which the line is sure to fill, and only when there are enough of them to
// be worth a call. Where the kernel has no such call, the pages are faulted in as before.
void populate_pages(char* block, std::size_t size) {
  constexpr std::size_t kPage = 4096;
  constexpr std::size_t kWorthACall = 16 * kPage;
  std::size_t head = (kPage - reinterpret_cast<std::uintptr_t>(block) % kPage) % kPage;
  if (size < head) return;
  std::size_t whole_pages = (size - head) / kPage * kPage;
  if (whole_pages >= kWorthACall) madvise(block + head, whole_pages, MADV_POPULATE_WRITE);
}

}  // namespace

const OwnCommandLine& own_command_line() { return own_line; }

bool read_proc_arguments(int* argc, char*** argv) {
  int fd;
  do {
    fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(errno));
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
        SetLastError(ENOMEM);
        return false;
      }
      raw = bigger;
    }
    ssize_t n = read(fd, raw + size, capacity - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(static_cast<DWORD>(errno));
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
    SetLastError(ENOMEM);
    return false;
  }
  char* p = raw;
  for (std::size_t i = 0; i < count; ++i, p += std::strlen(p) + 1) vector[i] = p;
  vector[count] = nullptr;
  *argc = static_cast<int>(count);
  *argv = vector;
  return true;
}

LPSTR GetCommandLineA() {
  if (own_line.line) return own_line.line;
  int argc = startup_argc;
  char** argv = startup_argv;
  if ((!argv || !as_laid_out(argc, argv)) && !read_proc_arguments(&argc, &argv)) {
    if (!argv) return nullptr;
    // Without /proc, the array as it is now is all there is: up to its first null, which a
    // rearrangement may have moved forward.
    int live = 0;
    while (live < argc && argv[live]) ++live;
    argc = live;
  }
  // The line is written once, into a block sized for the worst case; only what it takes of the
  // block is ever touched, and the rest goes back at once.
  CommandLineBounds bounds = own_command_line_bounds(argc, argv);
  char* block = static_cast<char*>(std::malloc(bounds.most));
  if (!block) {
    SetLastError(ENOMEM);
    return nullptr;
  }
  populate_pages(block, bounds.least);
  build_own_command_line(argc, argv, block, &own_line);
  if (char* fitted = static_cast<char*>(std::realloc(block, own_line.length + 1))) {
    own_line.line = fitted;
  }
  return own_line.line;
}
