// The timed launcher: runs one command as a child and reports how long it took.
#ifndef TEMPOVA_TEMPOVA_H_
#define TEMPOVA_TEMPOVA_H_

#include <cstdio>

#include "platform/platform.h"

/// The whole program: the usage line for an argument count below 2; our version or our help
/// when --version or --help (or the system's own help switch) is the only argument; otherwise
/// the timed run of the rest of our command line. Returns the exit status.
int tempova_main(int argc);

/// Finds where the child's command line starts in `copy`, our own command line: past our name
/// token (quoted: up to the next double quote; otherwise up to the next space or tab, where
/// CreateProcess ends it too) and the blanks after it. The delimiter ending the name token is
/// overwritten with NUL.
TCHAR* extract_child_command_line(TCHAR* copy);

/// Runs `child_command_line` as a child, waits for it and writes the report on standard error.
/// Returns the child's exit code; when it could not be started, the system's status for that
/// (127 or 126 on Linux, 255 on Windows); 255 when its exit code could not be read.
DWORD launch_and_wait(TCHAR* child_command_line);

/// Adds to the report `format` with its arguments (when not null or empty), then the system's
/// text for `code`, which carries its own line end.
void report_system_error(DWORD code, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/// The report on standard error: its lines are gathered, and each part of it leaves in one
/// write when flush_report is called (what comes before the first clock reading, then everything
/// after the launch), so that the reports of runs sharing a pipe or a file stay whole.
void report(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/// Adds a system text, whose "\r\n" line ends become the report's "\n".
void report_system_text(LPCTSTR text);

/// Writes what was gathered, in one write.
void flush_report();

/// The three clocks read around the child.
struct ClockReadings {
  DWORD t1, t2;            // tick count, ms
  DWORD ts1, ts2;          // multimedia timer, ms
  LARGE_INTEGER tq1, tq2;  // performance counter
  bool tq1_failed, tq2_failed;
  DWORD tq1_error, tq2_error;  // the last error right after each failed read
};

/// Pins our thread to the first processor the process may use and raises the timer resolution;
/// failures are written at once and the run goes on.
void prepare_timing();

/// Read the clocks, nesting around the child: tick count, multimedia timer, then the counter
/// last before the launch; the counter first after the wait. They write and allocate nothing.
void take_start_readings(ClockReadings* readings);
void take_end_readings(ClockReadings* readings);

/// Writes the timing block and releases the timer resolution.
void write_timing_report(const ClockReadings* readings);

#endif  // TEMPOVA_TEMPOVA_H_
