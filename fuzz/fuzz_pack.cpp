// The pack directory and the resource cache over it: the input is a pack file
// image. It is opened as the first pack, then every entry is requested by its
// name and tag as scenes request resources (the first request that ends in a
// failure exit ends the input, as it ends the program), and every decoded
// resource is used like its scenes use it.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "vexil/vexil_rsrc.h"

// Requests per input: enough for every kind twice over.
#define FUZZ_PACK_REQUESTS_MAX 64

struct fuzz_pack_input {
    fuzz_env* env;
    vexil_fs* fs;
    uint8_t* image;
    uint64_t size;
};

static void fuzz_pack_walk(void* user)
{
    fuzz_pack_input* in = static_cast<fuzz_pack_input*>(user);
    vexil_fs_open(in->fs, in->image, in->size, in->env->arena);
    vexil* d = fuzz_vexil(in->env, in->fs, 1);
    int n = in->fs->header.entries_count;
    if (n > FUZZ_PACK_REQUESTS_MAX)
        n = FUZZ_PACK_REQUESTS_MAX;
    for (int i = 0; i < n; i++) {
        const vexil_fs_entry* e = &in->fs->header.entries[i];
        void* r = vexil_load_resource(d, e->name, e->tag);
        fuzz_use_resource(in->env, e->tag, r);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static vexil_fs fs;
    fuzz_pack_input in = {fuzz_begin(), &fs, fuzz_copy(data, size, 0), size};
    fuzz_run(fuzz_pack_walk, &in);
    fuzz_free(in.image);
    return 0;
}
