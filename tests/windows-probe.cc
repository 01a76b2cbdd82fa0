// A Windows child for the tests under Wine.
//   windows-probe cmdline [CODE]  writes its own command line, exactly, on standard output,
//                                 then exits with CODE (an unsigned 32-bit number, default 0)
//   windows-probe frequency       writes the performance counter frequency
//   windows-probe wait            writes "ready" on standard output, then sleeps for a minute
//                                 (a Ctrl-C ends it sooner)
//   windows-probe run HEX         starts the command line HEX (its bytes in hexadecimal) as
//                                 given, sharing our standard handles, waits, and writes
//                                 "[exit N]" with its whole 32-bit exit code last on standard
//                                 output; it exits with that code too
// The last mode lets a test hand the launcher a command line that no Unix argument vector can
// express, runs of spaces included, and read an exit code wider than Wine's own exit status.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return 100;
  if (std::strcmp(argv[1], "cmdline") == 0) {
    std::fputs(GetCommandLineA(), stdout);
    std::fflush(stdout);
    ExitProcess(argc > 2 ? static_cast<UINT>(std::strtoul(argv[2], nullptr, 10)) : 0);
  }
  if (std::strcmp(argv[1], "frequency") == 0) {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency)) return 101;
    std::printf("%lld\n", static_cast<long long>(frequency.QuadPart));
    return 0;
  }
  if (std::strcmp(argv[1], "wait") == 0) {
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    Sleep(60000);
    return 0;
  }
  if (std::strcmp(argv[1], "run") == 0 && argc == 3) {
    std::string line;
    for (const char* p = argv[2]; p[0] && p[1]; p += 2) {
      line.push_back(static_cast<char>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    }
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
      return 102;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(child.hProcess, &code)) return 103;
    std::printf("[exit %lu]", static_cast<unsigned long>(code));
    std::fflush(stdout);
    ExitProcess(code);
  }
  return 100;
}
