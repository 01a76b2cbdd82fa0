// A child for the end-to-end tests: it reports what it was given and ends as it is told.
//   probe args ARG...      each argument, NUL-terminated, on standard output
//   probe exit N           exits with N
//   probe signal N         dies by signal N
//   probe dump N           dies by signal N, leaving a core file where the system lets it
//   probe affinity         its CPU list, e.g. "0,1"
//   probe parent-affinity  its parent's CPU list as the kernel writes it, e.g. "0-1"
//   probe signals          for each of signals 1..31: "I" ignored, "D" default, "H" handled,
//                          then "B" blocked or "-" not blocked, one line a signal
//   probe fds              its open descriptors, e.g. "0 1 2"
//   probe cat              copies standard input to standard output
//   probe env NAME         the variable's value
//   probe cwd              its directory
//   probe stderr TEXT      writes TEXT and a newline on standard error
//   probe sleep MS         sleeps, then exits 0
//   probe wait             says "ready" on standard output, then waits for a signal
#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "args") {
    for (int i = 2; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, stdout);
    return 0;
  }
  if (mode == "exit" && argc == 3) return static_cast<int>(std::strtol(argv[2], nullptr, 10));
  // A death by signal leaves no core file of the probe's own, but where it is asked for: the
  // launcher's is what is tested.
  if (mode != "dump") {
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
  }
  if ((mode == "signal" || mode == "dump") && argc == 3) {
    int sig = static_cast<int>(std::strtol(argv[2], nullptr, 10));
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    return 101;
  }
  if (mode == "affinity") {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 102;
    const char* separator = "";
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &set)) {
        std::printf("%s%d", separator, cpu);
        separator = ",";
      }
    }
    std::printf("\n");
    return 0;
  }
  if (mode == "parent-affinity") {
    std::string path = "/proc/" + std::to_string(getppid()) + "/status";
    FILE* status = std::fopen(path.c_str(), "re");
    if (!status) return 105;
    char line[4096];
    while (std::fgets(line, sizeof line, status)) {
      if (std::strncmp(line, "Cpus_allowed_list:", 18) == 0) {
        std::fputs(line + 18 + std::strspn(line + 18, " \t"), stdout);
      }
    }
    std::fclose(status);
    return 0;
  }
  if (mode == "signals") {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (int sig = 1; sig < 32; ++sig) {
      struct sigaction action;
      sigaction(sig, nullptr, &action);
      char disposition = action.sa_handler == SIG_IGN   ? 'I'
                         : action.sa_handler == SIG_DFL ? 'D'
                                                        : 'H';
      std::printf("%d %c%c\n", sig, disposition, sigismember(&blocked, sig) ? 'B' : '-');
    }
    return 0;
  }
  if (mode == "fds") {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 103;
    std::string list;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
      list += (list.empty() ? "" : " ") + std::string(entry->d_name);
    }
    closedir(dir);
    std::printf("%s\n", list.c_str());
    return 0;
  }
  if (mode == "cat") {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) std::fwrite(buffer, 1, n, stdout);
    return 0;
  }
  if (mode == "env" && argc == 3) {
    const char* value = std::getenv(argv[2]);
    std::printf("%s\n", value ? value : "(unset)");
    return 0;
  }
  if (mode == "cwd") {
    char buffer[4096];
    if (!getcwd(buffer, sizeof buffer)) return 104;
    std::printf("%s\n", buffer);
    return 0;
  }
  if (mode == "stderr" && argc == 3) {
    std::fprintf(stderr, "%s\n", argv[2]);
    return 0;
  }
  if (mode == "sleep" && argc == 3) {
    long ms = std::strtol(argv[2], nullptr, 10);
    timespec duration{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&duration, &duration) != 0) {
    }
    return 0;
  }
  if (mode == "wait") {
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
  }
  return 100;
}
