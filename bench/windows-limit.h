/* The physical limit on Windows, shared by the benchmark's two programs: counter,
   CreateProcess, WaitForSingleObject, counter, and "time=" on standard error. */
#ifndef TEMPOVA_BENCH_WINDOWS_LIMIT_H_
#define TEMPOVA_BENCH_WINDOWS_LIMIT_H_

#include <windows.h>

/* The command line after the first `skip` tokens (a token: up to the next blank, or quoted). */
static const wchar_t* after_tokens(const wchar_t* line, int skip) {
  while (skip-- > 0) {
    while (*line == L' ' || *line == L'\t') ++line;
    if (*line == L'"') {
      ++line;
      while (*line && *line != L'"') ++line;
      if (*line) ++line;
    } else {
      while (*line && *line != L' ' && *line != L'\t') ++line;
    }
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

/* Starts the rest of our command line after its first two tokens (our name and our mode),
   waits, writes how long that took, and returns the child's exit code. */
static int limit_launch(void) {
  wchar_t* child_line = (wchar_t*)after_tokens(GetCommandLineW(), 2);
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  PROCESS_INFORMATION child;
  LARGE_INTEGER before, after, frequency;
  QueryPerformanceCounter(&before);
  if (!CreateProcessW(NULL, child_line, NULL, NULL, TRUE,
                      CREATE_DEFAULT_ERROR_MODE | NORMAL_PRIORITY_CLASS, NULL, NULL, &startup,
                      &child)) {
    return 121;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  QueryPerformanceCounter(&after);
  QueryPerformanceFrequency(&frequency);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  /* "time=" in milliseconds with six decimals, written once; by hand, so that no C library
     formatting (and its set-up) is part of the limit's cost. */
  unsigned long long ns = (unsigned long long)(after.QuadPart - before.QuadPart) * 1000000000ull /
                          (unsigned long long)frequency.QuadPart;
  char line[48] = "time=";
  char digits[24];
  int n = 0;
  for (unsigned long long ms = ns / 1000000; n == 0 || ms; ms /= 10)
    digits[n++] = (char)('0' + ms % 10);
  int length = 5;
  while (n) line[length++] = digits[--n];
  line[length++] = '.';
  for (unsigned long long scale = 100000, rest = ns % 1000000; scale; scale /= 10) {
    line[length++] = (char)('0' + rest / scale % 10);
  }
  line[length++] = '\n';
  DWORD written;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)length, &written, NULL);
  return (int)code;
}

#endif /* TEMPOVA_BENCH_WINDOWS_LIMIT_H_ */
