// Our argument vector as /proc holds it, for where the C library's start-up code does not hand
// it over.
#ifndef TEMPOVA_PLATFORM_POSIX_PROC_ARGUMENTS_H_
#define TEMPOVA_PLATFORM_POSIX_PROC_ARGUMENTS_H_

/// Reads /proc/self/cmdline into a vector of its NUL-terminated strings, null-terminated, kept
/// for the process's life. False, with the last error set, when it cannot be read.
bool read_proc_arguments(int* argc, char*** argv);

#endif  // TEMPOVA_PLATFORM_POSIX_PROC_ARGUMENTS_H_
