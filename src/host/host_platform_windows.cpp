#include "host/host_platform.h"

// The Windows build leaves the interrupt signal as SDL set it: Ctrl-C arrives
// as a quit event, and the program ends through its exit sequence.
void host_platform_reset_interrupt_signal() {}
