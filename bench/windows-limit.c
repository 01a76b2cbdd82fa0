/* The physical limit on Windows, which tempova-bench.exe carries inside itself, built twice, and
   writes out to run:
     limit.exe limit CHILD...          starts CHILD between two counter readings
     limit.exe nop                     ends at its entry point, before the C runtime starts: the
                                       no-op child, costing what a process costs and no more
     limit-winmm.exe limit CHILD...    built with TEMPOVA_BENCH_WINMM: the same, importing WINMM
                                       and raising and releasing the timer resolution around the
                                       launch as Tempova does, which must: Tempova's own limit */
#include <windows.h>
#ifdef TEMPOVA_BENCH_WINMM
#include <mmsystem.h>
#endif

#include <string.h>
#include <wchar.h>

#include "platform/win32/stack-guard.h"
#include "windows-limit.h"

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "limit") != 0) return 2;
#ifdef TEMPOVA_BENCH_WINMM
  timeBeginPeriod(1);
  int code = limit_launch();
  timeEndPeriod(1);
  return code;
#else
  return limit_launch();
#endif
}

int mainCRTStartup(void);
__attribute__((no_stack_protector)) int limit_entry(void) {
  if (wcscmp(after_tokens(GetCommandLineW(), 1), L"nop") == 0) ExitProcess(0);
  seed_stack_guard();
  return mainCRTStartup();
}
