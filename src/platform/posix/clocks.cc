// Emulates Windows' clocks and timer periods: GetTickCount, timeGetTime,
// QueryPerformanceCounter and its frequency on Linux's monotonic clocks; timeBeginPeriod and
// timeEndPeriod as a count, since Linux timers need no raised resolution.
#include <errno.h>
#include <time.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

std::uint64_t read_clock(clockid_t clock, std::uint64_t units_per_second) {
  timespec now;
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * units_per_second +
         static_cast<std::uint64_t>(now.tv_nsec) / (1000000000 / units_per_second);
}

// Timer periods asked for and not yet released.
struct PeriodCount {
  UINT period;
  unsigned count;
};
PeriodCount periods[16];

}  // namespace

DWORD timeGetTime() { return static_cast<DWORD>(read_clock(CLOCK_MONOTONIC, 1000)); }

DWORD GetTickCount() { return static_cast<DWORD>(read_clock(CLOCK_MONOTONIC_COARSE, 1000)); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  timespec now;
  if (!count || clock_gettime(CLOCK_MONOTONIC_RAW, &now) != 0) {
    SetLastError(count ? static_cast<DWORD>(errno) : EINVAL);
    return FALSE;
  }
  count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  if (!frequency) {
    SetLastError(EINVAL);
    return FALSE;
  }
  frequency->QuadPart = 1000000000;
  return TRUE;
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
