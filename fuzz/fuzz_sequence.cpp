// The sequence parser with its time-line resolution: the input is the text of
// "sequence.csv" (up to its first zero byte). A parsed sequence must hold only
// rows, labels and barriers that point at rows inside it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"

struct fuzz_sequence_input {
    fuzz_env* env;
    char* text;
};

static void fuzz_sequence_parse(void* user)
{
    fuzz_sequence_input* in = static_cast<fuzz_sequence_input*>(user);
    vexil_sequence seq;
    vexil_load_sequence(&seq, in->text, "sequence.csv", in->env->arena, in->env->tmp_arena);
    if (seq.rows_count < 0 || seq.scenes_count != seq.rows_count)
        fuzz_fail("sequence counts disagree");
    for (int i = 0; i < seq.labels_count; i++) {
        fuzz_touch(seq.labels[i].name, strlen(seq.labels[i].name));
        if (seq.labels[i].row_i < 0 || seq.labels[i].row_i >= seq.rows_count)
            fuzz_fail("label without its row");
    }
    for (int i = 0; i < seq.barriers_count; i++)
        if (seq.barriers[i].row_i < 0 || seq.barriers[i].row_i >= seq.rows_count)
            fuzz_fail("barrier without its row");
    for (int i = 0; i < seq.rows_count; i++) {
        const vexil_sequence_row* r = &seq.rows[i];
        if (r->scene_index < 0 || r->scene_index >= seq.scenes_count)
            fuzz_fail("row naming a scene outside the sequence");
        fuzz_touch(r->func_name, strlen(r->func_name));
        if (r->args)
            fuzz_touch(r->args, strlen(r->args));
        fuzz_touch(r->start_op, strlen(r->start_op));
        fuzz_touch(r->end_op, strlen(r->end_op));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_sequence_input in = {fuzz_begin(), reinterpret_cast<char*>(fuzz_copy(data, size, 1))};
    fuzz_run(fuzz_sequence_parse, &in);
    fuzz_free(in.text);
    return 0;
}
