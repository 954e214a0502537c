// The ini parser with the scene ini handlers: the input is an ini text (up to
// its first zero byte) configuring one scene against the fixed resource pack.
// Every array the handlers leave in the scene is walked and each resource in it
// used as the kind its array names.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "vexil/parse_ini.h"
#include "vexil/vexil_bindings.h"

struct fuzz_ini_input {
    fuzz_env* env;
    vexil_fs* pack;
    char* text;
    uint64_t size;
    const uint8_t* before;  // the text as it came
};

template <typename T>
static void fuzz_ini_use_array(fuzz_env* env, int kind, T** array, int count)
{
    if (count < 0 || (count > 0 && !array))
        fuzz_fail("scene array of a count it does not hold");
    for (int i = 0; i < count; i++)
        if (array[i])
            fuzz_use_resource(env, kind, array[i]);
}

static void fuzz_ini_parse(void* user)
{
    fuzz_ini_input* in = static_cast<fuzz_ini_input*>(user);
    fuzz_env* env = in->env;
    vexil* d = fuzz_vexil(env, in->pack, 1);
    vexil_scene* s = memarena_push_array_zeroed<vexil_scene>(env->arena, 1);
    vexil_parse_ini_scene_user u = {d, s, env->arena, env->tmp_arena, bindings, bindings_count};
    parse_ini(in->text, "fuzz.ini", vexil_parse_ini_scene_key_value, vexil_parse_ini_scene_key_array, &u);
    // The text is written to while it is parsed and must be as it was afterwards.
    if (!fuzz_same(in->before, in->text, in->size))
        fuzz_fail("ini text not restored after parsing");
    if (s->name)
        fuzz_touch(s->name, strlen(s->name));
    if (s->ints_count < 0 || (s->ints_count > 0 && !s->ints) || s->floats_count < 0 ||
        (s->floats_count > 0 && !s->floats))
        fuzz_fail("scene numbers of a count they do not hold");
    fuzz_touch(s->ints, (uint64_t)s->ints_count * sizeof(int));
    fuzz_touch(s->floats, (uint64_t)s->floats_count * sizeof(float));
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_PALETTE_ANIMATION, s->palette_animations, s->palette_animations_count);
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_PALETTE, s->palettes, s->palettes_count);
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_RLE_IMAGE, s->rle_images, s->rle_images_count);
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_IMAGE, s->images, s->images_count);
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_STENCIL, s->stencils, s->stencils_count);
    fuzz_ini_use_array(env, VEXIL_RSRC_KIND_TEXTURE, s->textures, s->textures_count);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_env* env = fuzz_begin();
    size_t n = 0;
    while (n < size && data[n])
        n++;
    fuzz_ini_input in = {env, fuzz_resource_pack(), reinterpret_cast<char*>(fuzz_copy(data, n, 1)), n, data};
    fuzz_run(fuzz_ini_parse, &in);
    fuzz_free(in.text);
    return 0;
}
