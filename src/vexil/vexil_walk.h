// The sequence walk: on every initialised update of either kind, the cleanup,
// prepare and running calls of the rows' scenes against the music clock, loading
// each scene when it is first due and recording each call's cycles. Called by the
// runtime's update on the main thread; allocates nothing itself; a scene that fails
// stops the program in its own code.
#pragma once

#include "vexil/vexil.h"

void vexil_run_sequence(vexil* d, vexil_args* args);
