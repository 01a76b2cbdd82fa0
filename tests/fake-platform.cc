#include "fake-platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tempova.h"

FakePlatform fake;

namespace {

char process_handle, thread_handle, current_process, current_thread;
bool in_run = false;

// The launcher's standard streams: each write that reaches the "system" is traced where it
// happens, so the trace shows how the report is cut into writes, not just what it says.
void capture(const char* prefix, std::string* text, const char* data, std::size_t size) {
  text->append(data, size);
  fake.trace.push_back(prefix + std::string(data, size));
}

ssize_t capture_output(void*, const char* data, std::size_t size) {
  capture("out: ", &fake.out, data, size);
  return static_cast<ssize_t>(size);
}

void call(const std::string& name) { fake.trace.push_back(name); }

}  // namespace

// The command-line copy is the one allocation the launcher makes; the fake can make it fail.
extern "C" char* strdup(const char* s) noexcept {
  if (fake.fail_strdup) {
    errno = ENOMEM;
    return nullptr;
  }
  std::size_t size = std::strlen(s) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, s, size);
  // Only what the launcher duplicates is its to hold; the test framework's own is not ours.
  if (in_run) fake.copies.push_back(copy);
  return copy;
}

void fake_reset() {
  for (char* copy : fake.copies) std::free(copy);
  fake = FakePlatform();
}

int fake_run(int argc) {
  std::FILE* saved = stdout;
  cookie_io_functions_t functions{nullptr, capture_output, nullptr, nullptr};
  stdout = fopencookie(nullptr, "w", functions);
  in_run = true;
  int status = tempova_main(argc);
  in_run = false;
  // What the launcher left in the buffer reaches the stream at exit; so it does here.
  std::fclose(stdout);
  stdout = saved;
  return status;
}

std::vector<std::string> fake_calls() {
  std::vector<std::string> calls;
  for (const std::string& entry : fake.trace) {
    if (entry.compare(0, 5, "out: ") != 0 && entry.compare(0, 5, "err: ") != 0) {
      calls.push_back(entry);
    }
  }
  return calls;
}

LPSTR GetCommandLineA() {
  call("GetCommandLineA");
  if (!fake.command_line) fake.last_error = fake.command_line_error;
  return const_cast<LPSTR>(fake.command_line);
}

void GetStartupInfoA(LPSTARTUPINFOA info) {
  call("GetStartupInfoA");
  *info = STARTUPINFOA{};
  info->cb = sizeof *info;
  info->dwFlags = 0x5a5a;
  fake.startup_info = info;
}

HANDLE GetCurrentProcess() {
  call("GetCurrentProcess");
  return &current_process;
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask) {
  call(std::string("GetProcessAffinityMask(") +
       (process == &current_process ? "current" : "other") + ")");
  if (!fake.process_affinity_ok) {
    fake.last_error = 5;
    return FALSE;
  }
  *process_mask = fake.process_affinity;
  *system_mask = ~DWORD_PTR{0};
  return TRUE;
}

HANDLE GetCurrentThread() {
  call("GetCurrentThread");
  return &current_thread;
}

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask) {
  call(std::string("SetThreadAffinityMask(") + (thread == &current_thread ? "current" : "other") +
       ", " + std::to_string(mask) + ")");
  if (!fake.affinity_result) fake.last_error = fake.affinity_error;
  return fake.affinity_result;
}

MMRESULT timeBeginPeriod(UINT period) {
  call("timeBeginPeriod(" + std::to_string(period) + ")");
  return fake.begin_period_result;
}

MMRESULT timeEndPeriod(UINT period) {
  call("timeEndPeriod(" + std::to_string(period) + ")");
  return fake.end_period_result;
}

DWORD timeGetTime() {
  call("timeGetTime");
  return fake.timer_times[fake.timer_reads++ % 2];
}

DWORD GetTickCount() {
  call("GetTickCount");
  return fake.tick_counts[fake.tick_reads++ % 2];
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  call("QueryPerformanceCounter");
  int i = fake.counter_reads++ % 2;
  if (!fake.counter_ok[i]) {
    fake.last_error = fake.counter_errors[i];
    return FALSE;
  }
  count->QuadPart = fake.counters[i];
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
  call("QueryPerformanceFrequency");
  if (!fake.frequency_ok) {
    fake.last_error = fake.frequency_error;
    return FALSE;
  }
  frequency->QuadPart = fake.frequency;
  return TRUE;
}

BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                    LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION process_information) {
  call("CreateProcessA");
  FakePlatform::Launch& launch = fake.launch;
  launch.called = true;
  launch.application_name_null = application_name == nullptr;
  launch.command_line = command_line;
  launch.command_line_is_raw = fake.command_line && command_line >= fake.command_line &&
                               command_line <= fake.command_line + std::strlen(fake.command_line);
  launch.process_attributes = *process_attributes;
  launch.thread_attributes = *thread_attributes;
  launch.attributes_distinct = process_attributes != thread_attributes;
  launch.inherit_handles = inherit_handles;
  launch.creation_flags = creation_flags;
  launch.environment_null = environment == nullptr;
  launch.directory_null = current_directory == nullptr;
  launch.startup_info_is_ours = startup_info == fake.startup_info &&
                                startup_info->cb == sizeof(STARTUPINFOA) &&
                                startup_info->dwFlags == 0x5a5a;
  if (!fake.create_ok) {
    fake.last_error = fake.create_error;
    return FALSE;
  }
  // A successful launch may still change the last error, as Windows' does.
  fake.last_error = 183;
  process_information->hProcess = &process_handle;
  process_information->hThread = &thread_handle;
  return TRUE;
}

namespace {

const char* handle_name(HANDLE handle) {
  if (handle == &process_handle) return "process";
  if (handle == &thread_handle) return "thread";
  return "unknown";
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  call(std::string("SetConsoleCtrlHandler(") + (routine ? "routine" : "null") + ", " +
       (add ? "add" : "remove") + ")");
  if (add) fake.ctrl_routine = routine;
  if (!fake.ctrl_handler_ok[add ? 0 : 1]) {
    fake.last_error = fake.ctrl_handler_error;
    return FALSE;
  }
  // Success may still change the last error, so codes must be taken before.
  fake.last_error = 1400;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  call(std::string("WaitForSingleObject(") + handle_name(handle) + ", " +
       (milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds)) + ")");
  if (fake.wait_result == WAIT_FAILED) fake.last_error = fake.wait_error;
  return fake.wait_result;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  call(std::string("GetExitCodeProcess(") + handle_name(process) + ")");
  if (!fake.exit_code_ok) {
    fake.last_error = fake.exit_code_error;
    return FALSE;
  }
  *exit_code = fake.exit_code;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  call(std::string("CloseHandle(") + handle_name(handle) + ")");
  return TRUE;
}

DWORD GetLastError() {
  call("GetLastError");
  return fake.last_error;
}

void SetLastError(DWORD code) { fake.last_error = code; }

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD, va_list*) {
  call("FormatMessageA(" + std::to_string(flags) + ", " + (source ? "source" : "null") + ", " +
       std::to_string(message_id) + ", " + std::to_string(language_id) + ")");
  if (!fake.message_text) {
    fake.last_error = 317;  // no text for this code
    return 0;
  }
  std::size_t size = std::strlen(fake.message_text) + 1;
  char* text = static_cast<char*>(std::malloc(size));
  std::memcpy(text, fake.message_text, size);
  *reinterpret_cast<char**>(buffer) = text;
  ++fake.unreleased_messages;
  return static_cast<DWORD>(std::strlen(fake.message_text));
}

HLOCAL LocalFree(HLOCAL memory) {
  call("LocalFree");
  std::free(memory);
  --fake.unreleased_messages;
  return nullptr;
}

void query_process_end(HANDLE process, ProcessEnd* end) {
  call(std::string("query_process_end(") + handle_name(process) + ")");
  *end = fake.process_end;
}

void end_as_child_ended(const ProcessEnd& end) {
  call("end_as_child_ended(" + std::to_string(end.signal) + ")");
  fake.ended_as = end;
}

BOOL write_standard_error(const char* text, std::size_t length) {
  capture("err: ", &fake.err, text, length);
  return TRUE;
}

std::size_t system_text_to_utf8(LPCTSTR text, char* out, std::size_t size) {
  std::size_t length = std::strlen(text);
  if (length < size) std::memcpy(out, text, length + 1);
  return length;
}

void prepare_child_launch() { call("prepare_child_launch"); }

DWORD launch_failure_exit_status(DWORD error) {
  call("launch_failure_exit_status(" + std::to_string(error) + ")");
  return fake.launch_failure_status;
}

std::size_t describe_process_end(const ProcessEnd&, DWORD, char* text, std::size_t size) {
  return static_cast<std::size_t>(std::snprintf(text, size, "%s", fake.process_end_text));
}
