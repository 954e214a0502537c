#include "vexil/vexil_args.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/saturate.h"
#include "image/texel.h"
#include "vexil/vexil_crash.h"

int parse_arg_int(int* int_count, char** s, vexil_sequence_row* row)
{
    char* end = nullptr;
    // 64 bits on every system (a long has 32 on Windows and would saturate to
    // the int range, taking a number beyond it for INT_MAX).
    long long v = strtoll(*s, &end, 10);
    if (end == *s || v < INT_MIN || v > INT_MAX)
        VEXIL_SCENES_CRASH("parse_arg_int failed \"%s\" (sequence line %d, args: \"%s\")\n", *s, row->line,
                           row->args ? row->args : "");
    if (*end == ',')
        end++;
    *s = end;
    (*int_count)++;
    return (int)v;
}

float parse_arg_float(char** s, vexil_sequence_row* row)
{
    char* end = nullptr;
    float v = strtof(*s, &end);
    if (end == *s)
        VEXIL_SCENES_CRASH("parse_arg_float failed \"%s\" (sequence line %d, args: \"%s\")\n", *s, row->line,
                           row->args ? row->args : "");
    if (*end == ',')
        end++;
    *s = end;
    return v;
}

char* parse_arg_str(char** s, vexil_sequence_row* row, memarena* arena)
{
    (void)row;
    char* p = *s;
    char* start = p;
    while (*p && *p != ',' && *p != '\n')
        p++;
    size_t n = (size_t)(p - start);
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, start, n);
    r[n] = 0;
    if (*p == ',')
        p++;
    *s = p;
    return r;
}

int vexil_hexchr_to_int(int* result, char c)
{
    if (c >= '0' && c <= '9')
        *result = c - '0';
    else if (c >= 'a' && c <= 'f')
        *result = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *result = c - 'A' + 10;
    else
        return 1;
    return 0;
}

vexil_color parse_arg_color(char** s, vexil_sequence_row* row, memarena* tmp_arena)
{
    char* str = parse_arg_str(s, row, tmp_arena);
    if (str[0] != '#')
        VEXIL_SCENES_CRASH("expected '#' for start of hexcolor on line: %d\n", row->line);
    if (strlen(str) != 9)
        VEXIL_SCENES_CRASH("expected 4 hex values of 2 digits, e.g. #00112233 (for r,g,b,a) on line: %d\n", row->line);
    int v[4];
    for (int i = 0; i < 4; i++) {
        int hi, lo;
        if (vexil_hexchr_to_int(&hi, str[1 + 2 * i]) || vexil_hexchr_to_int(&lo, str[2 + 2 * i]))
            VEXIL_SCENES_CRASH("could not parse color value after # (invalid hex?) on line: %d\n", row->line);
        v[i] = hi * 16 + lo;
    }
    vexil_color c = {};
    uint32_t r = (uint32_t)v[0], g = (uint32_t)v[1], b = (uint32_t)v[2], a = (uint32_t)v[3];
    c.rgba8888 = r << 24 | g << 16 | b << 8 | a;
    c.argb1555 = (uint16_t)((a > 127 ? 1u : 0u) << 15 | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3));
    vec4_linear_from_srgb_a_u8(c.linear, (uint8_t)r, (uint8_t)g, (uint8_t)b, (uint8_t)a);
    return c;
}

float mix(float a, float b, float t) { return a + (b - a) * sat_clamp(t, 0.0f, 1.0f); }
