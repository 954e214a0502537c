// The asset-file loader and the file loaders over it: the first input byte
// picks the loader (the container alone, texture, mesh, palette, palette
// animation, font), the rest is the file, written to a file of this process's
// own in the temporary directory and loaded by path. What loads is used like
// its scenes and tools use it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "container/n3d_io.h"
#include "fuzz_support.h"
#include "image/palette.h"
#include "image/palette_image.h"
#include "n3d/n3d_asset.h"
#include "vexil/fontbitmap.h"

#define FUZZ_ASSET_LOADERS 6

struct fuzz_asset_input {
    fuzz_env* env;
    int loader;
    const char* path;
    uint64_t size;
};

static void fuzz_asset_load(void* user)
{
    fuzz_asset_input* in = static_cast<fuzz_asset_input*>(user);
    fuzz_env* env = in->env;
    memarena* A = env->arena;
    switch (in->loader) {
    case 0: {
        uint8_t* b = nullptr;
        uint64_t size = 0;
        int endian = 0;
        if (n3d_io_load_file(in->path, A, &b, &size, &endian) == 0) {
            if (size + 4 != in->size || (endian != IO_ENDIAN_NATIVE && endian != IO_ENDIAN_SWAPPED))
                fuzz_fail("asset file loaded with another size or an unknown byte order");
            fuzz_touch(b, size);
        }
        break;
    }
    case 1:
        if (n3d_texture* t = n3d_io_asset_texture_load_file(A, in->path))
            fuzz_use_resource(env, VEXIL_RSRC_KIND_TEXTURE, t);
        break;
    case 2:
        if (n3d_asset_mesh* m = n3d_io_asset_mesh_load_file(A, in->path))
            fuzz_use_vertices(&m->vertices, -1);
        break;
    case 3:
        fuzz_use_resource(env, VEXIL_RSRC_KIND_PALETTE, palette_load_file(A, in->path));
        break;
    case 4:
        fuzz_use_resource(env, VEXIL_RSRC_KIND_PALETTE_ANIMATION, palette_animation_load_file(A, in->path));
        break;
    default:
        fuzz_use_resource(env, VEXIL_RSRC_KIND_FONT, fontbitmap_load_file(A, in->path));
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static char path[256];
    if (!path[0]) {
        const char* dir = getenv("TMPDIR");
        snprintf(path, sizeof(path), "%s/quillfern_fuzz_asset_%d.bin", dir && dir[0] ? dir : "/tmp", (int)getpid());
    }
    if (size < 1)
        return 0;
    FILE* f = fopen(path, "wb");
    if (!f)
        fuzz_fail("cannot write the asset file");
    if (size > 1 && fwrite(data + 1, 1, size - 1, f) != size - 1)
        fuzz_fail("cannot write the asset file");
    fclose(f);
    fuzz_asset_input in = {fuzz_begin(), data[0] % FUZZ_ASSET_LOADERS, path, size - 1};
    fuzz_run(fuzz_asset_load, &in);
    unlink(path);
    return 0;
}
