#include <cstdarg>
#include <cstdio>

#include "tempova.h"

namespace {

// Ctrl-C and Ctrl-Break reach every process on the console: while the child runs they are the
// child's to act on, and we stay to report how it ended. A routine rather than the null form,
// whose ignore flag the child would inherit; every other event keeps its default.
BOOL WINAPI leave_interrupts_to_the_child(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

DWORD launch_and_wait(TCHAR* child_command_line) {
  SECURITY_ATTRIBUTES process_attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  SECURITY_ATTRIBUTES thread_attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  STARTUPINFO startup_info;
  GetStartupInfo(&startup_info);
  PROCESS_INFORMATION child = {};
  DWORD exit_code = 0;
  ProcessEnd end = {0, false};
  ClockReadings readings;

  prepare_timing();
  prepare_child_launch();
  if (!SetConsoleCtrlHandler(leave_interrupts_to_the_child, TRUE)) {
    report("SetConsoleCtrlHandler() failed (%d)\n", static_cast<int>(GetLastError()));
  }
  // What was written so far must reach the stream before the child's output does, and nothing
  // is written between the clock readings.
  flush_report();
  take_start_readings(&readings);
  BOOL launched = CreateProcess(
      nullptr, child_command_line, &process_attributes, &thread_attributes, TRUE,
      CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup_info, &child);
  if (!launched) {
    DWORD error = GetLastError();
    report_system_error(error, "CreateProcess() failed %d ", static_cast<int>(error));
    flush_report();
    SetConsoleCtrlHandler(leave_interrupts_to_the_child, FALSE);
    return launch_failure_exit_status(error);
  }
  DWORD wait_result = WaitForSingleObject(child.hProcess, INFINITE);
  take_end_readings(&readings);

  if (wait_result == WAIT_FAILED) {
    report("WAIT_FAILED %d\n", static_cast<int>(GetLastError()));
  } else if (wait_result == WAIT_ABANDONED) {
    report("WAIT_ABANDONED\n");
  }
  if (!GetExitCodeProcess(child.hProcess, &exit_code)) {
    report("GetExitCodeProcess() failed %d\n", static_cast<int>(GetLastError()));
    // We cannot tell how the child ended, so we must not claim it succeeded.
    exit_code = 255;
  } else {
    query_process_end(child.hProcess, &end);
    // What more the code means (a signal, a crash) follows it, the number staying first.
    char meaning[64];
    if (exit_code == STILL_ACTIVE) {
      report("ERRORLEVEL=%u (STILL_ACTIVE)\n", static_cast<unsigned>(exit_code));
    } else if (describe_process_end(end, exit_code, meaning, sizeof meaning) > 0) {
      report("ERRORLEVEL=%u (%s)\n", static_cast<unsigned>(exit_code), meaning);
    } else {
      report("ERRORLEVEL=%u\n", static_cast<unsigned>(exit_code));
    }
  }
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);

  write_timing_report(&readings);
  // The report goes out in one write, so that reports of runs sharing a pipe or a file stay
  // whole.
  flush_report();
  // Only now: Windows runs the control routines on a thread of their own, which may come after
  // the child has ended of the same Ctrl-C; without our routine it would end us mid-report.
  if (!SetConsoleCtrlHandler(leave_interrupts_to_the_child, FALSE)) {
    report("SetConsoleCtrlHandler() failed (%d)\n", static_cast<int>(GetLastError()));
    flush_report();
  }
  // A shell that ran us must learn that the child was interrupted, as it would without us.
  end_as_child_ended(end);
  return exit_code;
}

// A printf-style prefix, its arguments checked by the format attribute.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void report_system_error(DWORD code, const char* format, ...) {
  if (format && *format) {
    char prefix[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(prefix, sizeof prefix, format, arguments);
    va_end(arguments);
    report("%s", prefix);
  }
  TCHAR* text = nullptr;
  DWORD length = FormatMessage(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPTSTR>(&text), 0,
      nullptr);
  if (length == 0 || !text) {
    // The line must still end, so that whatever follows starts on a line of its own.
    report("(no system text for this code)\n");
    return;
  }
  report_system_text(text);
  LocalFree(text);
}
