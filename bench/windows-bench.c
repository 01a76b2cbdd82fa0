/* The benchmark on Windows, one program to run beside tempova.exe:
     tempova-bench [ROUNDS [OTHER]]   (default 200 rounds, after a tenth as many of warm-up;
                                      OTHER: another tempova.exe to measure in the same rounds)
   It runs, interleaved and over the same no-op child,
     tempova.exe CHILD                  Tempova itself, found beside this program
     limit.exe limit CHILD              the plain physical limit: counter, CreateProcess,
                                        WaitForSingleObject, counter (windows-limit.c)
     limit-winmm.exe limit CHILD        the same, importing WINMM and raising the timer
                                        resolution as Tempova must: Tempova's own limit
   and prints for each the medians of its window (the time= it reports) and of its whole process
   (this program's counter around its start and end), then the medians of the per-round ratios
   of Tempova's figures to each limit's. Every process runs on the processor Tempova pins itself
   to, the first this process may use: without that, Tempova's pin alone would move the figures.
   The two limits, built as Tempova is, travel inside this program as resources and are written
   to a folder of their own for the run; limit.exe is also the no-op child. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum { kMaxCommands = 4, kLineSize = 3 * MAX_PATH + 64 };

static double counter_ms(void) {
  static LARGE_INTEGER frequency;
  LARGE_INTEGER now;
  if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

/* Writes the program this one carries as resource `id` to `path` in `folder`. Returns 0, or -1. */
static int write_resource(int id, const wchar_t* folder, const wchar_t* name, wchar_t* path) {
  HRSRC found = FindResourceW(NULL, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  HGLOBAL loaded = found ? LoadResource(NULL, found) : NULL;
  const void* bytes = loaded ? LockResource(loaded) : NULL;
  DWORD size = found ? SizeofResource(NULL, found) : 0;
  if (!bytes || !size) return -1;
  swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD written = 0;
  BOOL ok = WriteFile(file, bytes, size, &written, NULL) && written == size;
  return CloseHandle(file) && ok ? 0 : -1;
}

/* Runs `line` with its standard error read from a pipe; fills the whole-process time and the
   time= it reported. Returns 0, or -1 (and says what went wrong) when it did not start, did not
   exit 0 or reported no time. */
static int run_once(const char* label, wchar_t* line, double* whole, double* window) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 1 << 16)) return -1;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {0};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = write_end;
  PROCESS_INFORMATION process;
  double start = counter_ms();
  BOOL started = CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
  CloseHandle(write_end);
  char text[4096];
  DWORD length = 0, n;
  while (started && length < sizeof text - 1 &&
         ReadFile(read_end, text + length, (DWORD)(sizeof text - 1 - length), &n, NULL) && n) {
    length += n;
  }
  if (started) WaitForSingleObject(process.hProcess, INFINITE);
  double end = counter_ms();
  CloseHandle(read_end);
  if (!started) {
    fprintf(stderr, "tempova-bench: %s did not start (%lu)\n", label, GetLastError());
    return -1;
  }
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  text[length] = '\0';
  const char* time = strstr(text, "time=");
  *whole = end - start;
  *window = time ? strtod(time + 5, NULL) : 0.0;
  if (code == 0 && time) return 0;
  fprintf(stderr, "tempova-bench: %s exited %lu and wrote:\n%s\n", label, code, text);
  return -1;
}

static int compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double median(const double* values, int n) {
  double* sorted = malloc((size_t)n * sizeof *sorted);
  memcpy(sorted, values, (size_t)n * sizeof *sorted);
  qsort(sorted, (size_t)n, sizeof *sorted, compare);
  double m = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  free(sorted);
  return m;
}

static double median_ratio(const double* a, const double* b, int n) {
  double* ratios = malloc((size_t)n * sizeof *ratios);
  for (int i = 0; i < n; ++i) ratios[i] = a[i] / b[i];
  double m = median(ratios, n);
  free(ratios);
  return m;
}

