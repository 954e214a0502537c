// Pack files ("pak%d.vxf") read by the production's resource cache, the offline pack
// writer of the tools and the payload decompressor. A pack is read whole into an arena
// once; its directory, checked against the file's size first, maps (kind, name) to
// payloads in the image, which never moves. Main thread only (the audio thread reads
// music payloads in place). A bad pack stops through the crash path; the
// decompressor reports bad input by result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/memarena.h"

// Resource kinds: a directory entry's tag and the kind of a request.
#define VEXIL_RSRC_KIND_STENCIL 0
#define VEXIL_RSRC_KIND_TEXTURE 1
#define VEXIL_RSRC_KIND_PALETTE_ANIMATION 2
#define VEXIL_RSRC_KIND_PALETTE 3
#define VEXIL_RSRC_KIND_RLE_IMAGE 4
#define VEXIL_RSRC_KIND_IMAGE 5
#define VEXIL_RSRC_KIND_MADPACK 6
#define VEXIL_RSRC_KIND_FONT 7
#define VEXIL_RSRC_KIND_MUSIC 8
#define VEXIL_RSRC_KIND_TEXT 9

// Bytes of one directory entry in the file, and of the marker plus count.
#define VEXIL_FS_ENTRY_FILE_SIZE 16
#define VEXIL_FS_HEADER_FIXED_SIZE 8

struct vexil_fs_entry {
    uint32_t flags;      // written as 0, not read
    uint16_t tag;        // resource kind
    uint16_t name_size;  // name length including its NUL
    uint32_t offset;     // payload offset from the start of the file
    uint32_t size;       // payload bytes
    char* name;          // copied into the arena
    uint8_t* data;       // payload inside the file image (reader only)
};

struct vexil_fs_header {
    int endian;  // IO_ENDIAN_NATIVE or IO_ENDIAN_SWAPPED, from the marker
    int entries_count;
    vexil_fs_entry* entries;
};

// One opened pack. `file` and `base` are kept for the record's shape; the
// image is read in one call and never reopened.
struct vexil_fs {
    void* file;
    vexil_fs_header header;
    void* base;
};

// The writer's list of payloads in order of addition.
struct vexil_fs_node {
    uint8_t* data;
    vexil_fs_entry entry;
    vexil_fs_node* next;
};

struct vexil_fs_pack {
    vexil_fs_header header;  // header.endian: byte order of the pack to write
    vexil_fs_node* head;
    vexil_fs_node* tail;
};

// Reads the whole file into the arena and opens it; an unreadable file stops
// with "failed read \"%s\"\n".
void vexil_fs_open_file(vexil_fs* fs, const char* path, memarena* arena);
// Opens a file image of `size` bytes already in memory: reads and checks the
// directory and points every entry's data at its payload. `name` (the pack's
// path; null: "(in memory)") is named on the line after a refusal.
void vexil_fs_open(vexil_fs* fs, void* data, uint64_t size, memarena* arena, const char* name = nullptr);
// Reads the directory of an image of `size` bytes into out (entries and names
// from the arena) and returns the cursor past the names. Every count, name and
// payload range is checked against `size`; a bad directory stops the program
// with its message and then the line "in pak file \"<name>\"".
uint8_t* vexil_fs_io_read_header(vexil_fs_header* out, memarena* arena, void* b, uint64_t size,
                                 const char* name = nullptr);
// The payload of the first entry in directory order with this tag and exactly
// this name (its size into out_size), or null with out_size untouched.
uint8_t* vexil_fs_get(vexil_fs* fs, int tag, const char* name, size_t* out_size);

// Writer.
void vexil_fs_pack_begin(vexil_fs_pack* pack, int endian);
// Appends the file at path as a payload of kind tag followed by pad_size zero
// bytes (text payloads need at least one).
void vexil_fs_pack_add_file(vexil_fs_pack* pack, memarena* arena, int tag, size_t pad_size, const char* name,
                            const char* path);
size_t vexil_fs_header_size(vexil_fs_pack* pack);
size_t vexil_fs_payload_size(vexil_fs_pack* pack);
// Writes the directory (offsets as laid out by vexil_fs_pack_end) and returns
// the cursor past it.
uint8_t* vexil_fs_io_write_header(void* b, vexil_fs_pack* pack);
// Lays the payloads out right after the directory and writes the file.
void vexil_fs_pack_end(vexil_fs_pack* pack, const char* path, memarena* tmp_arena);
// x rounded up to a multiple of the power of two align.
size_t vexil_fs_align(size_t x, size_t align);

// Decompresses one payload stored in the LZ4 block layout with big-endian match
// offsets. Returns 0 when exactly payload_size bytes were produced from at most
// compressed_size input bytes; 1 when a length, literal run or match would
// read past the input, write past the output or reach before its start.
int vexil_fs_unpack(uint8_t* payload, const uint8_t* compressed_payload, size_t payload_size, size_t compressed_size);
