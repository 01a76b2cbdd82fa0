/* Runs several commands in interleaved rounds (A B C A B C ...) and prints, for each, the
   medians of its whole-process wall time, of the "time=" it reports (if any) and of its peak
   memory.
     harness [-p MS] ROUNDS WARMUP LABEL CMD [ARGS...] [--- LABEL CMD [ARGS...]]...
   Output, one line a command: LABEL wall_ms time_ms peak_kib runs (tab-separated; "nan"
   where a command reports no time). Standard output of the commands is discarded.
   The peak memory is wait4's ru_maxrss, which is what GNU time -v reports; but the kernel
   counts into it the pages the process had before its exec, which for a vforked child are
   ours. With -p MS it is instead the process's own high-water mark after its exec (VmHWM),
   read MS milliseconds after the start, while a launcher still waits for its child. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <math.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMaxCommands = 16 };

struct Command {
  const char* label;
  char** argv;
  double* wall;
  double* reported;
  double* maxrss;
};

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC_RAW, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int compare(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static double median(double* values, int n) {
  qsort(values, n, sizeof *values, compare);
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

/* Runs one command; returns 0 and fills the figures, or -1 when it did not exit 0. */
static int peek_ms = 0;

static double high_water_kib(pid_t pid) {
  char path[64], line[256];
  double kib = NAN;
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* status = fopen(path, "re");
  if (!status) return kib;
  while (fgets(line, sizeof line, status)) {
    if (strncmp(line, "VmHWM:", 6) == 0) kib = strtod(line + 6, NULL);
  }
  fclose(status);
  return kib;
}

static int run_once(char** argv, double* wall, double* reported, double* maxrss) {
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  char text[4096];
  size_t length = 0;
  pid_t pid;
  int status;
  struct rusage usage;
  double start = now_ms();
  int spawned = posix_spawn(&pid, argv[0], &actions, NULL, argv, environ);
  close(err[1]);
  double high_water = NAN;
  if (spawned == 0 && peek_ms > 0) {
    struct timespec pause = {peek_ms / 1000, (peek_ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
    high_water = high_water_kib(pid);
  }
  if (spawned == 0) {
    ssize_t n;
    while ((n = read(err[0], text + length, sizeof text - 1 - length)) > 0) length += (size_t)n;
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
  }
  double end = now_ms();
  close(err[0]);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;

  text[length] = '\0';
  const char* time = strstr(text, "time=");
  *wall = end - start;
  *reported = time ? strtod(time + 5, NULL) : NAN;
  *maxrss = peek_ms > 0 ? high_water : (double)usage.ru_maxrss;
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 2 && strcmp(argv[1], "-p") == 0) {
    peek_ms = atoi(argv[2]);
    argc -= 2;
    argv += 2;
  }
  if (argc < 5) {
    fprintf(stderr,
            "usage: harness [-p MS] ROUNDS WARMUP LABEL CMD [ARGS...] [--- LABEL CMD...]...\n");
    return 2;
  }
  int rounds = atoi(argv[1]), warmup = atoi(argv[2]);
  struct Command commands[kMaxCommands];
  int count = 0;
  for (int i = 3; i < argc && count < kMaxCommands;) {
    struct Command* c = &commands[count++];
    c->label = argv[i++];
    c->argv = argv + i;
    while (i < argc && strcmp(argv[i], "---") != 0) ++i;
    if (i < argc) argv[i++] = NULL;
    c->wall = calloc(rounds, sizeof(double));
    c->reported = calloc(rounds, sizeof(double));
    c->maxrss = calloc(rounds, sizeof(double));
  }
  for (int round = -warmup; round < rounds; ++round) {
    for (int k = 0; k < count; ++k) {
      struct Command* c = &commands[k];
      double wall, reported, maxrss;
      if (run_once(c->argv, &wall, &reported, &maxrss) != 0) {
        fprintf(stderr, "harness: %s did not exit 0\n", c->label);
        return 1;
      }
      if (round < 0) continue;
      c->wall[round] = wall;
      c->reported[round] = reported;
      c->maxrss[round] = maxrss;
    }
  }
  for (int k = 0; k < count; ++k) {
    struct Command* c = &commands[k];
    printf("%s\t%.6f\t%.6f\t%.0f\t%d\n", c->label, median(c->wall, rounds),
           median(c->reported, rounds), median(c->maxrss, rounds), rounds);
  }
  return 0;
}
