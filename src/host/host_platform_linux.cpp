#include "host/host_platform.h"

#include <signal.h>

void host_platform_reset_interrupt_signal() { signal(SIGINT, SIG_DFL); }
