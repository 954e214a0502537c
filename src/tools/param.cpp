#include "tools/param.h"

#include <cstring>

#include "core/crash.h"
#include "core/memarena.h"
#include "core/posix_file_utils.h"

void param_init(param* ctx, memarena* arena)
{
    memset(ctx, 0, sizeof *ctx);
    ctx->arena = arena;
}

void param_frame_begin(param* ctx)
{
    for (param_entry* e = ctx->root; e; e = e->next)
        e->value_changed = 0;
}

void param_block_begin(param* ctx)
{
    ctx->scope_begin = 1;
    ctx->scope_any_value_changed = 0;
}

int param_block_changed(const param* ctx) { return ctx->scope_any_value_changed; }

int param_value_size(int type)
{
    switch (type) {
    case PARAM_TYPE_INT:
    case PARAM_TYPE_FLOAT:
        return 4;
    case PARAM_TYPE_VEC3:
        return 12;
    default:
        break;
    }
    crash_fail(1, "unhandled type %d in param_value_size", type);
}

static param_entry* param_find(const param* ctx, const char* id, size_t id_len)
{
    for (param_entry* e = ctx->root; e; e = e->next)
        if (strlen(e->id) == id_len && memcmp(e->id, id, id_len) == 0)
            return e;
    return nullptr;
}

param_entry* param_define(param* ctx, void* var, const char* id, const void* default_value_value, int type)
{
    param_entry* e = param_find(ctx, id, strlen(id));
    if (!e) {
        const int size = param_value_size(type);
        e = memarena_push_array_zeroed<param_entry>(ctx->arena, 1);
        e->type = type;
        e->size = size;
        e->default_value = memarena_push_align(ctx->arena, (uint64_t)size, 8);
        e->value = memarena_push_align(ctx->arena, (uint64_t)size, 8);
        memcpy(e->default_value, default_value_value, (size_t)size);
        memcpy(e->value, default_value_value, (size_t)size);
        e->id = id;
        e->value_changed = 1;
        e->prev = ctx->tail;
        if (ctx->tail)
            ctx->tail->next = e;
        else
            ctx->root = e;
        ctx->tail = e;
    } else if (e->type != type) {
        // The value holds the earlier type's bytes, too few for a larger type.
        crash_fail(1, "param \"%s\" defined as type %d and as type %d\n", id, e->type, type);
    }
    memcpy(var, e->value, (size_t)e->size);
    if (ctx->scope_begin && e->value_changed)
        ctx->scope_any_value_changed = 1;
    return e;
}

int param_int(param* ctx, int* val, const char* id, int default_value)
{
    return param_define(ctx, val, id, &default_value, PARAM_TYPE_INT)->value_changed;
}

int param_float(param* ctx, float* val, const char* id, float default_value)
{
    return param_define(ctx, val, id, &default_value, PARAM_TYPE_FLOAT)->value_changed;
}

int param_vec3(param* ctx, float* val, const char* id, const float* default_value)
{
    return param_define(ctx, val, id, default_value, PARAM_TYPE_VEC3)->value_changed;
}

static int scan_is_blank(char c) { return c == ' ' || c == '\t'; }
static int scan_is_line_end(char c) { return c == '\n' || c == '\r'; }

const char* scan_past_whitespace(const char* s)
{
    while (*s && scan_is_blank(*s))
        s++;
    return s;
}

const char* scan_to_first_whitespace(const char* s)
{
    while (*s && !scan_is_blank(*s))
        s++;
    return s;
}

const char* scan_to_first_whitespace_or_line(const char* s)
{
    while (*s && !scan_is_blank(*s) && !scan_is_line_end(*s))
        s++;
    return s;
}

const char* scan_to_next_line(const char* s)
{
    while (*s && *s != '\n')
        s++;
    return *s ? s + 1 : s;
}

// The whole of [s, end) as a decimal int: optional sign, at least one digit, in range.
static int param_parse_int(const char* s, const char* end, int* out)
{
    int neg = 0;
    if (s < end && (*s == '+' || *s == '-')) {
        neg = *s == '-';
        s++;
    }
    if (s >= end)
        return 0;
    int64_t v = 0;
    for (; s < end; s++) {
        if (*s < '0' || *s > '9')
            return 0;
        v = v * 10 + (*s - '0');
        if (v > (int64_t)INT32_MAX + 1)
            return 0;
    }
    if (neg)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return 0;
    *out = (int)v;
    return 1;
}

void param_read_values(param* ctx, const char* path, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    const char* text = file_text_open_read_close(path, tmp_arena);
    if (!text) {
        memarena_goto_marker(tmp_arena, marker);
        return;
    }
    for (const char* line = text; *line; line = scan_to_next_line(line)) {
        // Neither scan passes a line end, so a blank or id-only line ends here.
        const char* id = scan_past_whitespace(line);
        const char* id_end = scan_to_first_whitespace_or_line(id);
        const char* value = scan_past_whitespace(id_end);
        const char* value_end = scan_to_first_whitespace_or_line(value);
        int v;
        if (id_end == id || value_end == value || !param_parse_int(value, value_end, &v))
            continue;
        param_entry* e = param_find(ctx, id, (size_t)(id_end - id));
        if (!e || e->type != PARAM_TYPE_INT)
            continue;
        int old;
        memcpy(&old, e->value, sizeof old);
        memcpy(e->value, &v, sizeof v);
        e->value_changed = v != old;
    }
    memarena_goto_marker(tmp_arena, marker);
}
