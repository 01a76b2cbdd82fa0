// What the files of the Linux emulation share with each other. Not part of the contract that
// platform.h states: the launcher never includes this.
#ifndef TEMPOVA_PLATFORM_POSIX_EMULATION_H_
#define TEMPOVA_PLATFORM_POSIX_EMULATION_H_

#include <sys/types.h>

#include "platform/platform.h"
#include "platform/posix/command-line.h"

// Our own command line (own-command-line.cc).

/// The line GetCommandLineA built, with the vector it was built from; empty until then.
const OwnCommandLine& own_command_line();

/// Reads /proc/self/cmdline into a vector of its NUL-terminated strings, null-terminated, kept
/// for the process's life. False, with the last error set, when it cannot be read.
bool read_proc_arguments(int* argc, char*** argv);

// Starting a child (spawn.cc).

/// What the child needs, all prepared by the parent: between vfork and exec the child may not
/// allocate.
struct SpawnPlan {
  const char* path;    ///< a path to exec as it is, or null to search PATH for argv[0]
  const char* search;  ///< the PATH list to search
  char* candidate;     ///< PATH_MAX bytes of room for one directory, a slash and the name
  char* const* argv;
};

/// Starts the plan's program and returns its pid, or -1 with the error of the failed exec (or
/// of vfork) in errno: a program that cannot run is never a child that exits 127.
pid_t spawn(const SpawnPlan* plan);

// Console control (console.cc).

/// Our catcher of Ctrl-C, run in a child between vfork and exec, never calls the routine: it gives
/// the signal its default action there, so that the child ends by it. Exec then resets it.

/// In a child between vfork and exec: a Ctrl-C that the routine took before any child started
/// is sent to the child, which ends by it. Async-signal-safe.
void give_missed_ctrl_signal_to_child();

/// In the parent once a child has started: a Ctrl-C taken before is the child's now, and the
/// routine's later ones are not missed by any command.
void note_child_started();

// CPU affinity (affinity.cc).

/// In a child between vfork and exec: gives it back the CPU set we started with, if we have
/// pinned ourselves since. Async-signal-safe, allocates nothing.
void restore_start_cpus_in_child();

#endif  // TEMPOVA_PLATFORM_POSIX_EMULATION_H_
