// The table of the 27 scene kinds, in the order the name lookup searches, and the
// registration step that hands it to a runtime record. Read by the runtime's first
// loading step (and by tools that list the kinds); a constant table, no memory,
// cannot fail.
#pragma once

#include "vexil/vexil.h"
#include "vexil/vexil_scene_load.h"

#define VEXIL_BINDINGS_COUNT 27
extern const vexil_binding_func bindings[VEXIL_BINDINGS_COUNT];
extern const int bindings_count;

// Points d's bindings at the table.
void vexil_bindings_register(vexil* d);
