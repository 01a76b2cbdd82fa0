#include <cinttypes>

#include "tempova.h"

void prepare_timing() {
  // The first processor that is ours: CPU 0 may not be (taskset, a container's CPU set, a job
  // object). Where the process's processors cannot be had, the first of all is tried, and its
  // line says if that fails.
  DWORD_PTR process_mask = 0, system_mask = 0;
  DWORD_PTR first = 1;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask) {
    first = process_mask & (~process_mask + 1);
  }
  if (SetThreadAffinityMask(GetCurrentThread(), first) == 0) {
    report("SetThreadAffinityMask() failed (%d)\n", static_cast<int>(GetLastError()));
  }
  MMRESULT result = timeBeginPeriod(1);
  if (result != TIMERR_NOERROR) {
    report("timeBeginPeriod(1) failed (%d)\n", static_cast<int>(result));
  }
}

void take_start_readings(ClockReadings* readings) {
  readings->t1 = GetTickCount();
  readings->ts1 = timeGetTime();
  readings->tq1.QuadPart = 0;
  readings->tq2.QuadPart = 0;
  readings->tq2_failed = false;
  readings->tq1_failed = !QueryPerformanceCounter(&readings->tq1);
  // Taken before the launch can overwrite it.
  readings->tq1_error = readings->tq1_failed ? GetLastError() : 0;
}

void take_end_readings(ClockReadings* readings) {
  readings->tq2_failed = !QueryPerformanceCounter(&readings->tq2);
  readings->tq2_error = readings->tq2_failed ? GetLastError() : 0;
  readings->ts2 = timeGetTime();
  readings->t2 = GetTickCount();
}

void write_timing_report(const ClockReadings* readings) {
  if (readings->tq1_failed) {
    report("QueryPerformanceCounter(tq1) failed (%d)\n", static_cast<int>(readings->tq1_error));
  }
  if (readings->tq2_failed) {
    report("QueryPerformanceCounter(tq2) failed (%d)\n", static_cast<int>(readings->tq2_error));
  }
  // Unsigned arithmetic: a difference that wraps is still the elapsed count modulo 2^64.
  std::uint64_t tq1 = static_cast<std::uint64_t>(readings->tq1.QuadPart);
  std::uint64_t tq2 = static_cast<std::uint64_t>(readings->tq2.QuadPart);
  std::uint64_t counts = tq2 - tq1;
  report("tq1=%" PRIu64 " tq2=%" PRIu64 " tq2-tq1=%" PRIu64 "\n", tq1, tq2, counts);

  LARGE_INTEGER frequency;
  frequency.QuadPart = 0;
  if (!QueryPerformanceFrequency(&frequency)) {
    report("QueryPerformanceFrequency() failed (%d)\n", static_cast<int>(GetLastError()));
  }
  report("frequency=%" PRIu64 "\n", static_cast<std::uint64_t>(frequency.QuadPart));
  // A frequency of 0 gives a non-finite time, printed as the C library renders it.
  double milliseconds = static_cast<double>(static_cast<std::int64_t>(counts)) * 1000.0 /
                        static_cast<double>(frequency.QuadPart);
  report("time=%f\n", milliseconds);

  MMRESULT result = timeEndPeriod(1);
  if (result != TIMERR_NOERROR) {
    report("timeEndPeriod(1) failed (%d)\n", static_cast<int>(result));
  }
  report("t1=%u t2=%u t2-t1=%u\n", static_cast<unsigned>(readings->t1),
         static_cast<unsigned>(readings->t2), static_cast<unsigned>(readings->t2 - readings->t1));
  report("ts1=%u ts2=%u ts2-ts1=%u\n", static_cast<unsigned>(readings->ts1),
         static_cast<unsigned>(readings->ts2),
         static_cast<unsigned>(readings->ts2 - readings->ts1));
}
