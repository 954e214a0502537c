// Operating-system calls of the host kept in one place so a second entry
// (another operating system) swaps only this file: the interrupt signal. The
// core runtime's own calls (thread pinning, the calibration clock) live in
// core/core_platform.h. Main thread; no allocation; nothing fails.
#pragma once

// Sets the interrupt signal back to its default action, so an interrupt ends
// the process at once instead of arriving as a quit event.
void host_platform_reset_interrupt_signal();
