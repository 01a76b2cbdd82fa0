/* Runs several commands in interleaved rounds (A B C A B C ...) and prints, for each, the
   medians of its whole-process wall time, of the "time=" it reports (if any), of its peak
   memory and of its minor page faults, and the medians of the per-round ratios of the first
   command's figures to its own.
     harness [-p MS] [-c CPU] [-g COUNT,BYTES,plain|quoted] ROUNDS WARMUP
             LABEL CMD [ARGS...] [--- LABEL CMD [ARGS...]]...
   Output, one line a command: LABEL wall_ms time_ms peak_kib runs wall_ratio time_ratio
   minor_faults (tab-separated; "nan" where a command reports no time, and for the first
   command's ratios). The faults are wait4's ru_minflt: the process's own and those of the
   children it waited for, so that two launchers of the same child differ by their own.
   Standard output of the commands is discarded.
   With -c CPU every command runs pinned to that CPU (the harness pins itself before it starts
   them). With -g every command gets COUNT more arguments of BYTES bytes each: plain letters, or
   (quoted) letters with blanks, quotes and backslashes, so that every argument needs quotes
   and escapes on a Windows command line.
   They are made here because a shell could not pass several commands' megabytes at once.
   The peak memory is wait4's ru_maxrss, which is what GNU time -v reports; but the kernel
   counts into it the pages the process had before its exec, which for a vforked child are
   ours. With -p MS it is instead the process's own high-water mark after its exec (VmHWM),
   read MS milliseconds after the start, while a launcher still waits for its child. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <sched.h>
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
  double* faults;
};

/* COUNT arguments of BYTES bytes each, appended to every command's own; `option` is -g's value,
   COUNT,BYTES,plain|quoted. */
static char** generated = NULL;
static int generated_count = 0;

static int generate(const char* option) {
  int count = 0, bytes = 0;
  char kind[16] = "";
  if (sscanf(option, "%d,%d,%15s", &count, &bytes, kind) != 3 || count < 0 || bytes < 1) return -1;
  int quoted = strcmp(kind, "quoted") == 0;
  if (!quoted && strcmp(kind, "plain") != 0) return -1;
  generated = calloc((size_t)count, sizeof(char*));
  for (int i = 0; i < count; ++i) {
    char* arg = malloc((size_t)bytes + 1);
    for (int j = 0; j < bytes; ++j) {
      char c = (char)('a' + (i + j) % 26);
      /* A blank to quote, quotes with a backslash before them, and a backslash at the end:
         each must be escaped or doubled. */
      if (quoted && j % 25 == 5) c = j % 50 == 5 ? ' ' : '\t';
      if (quoted && j % 40 == 12) c = '"';
      if (quoted && (j % 40 == 11 || j == bytes - 1)) c = '\\';
      arg[j] = c;
    }
    arg[bytes] = '\0';
    generated[i] = arg;
  }
  generated_count = count;
  return 0;
}

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

static int run_once(char** argv, double* wall, double* reported, double* maxrss, double* faults) {
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
  *faults = (double)usage.ru_minflt;
  return 0;
}

static double median_ratio(const double* a, const double* b, int n) {
  double* ratios = calloc((size_t)n, sizeof(double));
  for (int i = 0; i < n; ++i) ratios[i] = a[i] / b[i];
  double m = median(ratios, n);
  free(ratios);
  return m;
}

int main(int argc, char** argv) {
  while (argc > 2 && argv[1][0] == '-' && argv[1][1] != '\0' && argv[1][2] == '\0') {
    char option = argv[1][1];
    if (option == 'p') {
      peek_ms = atoi(argv[2]);
    } else if (option == 'c') {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(atoi(argv[2]), &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) {
        perror("harness: sched_setaffinity");
        return 2;
      }
    } else if (option != 'g' || generate(argv[2]) != 0) {
      break;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 5) {
    fprintf(stderr,
            "usage: harness [-p MS] [-c CPU] [-g COUNT,BYTES,plain|quoted] ROUNDS WARMUP LABEL "
            "CMD [ARGS...] [--- LABEL CMD...]...\n");
    return 2;
  }
  int rounds = atoi(argv[1]), warmup = atoi(argv[2]);
  struct Command commands[kMaxCommands];
  int count = 0;
  for (int i = 3; i < argc && count < kMaxCommands;) {
    struct Command* c = &commands[count++];
    c->label = argv[i++];
    int first = i;
    while (i < argc && strcmp(argv[i], "---") != 0) ++i;
    int own = i - first;
    if (i < argc) ++i;
    c->argv = calloc((size_t)(own + generated_count + 1), sizeof(char*));
    memcpy(c->argv, argv + first, (size_t)own * sizeof(char*));
    memcpy(c->argv + own, generated, (size_t)generated_count * sizeof(char*));
    c->wall = calloc(rounds, sizeof(double));
    c->reported = calloc(rounds, sizeof(double));
    c->maxrss = calloc(rounds, sizeof(double));
    c->faults = calloc(rounds, sizeof(double));
  }
  for (int round = -warmup; round < rounds; ++round) {
    for (int k = 0; k < count; ++k) {
      struct Command* c = &commands[k];
      double wall, reported, maxrss, faults;
      if (run_once(c->argv, &wall, &reported, &maxrss, &faults) != 0) {
        fprintf(stderr, "harness: %s did not exit 0\n", c->label);
        return 1;
      }
      if (round < 0) continue;
      c->wall[round] = wall;
      c->reported[round] = reported;
      c->maxrss[round] = maxrss;
      c->faults[round] = faults;
    }
  }
  /* The paired ratios first: the medians below sort each command's figures in place. */
  double wall_ratio[kMaxCommands], time_ratio[kMaxCommands];
  for (int k = 0; k < count; ++k) {
    wall_ratio[k] = k ? median_ratio(commands[0].wall, commands[k].wall, rounds) : NAN;
    time_ratio[k] = k ? median_ratio(commands[0].reported, commands[k].reported, rounds) : NAN;
  }
  for (int k = 0; k < count; ++k) {
    struct Command* c = &commands[k];
    printf("%s\t%.6f\t%.6f\t%.0f\t%d\t%.4f\t%.4f\t%.0f\n", c->label, median(c->wall, rounds),
           median(c->reported, rounds), median(c->maxrss, rounds), rounds, wall_ratio[k],
           time_ratio[k], median(c->faults, rounds));
  }
  return 0;
}
