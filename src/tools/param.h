// Registry of named tuning parameters (int, float, vec3), each defined once by id with a default and
// read every frame; integer values reload from a text file of "id value" lines, and blocks of
// definitions can ask whether a value changed. Called by tuning code; entries from the registry's
// arena, never freed, ids are the caller's strings. Main thread. An unknown type, or one id defined
// with two types, ends the program with a message.
#pragma once

#include <cstdint>

struct memarena;

#define PARAM_TYPE_INT 1
#define PARAM_TYPE_FLOAT 2
#define PARAM_TYPE_VEC3 3

struct param_entry {
    int type;  // PARAM_TYPE_*
    int size;  // bytes of the value
    void* value;
    const char* id;
    void* default_value;
    int value_changed;
    param_entry* next;
    param_entry* prev;
};

struct param {
    memarena* arena;
    param_entry* root;
    param_entry* tail;
    int scope_begin;
    int scope_any_value_changed;
};

void param_init(param* ctx, memarena* arena);
// Clears every entry's value_changed.
void param_frame_begin(param* ctx);
void param_block_begin(param* ctx);
int param_block_changed(const param* ctx);

// The entry of id, made with the default when new; its value is copied to var.
param_entry* param_define(param* ctx, void* var, const char* id, const void* default_value_value, int type);
// param_define with types 1, 2 and 3; each returns the entry's value_changed.
int param_int(param* ctx, int* val, const char* id, int default_value);
int param_float(param* ctx, float* val, const char* id, float default_value);
int param_vec3(param* ctx, float* val, const char* id, const float* default_value);
// 4 for int and float, 12 for vec3; any other type prints
// "unhandled type %d in param_value_size" and exits with status 1.
int param_value_size(int type);

// Sets integer parameters from the lines of a text file: blanks, the id,
// blanks, a decimal value. Unknown ids, other types and values that are not a
// whole decimal int leave the registry alone. The file is read into tmp_arena,
// rewound on return; a missing file changes nothing.
void param_read_values(param* ctx, const char* path, memarena* tmp_arena);

// Scanners over NUL-terminated text; blanks are space and tab only, and none
// of them passes the terminating NUL.
const char* scan_past_whitespace(const char* s);
const char* scan_to_first_whitespace(const char* s);
// Stops also at a line end ("\n" or "\r").
const char* scan_to_first_whitespace_or_line(const char* s);
// The start of the next line (or the terminating NUL).
const char* scan_to_next_line(const char* s);
