// The system operations the launcher calls, with their Windows names and types.
//
// On Windows these are the real kernel32 and winmm operations. Elsewhere this header declares
// the few types and constants the launcher needs, and the operations are emulated (see posix/).
// The launcher's own source is the same on both.
#ifndef TEMPOVA_PLATFORM_PLATFORM_H_
#define TEMPOVA_PLATFORM_PLATFORM_H_

#ifdef _WIN32

// The wide operations and characters: the command line is UTF-16 from the system to the child,
// and system texts are read as UTF-16, whatever the ANSI code page.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <tchar.h>

#include <cstddef>

/// The help switch of the system's own programs, besides --help: no Windows file name can hold
/// a "?".
constexpr LPCTSTR kSystemHelpSwitch = TEXT("/?");

#else  // !_WIN32

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

typedef int BOOL;
typedef std::uint32_t DWORD;
typedef std::uint32_t UINT;
typedef std::int32_t LONG;
typedef std::int64_t LONGLONG;
typedef std::uintptr_t DWORD_PTR;
typedef UINT MMRESULT;
typedef void* HANDLE;
typedef void* HLOCAL;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;

/// The character of command lines and system texts: bytes here, UTF-16 on Windows. With it, the
/// names that Windows' TCHAR headers give, so that the launcher's source serves both.
typedef char TCHAR;
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;
#define TEXT(text) text
#define _tmain main
#define _tcsdup strdup
/// The help switch of the system's own programs, besides --help: none here, where "/?" is a
/// path.
constexpr LPCTSTR kSystemHelpSwitch = nullptr;
#define GetCommandLine GetCommandLineA
#define GetStartupInfo GetStartupInfoA
#define CreateProcess CreateProcessA
#define FormatMessage FormatMessageA

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

/// Only `cb` is meaningful here: there is no window station to describe.
struct STARTUPINFOA {
  DWORD cb;
  DWORD dwFlags;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
typedef STARTUPINFOA* LPSTARTUPINFOA;
typedef STARTUPINFOA STARTUPINFO;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

#define WINAPI
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD event);
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD CREATE_DEFAULT_ERROR_MODE = 0x04000000;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD LANG_NEUTRAL = 0x00;
constexpr DWORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(DWORD primary, DWORD sub) { return (sub << 10) | primary; }

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;

/// The launcher's own command line as one Windows-style string, built once from its argument
/// vector: the name token, then the program and its arguments quoted so that they split back
/// exactly. The vector is the one the C library's start-up code hands over before main runs
/// (glibc), used in place while it is as the kernel laid it out; where main or getopt has since
/// rearranged that array, /proc/self/cmdline's. Null (with the last error set) only when neither
/// can be had.
LPSTR GetCommandLineA();

/// Fills `info` with zeros and its size.
void GetStartupInfoA(LPSTARTUPINFOA info);

/// Pseudo-handles for the calling process and thread, usable only by them.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();

/// The CPUs the process may use: the CPU set its thread started with, before any pin. As
/// Windows counts processors in groups of 64, bit i of the masks is CPU base + i, where the base
/// is the multiple of 64 at or below the lowest CPU of that set; `system_mask` holds the CPUs the
/// system has in that group. Sized for the system, whatever its number of CPUs. Only the current
/// process can be asked (EBADF).
BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask);

/// Pins the calling thread to the CPUs whose bits are set, counted as GetProcessAffinityMask
/// counts them. The mask must lie within the CPUs the process may use, else EINVAL. Returns the
/// previous mask, or 0 with the last error set. Children started afterwards still get the
/// process's CPU set.
DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);

/// Keep count of the timer periods asked for: TIMERR_NOERROR, or TIMERR_NOCANDO for a period
/// of 0 or an end without a matching begin. Linux timers need no raised resolution.
MMRESULT timeBeginPeriod(UINT period);
MMRESULT timeEndPeriod(UINT period);

/// CLOCK_MONOTONIC in milliseconds, wrapping at 2^32.
DWORD timeGetTime();

/// CLOCK_MONOTONIC_COARSE in milliseconds (the kernel tick's granularity), wrapping at 2^32.
DWORD GetTickCount();

/// CLOCK_MONOTONIC_RAW in nanoseconds; the frequency is therefore 1000000000.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

/// Starts a child that shares our standard descriptors, environment and directory. A program
/// found on PATH as execvp finds it: an entry too long for a path is skipped.
/// `command_line` that is exactly the part of our own command line from its program token on is
/// started from our own argument vector, with nothing split, copied or allocated: the program is
/// then the file the user named, whatever bytes its name holds. Any other line is split by the
/// Windows C runtime rules. The program (the first argument) is found on PATH as execvp does,
/// unless it holds a slash or `application_name` gives the path itself. The child gets the CPU
/// set, signal dispositions and signal mask the launcher started with, never our own pin or our
/// catching of Ctrl-C; a Ctrl-C that our console control routine took before the child started
/// is given to the child, which it ends at once.
/// A program that cannot be started makes this return FALSE with its errno as the last error.
/// `environment` and `current_directory` must be null; security attributes, handle
/// inheritance, creation flags and start-up information do not change the child here.
BOOL CreateProcessA(LPCSTR application_name, LPSTR command_line,
                    LPSECURITY_ATTRIBUTES process_attributes,
                    LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                    DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                    LPSTARTUPINFOA startup_info, LPPROCESS_INFORMATION process_information);

