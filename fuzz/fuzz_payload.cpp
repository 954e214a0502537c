// One payload kind's loader as the resource cache calls it: the input is the
// payload of a pack entry (an asset file, its marker giving the pack's byte
// order), decoded through vexil_load_resource and then used like its scenes use
// it. Built once per kind with FUZZ_KIND set.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/io.h"
#include "fuzz_support.h"
#include "vexil/vexil_rsrc.h"

#ifndef FUZZ_KIND
#error "FUZZ_KIND names the resource kind"
#endif

struct fuzz_payload_input {
    fuzz_env* env;
    vexil* d;
};

static void fuzz_payload_load(void* user)
{
    fuzz_payload_input* in = static_cast<fuzz_payload_input*>(user);
    void* r = vexil_load_resource(in->d, "x", FUZZ_KIND);
    fuzz_use_resource(in->env, FUZZ_KIND, r);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_env* env = fuzz_begin();
    uint32_t marker = 0;
    if (size >= 4)
        memcpy(&marker, data, 4);
    int endian = io_endian_from_marker(marker) == IO_ENDIAN_SWAPPED ? IO_ENDIAN_SWAPPED : IO_ENDIAN_NATIVE;
    fuzz_payload p = {"x", FUZZ_KIND, data, size};
    uint64_t image_size = 0;
    uint8_t* image = fuzz_pack_image(&p, 1, endian, &image_size);
    static vexil_fs fs;
    vexil_fs_open(&fs, image, image_size, env->arena);
    fuzz_payload_input in = {env, fuzz_vexil(env, &fs, 1)};
    fuzz_run(fuzz_payload_load, &in);
    fuzz_free(image);
    return 0;
}
