// The stack protector's runtime on Windows, in place of MinGW's libssp: the guard, its check's
// failure, and the entry point that seeds the guard before the C runtime starts.
#ifndef TEMPOVA_PLATFORM_WIN32_STACK_GUARD_H_
#define TEMPOVA_PLATFORM_WIN32_STACK_GUARD_H_

#ifdef __cplusplus
extern "C" {
#endif

/// Seeds the guard from the system's random generator. Called first thing at an entry point,
/// before anything that the guard protects can be on the stack; the caller must not be
/// protected itself.
void seed_stack_guard(void);

/// tempova.exe's entry point: seeds the guard, then starts the C runtime, which calls wmain.
int tempova_entry(void);

#ifdef __cplusplus
}
#endif

#endif  // TEMPOVA_PLATFORM_WIN32_STACK_GUARD_H_
