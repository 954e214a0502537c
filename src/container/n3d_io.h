// Asset file container: the endian marker (IO_ENDIAN_MARKER in the writer's
// mode) followed by one record whose 16- and 32-bit fields follow that mode.
// Called by the texture, mesh, datapack, palette, palette-animation and font
// loaders and writers. The loaded file stays whole in the caller's arena.
// Unreadable files give result 1 after a message on standard output; an unknown
// marker ends the program through n3d_crash with "invalid endian marker?" and a
// line naming the file. Main thread only.
#pragma once

#include <cstdint>

#include "core/io.h"
#include "core/memarena.h"

// Reads the whole file into the arena. 0 on success: out_buffer is the byte
// after the marker, out_size the file size minus 4, out_endian the mode. 1 when
// the file cannot be opened or read or is shorter than the 4 marker bytes (an
// empty file included); the arena keeps what was pushed.
int n3d_io_load_file(const char* path, memarena* arena, uint8_t** out_buffer, uint64_t* out_size, int* out_endian);

// Writes the marker in mode endian, then the record bytes [buffer_start,
// buffer_end), and prints "wrote %lu bytes to \"%s\"\n" with the record bytes
// written. 0 on success; 1 when the file cannot be opened, the marker or the
// record is written short, or the file does not close cleanly.
int n3d_io_store_file(const char* path, const uint8_t* buffer_start, const uint8_t* buffer_end, int endian);

// The mode of a file's marker (-1 for an unknown marker, unchecked). A file
// whose first 4 bytes cannot be read ends the program through mycrash.
int n3d_io_get_endian_from_file(const char* path);

// The mode of the marker at the start of data, an asset file held in memory
// (size bytes): -1 when fewer than 4 bytes are there or the marker is unknown.
int n3d_io_endian_from_buffer(const uint8_t* data, uint64_t size);
