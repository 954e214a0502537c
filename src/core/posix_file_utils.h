// Whole-file reading (measure, then read in one call) and path joining, for the
// asset loaders, the pack reader and the production's file paths. Blocks come from
// the caller or from the arena given; failures are reported by the result and a
// message on standard output, never by stopping the program. Only regular files
// are read: a directory or anything that cannot be measured fails like a missing
// file. Main thread only.
#pragma once

#include <cstdint>

#include "core/memarena.h"

// Pushes strlen(a) + strlen(b) + 2 bytes holding a, "/", b and a NUL.
char* file_path_join(memarena* arena, const char* a, const char* b);
// The last "." of a and what follows, copied with a NUL; a path without a dot gives "".
char* file_path_ext(memarena* arena, const char* a);
// Reads the whole file into out (out null: only measures). 0 on success, 1 on failure.
int file_open_read_close(const char* path, void* out, uint64_t* out_fsize);
// The whole file in a new block of size + 1 bytes, NUL after the data; null on failure.
char* file_text_open_read_close(const char* path, memarena* arena);
// The whole file in a new block; the size is stored in out_fsize. One zero byte
// follows the data inside the block (not counted in the size). An empty file
// gives null with size 0.
uint8_t* file_open_read_close_ex(const char* path, memarena* arena, uint64_t* out_fsize);
// The first n bytes of the file into dst. 0 on success, 1 on failure.
int file_open_read_n_close(void* dst, const char* path, uint64_t n);
