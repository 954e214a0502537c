// "sequence.csv": the text parsed into rows, labels and barriers, and every row's
// start, end and prepare time resolved into 22050 Hz frames (music sync included).
// Called by the runtime's first loading step and the loading scenes' label lookup,
// main thread only; rows and strings go to the arena given, tokens to the scratch
// arena. Bad times, labels and barriers stop through the crash path; a missing comma
// or integer prints its message on standard error and exits 1.
#pragma once

#include "core/memarena.h"
#include "vexil/vexil.h"

// Parses the text into seq; path is named in messages.
void vexil_load_sequence(vexil_sequence* seq, char* raw_sequence_text, const char* path, memarena* arena,
                         memarena* tmp_arena);
char* vexil_sequence_parse_label(char** s, memarena* arena);
char* vexil_csv_parse_str_trim(char** s, const char* str_default, memarena* arena);
int vexil_csv_parse_int(char** s, int line, const char* path);
void vexil_csv_parse_comma(char** s, int line, const char* path);
// The first label of exactly that name, or null.
vexil_sequence_label* vexil_sequence_find_label(vexil_sequence* seq, const char* name);
