// A Windows child for the tests under Wine.
//   windows-probe cmdline [CODE]  writes its own command line, exactly, on standard output,
//                                 then exits with CODE (an unsigned 32-bit number, default 0)
//   windows-probe wcmdline        writes its own Unicode command line, as UTF-8
//   windows-probe wcmdhex         writes its own Unicode command line as hexadecimal UTF-16 code
//                                 units, four digits each: exact even for a lone surrogate
//   windows-probe message N       writes the system's text for error N, as UTF-8
//   windows-probe guard           writes the stack protector's guard, in hexadecimal
//   windows-probe smash           overruns a buffer on its stack, which the protector must catch
//   windows-probe version FILE    writes FILE's version information: the fixed file and
//                                 product versions, then each string "Name=value", a line each
//   windows-probe frequency       writes the performance counter frequency
//   windows-probe wait            writes "ready" on standard output, then sleeps for a minute
//                                 (a Ctrl-C ends it sooner)
//   windows-probe run HEX         starts the command line HEX (its bytes in hexadecimal) as
//                                 given, sharing our standard handles, waits, and writes
//                                 "[exit N]" with its whole 32-bit exit code last on standard
//                                 output; it exits with that code too
//   windows-probe wrun            the same for a Unicode command line read from standard input
//                                 as hexadecimal UTF-16 code units, four digits each, started
//                                 with CreateProcessW
// The last mode lets a test hand the launcher a command line that no Unix argument vector can
// express, runs of spaces included, and read an exit code wider than Wine's own exit status.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

std::string utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

// Starts `line` as given, sharing our standard handles, waits, and writes "[exit N]" last on
// standard output; exits with the child's whole exit code.
template <typename Char, typename StartupInfo, typename Create>
int run(Char* line, Create create) {
  StartupInfo startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child;
  if (!create(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
    std::printf("[CreateProcess failed %lu]", GetLastError());
    return 102;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(child.hProcess, &code)) return 103;
  std::printf("[exit %lu]", static_cast<unsigned long>(code));
  std::fflush(stdout);
  ExitProcess(code);
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return 100;
  if (std::strcmp(argv[1], "cmdline") == 0) {
    std::fputs(GetCommandLineA(), stdout);
    std::fflush(stdout);
    ExitProcess(argc > 2 ? static_cast<UINT>(std::strtoul(argv[2], nullptr, 10)) : 0);
  }
  if (std::strcmp(argv[1], "wcmdline") == 0) {
    std::fputs(utf8(GetCommandLineW()).c_str(), stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "wcmdhex") == 0) {
    for (const wchar_t* p = GetCommandLineW(); *p; ++p) {
      std::printf("%04x", static_cast<unsigned>(*p));
    }
    return 0;
  }
  if (std::strcmp(argv[1], "guard") == 0) {
    std::printf("%llx\n", static_cast<unsigned long long>(__stack_chk_guard));
    return 0;
  }
  if (std::strcmp(argv[1], "smash") == 0) {
    char buffer[16];
    // Through a volatile length, so that no check at compile time stops it.
    volatile std::size_t length = 64;
    std::memset(buffer, 'x', length);
    std::printf("%s\n", buffer);
    return 0;
  }
  if (std::strcmp(argv[1], "message") == 0 && argc == 3) {
    wchar_t* text = nullptr;
    DWORD flags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    if (!FormatMessageW(flags, nullptr, std::strtoul(argv[2], nullptr, 10), 0,
                        reinterpret_cast<wchar_t*>(&text), 0, nullptr)) {
      return 107;
    }
    std::fputs(utf8(text).c_str(), stdout);
    LocalFree(text);
    return 0;
  }
  if (std::strcmp(argv[1], "version") == 0 && argc == 3) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[2], &ignored);
    if (size == 0) return 104;
    std::string block(size, '\0');
    if (!GetFileVersionInfoA(argv[2], 0, size, &block[0])) return 105;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) return 106;
    std::printf("file %lu.%lu.%lu.%lu\nproduct %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
                fixed->dwFileVersionLS & 0xFFFF, fixed->dwProductVersionMS >> 16,
                fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
                fixed->dwProductVersionLS & 0xFFFF);
    for (const char* name :
         {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
          "OriginalFilename", "ProductName", "ProductVersion"}) {
      char* value = nullptr;
      std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
      if (VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
        std::printf("%s=%s\n", name, value);
      }
    }
    return 0;
  }
  if (std::strcmp(argv[1], "frequency") == 0) {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency)) return 101;
    std::printf("%lld\n", static_cast<long long>(frequency.QuadPart));
    return 0;
  }
  if (std::strcmp(argv[1], "wait") == 0) {
    // Straight to the handle: a Ctrl-C ends us from a thread of its own, and the C runtime's
    // buffer must have nothing left to write again then.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "ready\n", 6, &written, nullptr);
    Sleep(60000);
    return 0;
  }
  if (std::strcmp(argv[1], "run") == 0 && argc == 3) {
    std::string line;
    for (const char* p = argv[2]; p[0] && p[1]; p += 2) {
      line.push_back(static_cast<char>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    }
    return run<char, STARTUPINFOA>(&line[0], CreateProcessA);
  }
  if (std::strcmp(argv[1], "wrun") == 0) {
    std::wstring line;
    char digits[5] = {};
    while (std::fread(digits, 1, 4, stdin) == 4) {
      line.push_back(static_cast<wchar_t>(std::strtoul(digits, nullptr, 16)));
    }
    return run<wchar_t, STARTUPINFOW>(&line[0], CreateProcessW);
  }
  return 100;
}
