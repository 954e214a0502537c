// Operating-system calls of the host kept in one place, one file per system
// (host_platform_linux.cpp, host_platform_windows.cpp): the interrupt signal.
// The core runtime's own calls (thread pinning, the calibration clock) live in
// core/core_platform.h. Main thread; no allocation; nothing fails.
#pragma once

// Linux: sets the interrupt signal back to its default action, so an interrupt
// ends the process at once instead of arriving as a quit event. Windows: does
// nothing (SDL's handler stays and an interrupt is a quit event).
void host_platform_reset_interrupt_signal();