static int measure(int rounds, int commands, const char* const* labels,
                   wchar_t lines[][kLineSize]) {
  int warmup = rounds / 10;
  double* whole[kMaxCommands];
  double* window[kMaxCommands];
  for (int k = 0; k < commands; ++k) {
    whole[k] = calloc((size_t)rounds, sizeof(double));
    window[k] = calloc((size_t)rounds, sizeof(double));
  }
  for (int round = -warmup; round < rounds; ++round) {
    for (int k = 0; k < commands; ++k) {
      double w, t;
      if (run_once(labels[k], lines[k], &w, &t) != 0) return 1;
      if (round < 0) continue;
      whole[k][round] = w;
      window[k][round] = t;
    }
  }
  printf(
      "rounds: %d interleaved, after %d of warm-up; medians in ms, every process on the\n"
      "processor tempova pins itself to; the child does nothing\n",
      rounds, warmup);
  printf("  %-14s %10s %10s\n", "", "window", "whole");
  for (int k = 0; k < commands; ++k) {
    printf("  %-14s %10.3f %10.3f\n", labels[k], median(window[k], rounds),
           median(whole[k], rounds));
  }
  printf("medians of paired ratios:\n");
  for (int k = 1; k < commands; ++k) {
    printf("  tempova / %-14s window %.3f   whole %.3f\n", labels[k],
           median_ratio(window[0], window[k], rounds), median_ratio(whole[0], whole[k], rounds));
  }
  return 0;
}

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 200;
  if (rounds < 1 || argc > 3) {
    fprintf(stderr, "usage: tempova-bench [ROUNDS [OTHER-TEMPOVA.EXE]]\n");
    return 2;
  }

  /* The processor Tempova pins itself to; our children inherit the process's affinity. */
  DWORD_PTR process_mask = 0, system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask) {
    SetProcessAffinityMask(GetCurrentProcess(), process_mask & (~process_mask + 1));
  }

  wchar_t self[MAX_PATH], tempova[MAX_PATH], temp[MAX_PATH], folder[MAX_PATH];
  wchar_t plain[MAX_PATH], winmm[MAX_PATH];
  if (!GetModuleFileNameW(NULL, self, MAX_PATH)) return 3;
  wcscpy(tempova, self);
  wchar_t* slash = wcsrchr(tempova, L'\\');
  wcscpy(slash ? slash + 1 : tempova, L"tempova.exe");
  if (GetFileAttributesW(tempova) == INVALID_FILE_ATTRIBUTES) {
    fprintf(stderr, "tempova-bench: no tempova.exe beside this program\n");
    return 3;
  }
  if (!GetTempPathW(MAX_PATH, temp)) return 3;
  swprintf(folder, MAX_PATH, L"%lstempova-bench-%lu", temp, GetCurrentProcessId());
  /* All three in one folder, so that where a program lies (its folder is searched first for the
     DLLs it imports) weighs the same on each. */
  wchar_t tempova_copy[MAX_PATH];
  swprintf(tempova_copy, MAX_PATH, L"%ls\\tempova.exe", folder);
  if (!CreateDirectoryW(folder, NULL) || write_resource(1, folder, L"limit.exe", plain) != 0 ||
      write_resource(2, folder, L"limit-winmm.exe", winmm) != 0 ||
      !CopyFileW(tempova, tempova_copy, TRUE)) {
    fprintf(stderr, "tempova-bench: could not write the programs to %ls\n", folder);
    return 3;
  }
  static const char* const labels[kMaxCommands] = {"tempova", "limit", "limit + WINMM", "other"};
  static wchar_t lines[kMaxCommands][kLineSize];
  swprintf(lines[0], kLineSize, L"\"%ls\" \"%ls\" nop", tempova_copy, plain);
  swprintf(lines[1], kLineSize, L"\"%ls\" limit \"%ls\" nop", plain, plain);
  swprintf(lines[2], kLineSize, L"\"%ls\" limit \"%ls\" nop", winmm, plain);
  if (argc > 2) swprintf(lines[3], kLineSize, L"\"%hs\" \"%ls\" nop", argv[2], plain);
  int status = measure(rounds, argc > 2 ? 4 : 3, labels, lines);
  DeleteFileW(plain);
  DeleteFileW(winmm);
  DeleteFileW(tempova_copy);
  RemoveDirectoryW(folder);
  return status;
}
