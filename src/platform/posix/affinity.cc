// Emulates Windows' processor affinity: GetCurrentProcess, GetCurrentThread,
// GetProcessAffinityMask and SetThreadAffinityMask on the Linux CPU set of the calling thread.
// The set the thread started with stands for the process's mask, so that a pin stays ours and
// children get what we were given.
#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

char current_process_pseudo_handle;
char current_thread_pseudo_handle;

// The CPU set we started with, sized for the system: a cpu_set_t holds 1024 CPUs, and the kernel
// refuses a set smaller than its number of possible CPUs.
cpu_set_t* start_cpus = nullptr;
std::size_t cpu_set_bytes = 0;
int cpu_count = 0;  // CPUs the set can hold
bool thread_pinned = false;
long configured_cpus = 0;  // as the system counts them; 0 until read

constexpr int kGroupSize = static_cast<int>(sizeof(DWORD_PTR) * 8);

// The set we started with, read once; false with the last error set when it cannot be had.
bool know_start_cpus() {
  if (start_cpus) return true;
  for (int count = CPU_SETSIZE; count <= (1 << 22); count *= 2) {
    cpu_set_t* set = CPU_ALLOC(count);
    if (!set) break;
    std::size_t bytes = CPU_ALLOC_SIZE(count);
    if (sched_getaffinity(0, bytes, set) == 0) {
      start_cpus = set;
      cpu_set_bytes = bytes;
      cpu_count = count;
      return true;
    }
    int error = errno;
    CPU_FREE(set);
    // Too small a set for this system's possible CPUs: the kernel says EINVAL.
    if (error != EINVAL) {
      SetLastError(static_cast<DWORD>(error));
      return false;
    }
  }
  SetLastError(ENOMEM);
  return false;
}

// The first CPU of our group: the multiple of 64 at or below the lowest CPU we may use.
int group_base() {
  for (int cpu = 0; cpu < cpu_count; ++cpu) {
    if (CPU_ISSET_S(cpu, cpu_set_bytes, start_cpus)) return cpu / kGroupSize * kGroupSize;
  }
  return 0;
}

DWORD_PTR group_mask(const cpu_set_t* set, int base) {
  DWORD_PTR mask = 0;
  for (int bit = 0; bit < kGroupSize && base + bit < cpu_count; ++bit) {
    if (CPU_ISSET_S(base + bit, cpu_set_bytes, set)) mask |= DWORD_PTR{1} << bit;
  }
  return mask;
}

}  // namespace

HANDLE GetCurrentProcess() { return &current_process_pseudo_handle; }

HANDLE GetCurrentThread() { return &current_thread_pseudo_handle; }

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask) {
  if (process != &current_process_pseudo_handle) {
    SetLastError(EBADF);
    return FALSE;
  }
  if (!process_mask || !system_mask) {
    SetLastError(EINVAL);
    return FALSE;
  }
  if (!know_start_cpus()) return FALSE;
  int base = group_base();
  *process_mask = group_mask(start_cpus, base);
  // Read once, and without a function-local static: its guard would need the C++ runtime.
  if (configured_cpus == 0) configured_cpus = sysconf(_SC_NPROCESSORS_CONF);
  long configured = configured_cpus;
  long in_group = configured > base ? configured - base : 0;
  *system_mask = in_group >= kGroupSize ? ~DWORD_PTR{0} : (DWORD_PTR{1} << in_group) - 1;
  // A system that counts fewer CPUs than we may use has more than it says.
  *system_mask |= *process_mask;
  return TRUE;
}

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  if (thread != &current_thread_pseudo_handle) {
    SetLastError(EBADF);
    return 0;
  }
  if (!know_start_cpus()) return 0;
  int base = group_base();
  // As on Windows, a thread may only be pinned within its process's CPUs; Linux alone would
  // let it move outside them.
  if (mask == 0 || (mask & ~group_mask(start_cpus, base)) != 0) {
    SetLastError(EINVAL);
    return 0;
  }
  cpu_set_t* wanted = CPU_ALLOC(cpu_count);
  cpu_set_t* previous = CPU_ALLOC(cpu_count);
  DWORD_PTR previous_mask = 0;
  if (!wanted || !previous) {
    SetLastError(ENOMEM);
  } else if (sched_getaffinity(0, cpu_set_bytes, previous) != 0) {
    SetLastError(static_cast<DWORD>(errno));
  } else {
    CPU_ZERO_S(cpu_set_bytes, wanted);
    for (int bit = 0; bit < kGroupSize; ++bit) {
      if (mask >> bit & 1) CPU_SET_S(base + bit, cpu_set_bytes, wanted);
    }
    if (sched_setaffinity(0, cpu_set_bytes, wanted) != 0) {
      SetLastError(static_cast<DWORD>(errno));
    } else {
      // A pin to what we started with (one CPU was all we had) leaves the child nothing to undo.
      thread_pinned = thread_pinned || !CPU_EQUAL_S(cpu_set_bytes, wanted, start_cpus);
      previous_mask = group_mask(previous, base);
    }
  }
  if (wanted) CPU_FREE(wanted);
  if (previous) CPU_FREE(previous);
  return previous_mask;
}

void restore_start_cpus_in_child() {
  if (thread_pinned) sched_setaffinity(0, cpu_set_bytes, start_cpus);
}
