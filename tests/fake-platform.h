// A scripted stand-in for the platform operations, for driving the launcher in-process.
#ifndef TEMPOVA_TESTS_FAKE_PLATFORM_H_
#define TEMPOVA_TESTS_FAKE_PLATFORM_H_

#include <string>
#include <vector>

#include "platform/platform.h"

struct FakePlatform {
  // What each operation returns. The defaults are a run that succeeds, with clocks whose
  // readings are all distinct.
  const char* command_line = "tempova prog arg";
  DWORD command_line_error = 0;  // the last error when command_line is null
  bool fail_strdup = false;
  BOOL process_affinity_ok = TRUE;
  DWORD_PTR process_affinity = 3;  // the processors the process may use
  DWORD_PTR affinity_result = 3;
  DWORD affinity_error = 0;
  MMRESULT begin_period_result = TIMERR_NOERROR;
  MMRESULT end_period_result = TIMERR_NOERROR;
  DWORD tick_counts[2] = {1000, 1250};
  DWORD timer_times[2] = {2000, 2251};
  LONGLONG counters[2] = {5000000, 7512345};
  BOOL counter_ok[2] = {TRUE, TRUE};
  DWORD counter_errors[2] = {0, 0};
  LONGLONG frequency = 10000000;
  BOOL frequency_ok = TRUE;
  DWORD frequency_error = 0;
  BOOL create_ok = TRUE;
  DWORD create_error = 0;
  BOOL ctrl_handler_ok[2] = {TRUE, TRUE};  // adding it, removing it
  DWORD ctrl_handler_error = 0;
  DWORD wait_result = WAIT_OBJECT_0;
  DWORD wait_error = 0;
  BOOL exit_code_ok = TRUE;
  DWORD exit_code = 0;
  DWORD exit_code_error = 0;
  ProcessEnd process_end = {0, false};
  const char* process_end_text = "";  // what describe_process_end says of it
  DWORD launch_failure_status = 255;
  const char* message_text = "The system cannot find the file specified.\r\n";  // null: none

  // What the launcher did.
  struct Launch {
    bool called = false;
    bool application_name_null = false;
    std::string command_line;
    bool command_line_is_raw = false;  // handed the platform's own string rather than a copy
    SECURITY_ATTRIBUTES process_attributes{}, thread_attributes{};
    bool attributes_distinct = false;
    BOOL inherit_handles = FALSE;
    DWORD creation_flags = 0;
    bool environment_null = false, directory_null = false;
    bool startup_info_is_ours = false;  // the very record GetStartupInfoA filled, unchanged
  } launch;
  PHANDLER_ROUTINE ctrl_routine = nullptr;  // the console control routine last added
  ProcessEnd ended_as = {-1, false};        // what end_as_child_ended was given
  std::vector<std::string> trace;           // calls, and "out: ..." / "err: ..." for each write
  std::string out, err;
  int unreleased_messages = 0;
  std::vector<char*> copies;  // the launcher's command-line copies, freed by fake_reset

  // Internal state.
  DWORD last_error = 0;
  int tick_reads = 0, timer_reads = 0, counter_reads = 0;
  STARTUPINFOA* startup_info = nullptr;
};

extern FakePlatform fake;

/// Resets the fake to its defaults, and frees what the launcher held from the last run.
void fake_reset();

/// Runs tempova_main(argc) against the fake with standard output and standard error captured;
/// the trace shows what was written between which calls.
int fake_run(int argc);

/// The calls in the trace, without the writes.
std::vector<std::string> fake_calls();

#endif  // TEMPOVA_TESTS_FAKE_PLATFORM_H_
