// Emulates Windows' thread affinity: GetCurrentThread and SetThreadAffinityMask on the Linux CPU
// set of the calling thread. The CPU set we started with is kept, so that a pin stays ours and
// children get what we were given.
#include <errno.h>
#include <sched.h>

#include "platform/platform.h"
#include "platform/posix/emulation.h"

namespace {

char current_thread_pseudo_handle;

cpu_set_t start_cpus;
bool start_cpus_known = false;
bool thread_pinned = false;

}  // namespace

HANDLE GetCurrentThread() { return &current_thread_pseudo_handle; }

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  if (thread != &current_thread_pseudo_handle) {
    SetLastError(EBADF);
    return 0;
  }
  if (!start_cpus_known) {
    if (sched_getaffinity(0, sizeof start_cpus, &start_cpus) != 0) {
      SetLastError(static_cast<DWORD>(errno));
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
      SetLastError(EINVAL);
      return 0;
    }
    CPU_SET(cpu, &wanted);
  }
  cpu_set_t previous;
  if (mask == 0 || sched_getaffinity(0, sizeof previous, &previous) != 0) {
    SetLastError(mask == 0 ? EINVAL : static_cast<DWORD>(errno));
    return 0;
  }
  if (sched_setaffinity(0, sizeof wanted, &wanted) != 0) {
    SetLastError(static_cast<DWORD>(errno));
    return 0;
  }
  thread_pinned = true;
  DWORD_PTR previous_mask = 0;
  for (int cpu = 0; cpu < kMaskBits; ++cpu) {
    if (CPU_ISSET(cpu, &previous)) previous_mask |= DWORD_PTR{1} << cpu;
  }
  return previous_mask;
}

void restore_start_cpus_in_child() {
  if (thread_pinned) sched_setaffinity(0, sizeof start_cpus, &start_cpus);
}
