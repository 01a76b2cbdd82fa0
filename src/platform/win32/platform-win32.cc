// Our own operations on Windows, beyond the system's own: there the system already says all of
// it, so most of them have little to do.
#include "platform/platform.h"

void query_process_end(HANDLE, ProcessEnd* end) { *end = ProcessEnd{0, false}; }

// A Windows process has no signal to end by: its exit code is the whole of how it ended.
void end_as_child_ended(const ProcessEnd&) {}
