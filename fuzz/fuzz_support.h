// Shared machinery of the fuzz targets: the arenas every input runs in (reset
// per input), the catch of the system's failure exits (the exit hook of
// crash_exit jumps back here, so an input that ends in the crash path or a
// "print and exit 1" check is handled and the next input follows), in-memory
// pack images around payloads, a production runtime over them, the consumers
// that use every decoded resource the way the scenes do, and the writers of
// valid records the seeds and the fixed resource pack are made from.
// One input at a time on one thread; nothing here is freed but the pack images.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/memarena.h"
#include "n3d/n3d_vertices.h"
#include "target/n3d_framebuffer.h"
#include "vexil/vexil.h"
#include "vexil/vexil_fs.h"

struct valkyrie_context;

// Arenas of one input: "vexil_arena" for decoded data and "vexil_tmp_arena" for
// scratch, and "demo_arena" for scene state; all reset by fuzz_begin.
struct fuzz_env {
    memarena* arena;
    memarena* tmp_arena;
    memarena* demo_arena;
    // Render targets made once: the 640x480 overlay with its coverage pair, its
    // back buffers and stencils, the video pages and the display.
    n3d_frame_context* fc_overlay;
    n3d_frame_context* fc_overlay_backbuffers;  // VEXIL_OVERLAY_BACKBUFFERS_COUNT
    n3d_coveragebuffer* overlay_stencils;       // VEXIL_OVERLAY_STENCILS_COUNT
    n3d_frame_context* fc_videos;               // the two 320x240 ARGB1555 video page contexts
    valkyrie_context* video;                    // the emulated display (colour tables)
    uint8_t alpha_to_clut[256];
    uint16_t alpha_to_argb1555[256];
};

// Sets everything up on the first call, then resets the per-input arenas.
fuzz_env* fuzz_begin();

// Runs fn(user); 0 when it returned, 1 when it ended in one of the system's
// failure exits (any status: the hook takes them all).
int fuzz_run(void (*fn)(void*), void* user);

// Reads every byte of [p, p + n) so AddressSanitizer sees any byte that is not there.
void fuzz_touch(const void* p, uint64_t n);
// 1 when the n bytes at a and b agree (either may be null when n is 0).
int fuzz_same(const void* a, const void* b, uint64_t n);
// A broken invariant of a loaded record: reports and aborts (a finding).
[[noreturn]] void fuzz_fail(const char* what);

// ---- pack images ----

struct fuzz_payload {
    const char* name;
    int kind;
    const uint8_t* bytes;
    uint64_t size;
};

// A pack file image in the writer's layout (directory, then the payloads in
// order), in a malloc block of exactly its size so that any read past it is
// seen; free it with fuzz_free.
uint8_t* fuzz_pack_image(const fuzz_payload* payloads, int count, int endian, uint64_t* out_size);
// An exactly sized malloc copy of n bytes; with terminate one zero byte more.
uint8_t* fuzz_copy(const uint8_t* data, uint64_t n, int terminate);
void fuzz_free(void* p);

// The production runtime record over the env's arenas with count opened packs
// (fs), as the first loading step leaves it (no sequence, no scenes).
vexil* fuzz_vexil(fuzz_env* env, vexil_fs* paks, int count);

// Uses a decoded resource of kind the way its scenes do: walks every array the
// record claims and draws it into the env's targets. Anything out of bounds
// shows as a sanitizer report; failures of the drawing code's own checks end
// in the crash path like every other handled input.
void fuzz_use_resource(fuzz_env* env, int kind, void* resource);
// Walks every array of a vertex list; joints_limit >= 0 also checks the joint indices.
void fuzz_use_vertices(const n3d_vertices* v, int joints_limit);

// ---- valid records ----

// An asset file (marker in mode endian, then one record) of the given kind,
// variant picking one of a few shapes; kinds 8 and 9 give music bytes and a
// text. Pushed from arena; its size in out_size.
uint8_t* fuzz_make_payload(memarena* arena, int kind, int variant, int endian, uint64_t* out_size);
#define FUZZ_PAYLOAD_VARIANTS 3

// The fixed resource pack of the argument and ini targets, opened once: per
// kind k the names "<k>" and a few more ("stencil", "tex", "pal", ...; see
// fuzz_support.cpp), plus text payloads holding scene ini files.
vexil_fs* fuzz_resource_pack();
