// The TGA loader: the input is a file image. A loaded image is read whole,
// written back with the writer and read again, which must give it unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "image/tga.h"

struct fuzz_tga_input {
    fuzz_env* env;
    const uint8_t* data;
    size_t size;
};

static void fuzz_tga_load(void* user)
{
    fuzz_tga_input* in = static_cast<fuzz_tga_input*>(user);
    tga t = {};
    if (tga_load_as_8bpp_palette_rgba8888(&t, in->env->arena, in->data, in->size))
        return;
    if (t.width < 0 || t.height < 0 || t.palette_count < 0 || t.palette_count > 256)
        fuzz_fail("tga of negative size or more than 256 colours");
    fuzz_touch(t.buffer, (uint64_t)t.width * (uint64_t)t.height);
    fuzz_touch(t.palette_rgba8888, (uint64_t)t.palette_count * 4);
    uint64_t saved_size = 0;
    uint8_t* saved = tga_save_as_8bpp_palette_rgba8888(&t, in->env->arena, &saved_size);
    uint8_t* exact = fuzz_copy(saved, saved_size, 0);
    tga u = {};
    int r = tga_load_as_8bpp_palette_rgba8888(&u, in->env->arena, exact, saved_size);
    if (r || u.width != t.width || u.height != t.height || u.palette_count != t.palette_count ||
        !fuzz_same(u.buffer, t.buffer, (uint64_t)t.width * (uint64_t)t.height) ||
        !fuzz_same(u.palette_rgba8888, t.palette_rgba8888, (uint64_t)t.palette_count * 4))
        fuzz_fail("tga written back does not read as the image it was");
    fuzz_free(exact);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint8_t* copy = fuzz_copy(data, size, 0);
    fuzz_tga_input in = {fuzz_begin(), copy, size};
    fuzz_run(fuzz_tga_load, &in);
    fuzz_free(copy);
    return 0;
}
