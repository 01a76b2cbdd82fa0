// The stack protector's guard on Windows, seeded at our entry point before anything it protects
// runs. MinGW's own runtime for it (libssp) seeds it with the CryptoAPI, whose provider DLLs
// (rsaenh, crypt32, bcrypt) cost a start-up as long as much of the rest of ours; the system's
// random generator gives the same guard without them.
#include "platform/win32/stack-guard.h"

#include <cstdint>

#include "platform/platform.h"

extern "C" {

// Read by every protected function; replaced before main runs. Not zero before: a guard of 0
// would let a string's NUL through.
std::uintptr_t __stack_chk_guard = 0x2f8b3c1a7e64d905;

}  // extern "C"

namespace {

// As the Microsoft runtime ends a process whose stack or buffer was overrun: at once, with
// STATUS_STACK_BUFFER_OVERRUN, and nothing of ours running on memory that is not to be trusted.
[[noreturn]] void fail_fast(unsigned code) {
#if defined(__x86_64__) || defined(__i386__)
  // __fastfail, which this C runtime's headers lack.
  __asm__ volatile("int $0x29" : : "c"(code) : "memory");
#else
  (void)code;
#endif
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

}  // namespace

extern "C" {

[[noreturn]] void __stack_chk_fail() { fail_fast(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE); }

// What fortified C library calls (_FORTIFY_SOURCE) call when a buffer is too small.
[[noreturn]] void __chk_fail() { fail_fast(FAST_FAIL_RANGE_CHECK_FAILURE); }

// RtlGenRandom, the system's random generator, as advapi32 exports it.
BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// The C runtime's own entry point, for wmain as for main.
int mainCRTStartup();

}  // extern "C"

// Neither function may be protected: each would check, on return, the guard it replaced.
__attribute__((no_stack_protector)) void seed_stack_guard() {
  std::uintptr_t guard = 0;
  if (SystemFunction036(&guard, sizeof guard) && guard != 0) __stack_chk_guard = guard;
}

extern "C" __attribute__((no_stack_protector)) int tempova_entry() {
  seed_stack_guard();
  return mainCRTStartup();
}
