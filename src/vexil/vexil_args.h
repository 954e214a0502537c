// The argument parsers of the scene kinds: integers, floats, strings and "#RRGGBBAA"
// colours read one by one from a sequence row's comma-separated argument text, and
// the mix used by the scenes. Called by the scene parsers and the sequence loader
// on the main thread; strings go to the arena given. Text that is not a value of
// the asked type stops through the crash path, naming the row's line.
#pragma once

#include <cstdint>

#include "core/linmath.h"
#include "core/memarena.h"
#include "vexil/vexil.h"

// A parsed "#RRGGBBAA" colour.
struct vexil_color {
    uint32_t rgba8888;  // 0xRRGGBBAA
    vec4 linear;        // linear light, premultiplied
    uint16_t argb1555;  // alpha bit set when alpha > 127, then the top 5 bits of r, g, b
};

// Each reads at *s inside row->args and advances the cursor past one comma.
// parse_arg_int adds one to *int_count for every integer read.
int parse_arg_int(int* int_count, char** s, vexil_sequence_row* row);
float parse_arg_float(char** s, vexil_sequence_row* row);
char* parse_arg_str(char** s, vexil_sequence_row* row, memarena* arena);
vexil_color parse_arg_color(char** s, vexil_sequence_row* row, memarena* tmp_arena);
// 0 on success ("0"-"9", "a"-"f", "A"-"F").
int vexil_hexchr_to_int(int* result, char c);

// a + (b - a) x t with t clamped to [0, 1].
float mix(float a, float b, float t);
