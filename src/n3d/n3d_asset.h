// The renderer's records outside memory: textures (".tmap"), vertex lists
// (".mesh", datapack primitives) and coverage buffers, with writers, readers,
// the two file loaders and a vertex-list comparison. Main thread; called by the
// resource cache, datapacks, images, fonts and tools. Readers allocate from the
// caller's arena, never read past their bytes and give null with a line on
// standard output for a record that does not fit or holds unusable values.
#pragma once

#include <cstdint>

#include "core/io.h"
#include "core/memarena.h"
#include "n3d/n3d_vertices.h"

struct n3d_texture;
struct n3d_coveragebuffer;

// Attribute mask of a vertices record, one bit per array in file order.
#define N3D_VERTICES_STORAGE_XYZ 1u
#define N3D_VERTICES_STORAGE_UV 2u
#define N3D_VERTICES_STORAGE_N_XYZ 4u
#define N3D_VERTICES_STORAGE_T_XYZ 8u
#define N3D_VERTICES_STORAGE_B_XYZ 16u
#define N3D_VERTICES_STORAGE_TB_NORM 32u
#define N3D_VERTICES_STORAGE_JOINTS 64u
#define N3D_VERTICES_STORAGE_JOINTS_WEIGHTS 128u
// Mask 0 in a file: exactly the six arrays before the joints.
#define N3D_VERTICES_STORAGE_LEGACY 63u
#define N3D_VERTICES_STORAGE_ALL 255u

// Largest log2 size of a swizzled texture (256 texels: the swizzled layout
// addresses no more).
#define N3D_TEXTURE_MAX_LOG2 8
// Largest log2 size of a row-by-row texture. Images and effect textures cover
// the 640 x 480 overlay (1024 x 512); at this limit every level of every format
// still counts its bytes in 32 bits.
#define N3D_TEXTURE_MAX_LOG2_NOT_SWIZZLED 14

// A mesh loaded from a ".mesh" file.
struct n3d_asset_mesh {
    n3d_vertices vertices;
};

// ---- file level --------------------------------------------------------------
// Both read the whole file through the asset container; an unreadable file gives
// null after the file reader's message, a bad marker is fatal ("invalid endian
// marker?\n"). The texture's texels are always copied out of the file.
n3d_texture* n3d_io_asset_texture_load_file(memarena* arena, const char* path);
// Prints "%s -> vertices: %d\n" (path, vertex count) when loaded.
n3d_asset_mesh* n3d_io_asset_mesh_load_file(memarena* arena, const char* path);

// ---- records -----------------------------------------------------------------
// Every writer takes the write position, assumes the room is there and returns
// the position after the record. Every reader takes the read position b and the
// size bytes that lie there and returns the position after the record, or null.

// Header bytes (format, not_swizzled, w_log2, h_log2, min_u_level, min_v_level),
// for formats 1 and 3 the colour and shade counts (u16), palette and shade table,
// then every level of the chain: u_level from w_log2 down to min_u_level, within
// it v_level from h_log2 down to min_v_level. A format other than 1 to 4 is
// fatal ("not implemented for texture format %d\n").
uint8_t* n3d_io_texture_store(void* b, const n3d_texture* t, int endian);
// Zeroes out and reads the record. With ok_reuse_b and IO_ENDIAN_NATIVE the
// palette, shade table and levels point into b (which must outlive the texture)
// wherever their words are aligned there; everything else is copied. Refused:
// format outside 1 to 4, log2 sizes above 8 (swizzled) or 14 (row by row),
// minimum levels above the log2 sizes, swizzled format 4, formats 1 and 3
// without 256 colours of 32 shades.
const uint8_t* n3d_io_texture_load(memarena* arena, n3d_texture* out, const void* b, uint64_t size, int ok_reuse_b,
                                   int endian);

// Mask (0 for exactly the six legacy arrays, else the bits of the present
// arrays), count, then each present array in mask order.
uint8_t* n3d_io_vertices_store(void* b, const n3d_vertices* vertices, int endian);
// Reads the named arrays into one 32-byte aligned block; arrays the mask does not
// name are left as the caller set them (hand in a zeroed record).
const uint8_t* n3d_io_vertices_load(n3d_vertices* out, memarena* arena, const void* b, uint64_t size, int endian);

uint8_t* n3d_io_asset_mesh_store(void* b, const n3d_asset_mesh* mesh, int endian);
// Zeroes the mesh first.
const uint8_t* n3d_io_asset_mesh_load(n3d_asset_mesh* out, memarena* arena, const void* b, uint64_t size, int endian);

// The vertices record of a mesh; the load zeroes the whole mesh first, so its
// matrices, ids and joint-matrix pointers read as zero.
uint8_t* n3d_io_mesh_store(void* b, const n3d_mesh* mesh, int endian);
const uint8_t* n3d_io_mesh_load(n3d_mesh* out, memarena* arena, const void* b, uint64_t size, int endian);

// w, h, then the (w * h) >> 5 bit words.
uint8_t* n3d_io_coveragebuffer_store(void* b, const n3d_coveragebuffer* cb, int endian);
// Refused: a width that is not a multiple of 32.
const uint8_t* n3d_io_coveragebuffer_load(memarena* arena, n3d_coveragebuffer* out, const void* b, uint64_t size,
                                          int endian);

// Writes the bytes 7 and 2 and returns b + 2; ignores t and endian.
uint8_t* n3d_io_store_consts(void* b, const n3d_texture* t, int endian);

// Reader forms for records nested in other records (datapacks, images, fonts):
// they read at r's position and advance it. 0 on success; 1 with r failed and
// r->what naming what was wrong (they print nothing: the outer record does).
int n3d_io_texture_read(io_reader* r, memarena* arena, n3d_texture* out, int ok_reuse_b);
int n3d_io_vertices_read(io_reader* r, memarena* arena, n3d_vertices* out);
int n3d_io_coveragebuffer_read(io_reader* r, memarena* arena, n3d_coveragebuffer* out);

// ---- debug -------------------------------------------------------------------
// 0 when both lists have the same count, the same arrays present and every
// present array byte-equal; otherwise 1.
int n3d_vertices_dbg_cmp(const n3d_vertices* a, const n3d_vertices* b);