/// Adds (`add` TRUE) or removes `routine` as the handler of Ctrl-C (SIGINT, called with
/// CTRL_C_EVENT) and Ctrl-Break (SIGQUIT, as Ctrl-\\ sends it; CTRL_BREAK_EVENT). A routine that
/// returns TRUE has handled the event; FALSE lets the signal take its default action. One
/// routine at a time (EBUSY); a null routine is not emulated (EINVAL). A signal that was ignored
/// when it was added stays ignored. Removing restores the dispositions found when it was added.
/// Children never see the routine: exec resets a caught signal to its default.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

/// Waits for a process handle to end; EINTR is retried.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

/// The exit status; 128 + N for a child killed by signal N; STILL_ACTIVE while it runs.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

BOOL CloseHandle(HANDLE handle);

/// The calling thread's last error code (an errno value here).
DWORD GetLastError();
void SetLastError(DWORD code);

/// With FORMAT_MESSAGE_FROM_SYSTEM: strerror(code) and "\n". With
/// FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a char** that receives a text to release
/// with LocalFree; otherwise the text is copied into `buffer` of `size` bytes.
/// Returns the text's length, or 0 with the last error set.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

#endif  // _WIN32

// Our own operations, beyond Windows' own, on both systems.

/// Writes `length` bytes of report text (UTF-8, each line ended by "\n") to standard error, in one
/// write where the system allows it: to a Windows console as wide characters, so that it reads
/// right whatever the console's code page; anywhere else as UTF-8, with "\r\n" line ends on
/// Windows. A reader that has gone makes it fail (FALSE), never a signal; an interrupted write
/// is resumed.
BOOL write_standard_error(const char* text, std::size_t length);

/// The length of `text`, a system text in our characters, as UTF-8 (without its NUL). When that
/// length is below `size`, the text is also written to `out` as UTF-8 with a NUL; otherwise
/// nothing is written. On Linux the text's bytes are what they are.
std::size_t system_text_to_utf8(LPCTSTR text, char* out, std::size_t size);

/// Does before the clock readings what the next launch needs done, so that only the launch
/// itself runs between them. On Linux, where we were started with SIGCHLD ignored (a common
/// daemon idiom, which survives exec), takes its default for ourselves, so that the kernel keeps
/// the child's exit status for our wait; the child still starts with it ignored. And makes the
/// close-on-exec pipe by which, where vfork is emulated by a fork (valgrind, qemu-user), the
/// child's exec error reaches us: a program that cannot start is then still a launch failure,
/// never a child that exits 127. On Windows it has nothing to do.
void prepare_child_launch();

/// Our exit status when a child could not be started, given the launch's error code. Linux
/// follows POSIX's convention for a program that runs another (env, nice, timeout, GNU time):
/// 127 when the program is not found (ENOENT), 126 when it is found but cannot run; a caller
/// such as xargs then goes on. Windows has no such convention: 255.
DWORD launch_failure_exit_status(DWORD error);

/// How a process ended, beyond its exit code.
struct ProcessEnd {
  int signal;        ///< the signal that ended it (Linux); 0 when it exited, and on Windows
  bool core_dumped;  ///< it left a core file (Linux)
};

/// Reads how `process` ended, once GetExitCodeProcess has given its exit code. A process that
/// has not ended, or cannot be asked, gives {0, false}.
void query_process_end(HANDLE process, ProcessEnd* end);

/// What the exit code of a process that ended does not say by itself, as a short text for the
/// report: on Linux the signal that killed it ("SIGSEGV", or "SIGSEGV, core dumped"); on
/// Windows an exception code (0xC0000000 and up) in hexadecimal, with its name for those users
/// meet ("0xC0000005 STATUS_ACCESS_VIOLATION"). Writes it to `text` (room for `size` bytes, a
/// NUL included) and returns its length; 0 when there is nothing to add.
std::size_t describe_process_end(const ProcessEnd& end, DWORD exit_code, char* text,
                                 std::size_t size);

/// Ends our process the way the child ended, as a shell expects of a program that waits for a
/// child: on Linux a child ended by SIGINT or SIGQUIT (Ctrl-C, Ctrl-\\) ends us by the same
/// signal, with everything buffered written first and no core file of ours; the exit status a
/// shell sees is the same as our own exit code would give, and a shell loop stops. Not where we
/// were started with that signal ignored or blocked (a background job, nohup). Otherwise, and
/// always on Windows, it returns and nothing happens.
void end_as_child_ended(const ProcessEnd& end);

#endif  // TEMPOVA_PLATFORM_PLATFORM_H_
