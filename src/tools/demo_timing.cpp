#include "tools/demo_timing.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/memarena.h"
#include "core/posix_file_utils.h"

demo_timing g_demo_timing;
demo_time_frame g_dtf;

// Seconds of a sample difference; a table that was never given a rate counts no time.
static float timing_seconds(const demo_timing* timing, int64_t samples)
{
    if (!(timing->sample_rate > 0.0f))
        return 0.0f;
    return (float)((double)samples / (double)timing->sample_rate);
}

// Truncation toward zero defined for every input: NaN gives 0, values beyond the
// int range saturate.
static int timing_trunc(double x)
{
    if (x != x)
        return 0;
    if (x >= 2147483647.0)
        return INT32_MAX;
    if (x <= -2147483648.0)
        return INT32_MIN;
    return (int)x;
}

static float timing_clamp01(float x)
{
    if (x > 1.0f)
        return 1.0f;
    if (x < 0.0f)
        return 0.0f;
    return x;
}

void demo_timing_init(demo_timing* timing, memarena* arena, int sample_rate, const int32_t* beats_pos,
                      int beats_pos_count)
{
    memset(timing, 0, sizeof *timing);
    if (beats_pos_count < 0 || !beats_pos)
        beats_pos_count = 0;
    timing->lines = memarena_push_array_zeroed<demo_timing_line>(arena, (uint64_t)beats_pos_count);
    timing->count = beats_pos_count;
    timing->capacity = beats_pos_count;
    timing->sample_rate = (float)sample_rate;
    for (int i = 0; i < beats_pos_count; i++)
        timing->lines[i].pos = beats_pos[i];
}

void demo_timing_update(demo_time_frame* dtf, demo_timing* timing, int pos)
{
    int found = 0;
    int i = 0;
    if (timing->count > 0 && timing->lines) {
        const int count = timing->count;
        i = timing->line_index;
        if (i < 0)
            i = 0;
        if (i >= count)
            i = count - 1;
        // The walk only ever goes one way (a step down needs pos below line i, a
        // step up needs pos at or past line i + 1), so it ends within count steps
        // even on an unsorted table.
        found = 1;
        for (;;) {
            const int p = timing->lines[i].pos;
            if (pos < p) {
                if (i == 0) {
                    found = 0;
                    break;
                }
                i--;
            } else if (pos == p) {
                break;
            } else {
                if (i == count - 1 || pos < timing->lines[i + 1].pos)
                    break;
                i++;
            }
        }
        timing->line_index = i;
    }
    const int valid = found && i + 1 < timing->count;

    dtf->valid = valid;
    dtf->pos = pos;
    dtf->t = timing_seconds(timing, pos);
    dtf->dt = timing_seconds(timing, (int64_t)pos - timing->last_pos);
    if (valid) {
        const demo_timing_line* l0 = &timing->lines[i];
        const demo_timing_line* l1 = &timing->lines[i + 1];
        dtf->beat_id = i;
        dtf->pos0 = l0->pos;
        dtf->pos1 = l1->pos;
        dtf->time_since_beat = timing_seconds(timing, (int64_t)pos - l0->pos);
        dtf->time_until_beat = timing_seconds(timing, (int64_t)l1->pos - pos);
        const int64_t span = (int64_t)l1->pos - l0->pos;
        // Two beats at one position span nothing: the view stays at the beat.
        dtf->lerp_beats = span > 0 ? (float)((double)((int64_t)pos - l0->pos) / (double)span) : 0.0f;
        for (int k = 0; k < 4; k++) {
            dtf->xs0[k] = l0->xs[k];
            dtf->xs1[k] = l1->xs[k];
            dtf->xsf0[k] = (float)l0->xs[k] / 15.0f;
            dtf->xsf1[k] = (float)l1->xs[k] / 15.0f;
            dtf->xsf[k] = dtf->xsf0[k] * (1.0f - dtf->lerp_beats) + dtf->xsf1[k] * dtf->lerp_beats;
        }
    }
    timing->last_pos = pos;
}

// White space inside one line (a line end is never skipped).
static int timing_is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

static int timing_hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line "%d\t%1x%1x%1x%1x", confined to the line: an optional sign and
// decimal digits that fit an int, blanks, then four hexadecimal digits, each
// after optional blanks. 1 when all five values were read.
static int timing_parse_line(const char* s, const char* end, demo_timing_line* out)
{
    while (s < end && timing_is_blank(*s))
        s++;
    int neg = 0;
    if (s < end && (*s == '+' || *s == '-')) {
        neg = *s == '-';
        s++;
    }
    if (s >= end || *s < '0' || *s > '9')
        return 0;
    int64_t v = 0;
    while (s < end && *s >= '0' && *s <= '9') {
        v = v * 10 + (*s - '0');
        if (v > (int64_t)INT32_MAX + 1)
            return 0;
        s++;
    }
    if (neg)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return 0;
    uint8_t xs[4];
    for (int k = 0; k < 4; k++) {
        while (s < end && timing_is_blank(*s))
            s++;
        int d = s < end ? timing_hex_digit(*s) : -1;
        if (d < 0)
            return 0;
        xs[k] = (uint8_t)d;
        s++;
    }
    out->pos = (int)v;
    memcpy(out->xs, xs, 4);
    return 1;
}

void demo_timing_parse_text(memarena* arena, demo_timing* timing, const char* path, memarena* tmp_arena)
{
    const uint64_t marker = memarena_get_marker(tmp_arena);
    const char* text = file_text_open_read_close(path, tmp_arena);
    if (!text) {
        if (tmp_arena != arena)
            memarena_goto_marker(tmp_arena, marker);
        return;
    }
    const size_t len = strlen(text);
    int lines_count = 0;
    for (size_t i = 0; i < len; i++)
        lines_count += text[i] == '\n';
    if (len > 0 && text[len - 1] != '\n')
        lines_count++;

    if (!timing->lines) {
        timing->lines = memarena_push_array_zeroed<demo_timing_line>(arena, (uint64_t)lines_count);
        timing->capacity = lines_count;
    }
    int parsed = 0;
    const char* s = text;
    const char* text_end = text + len;
    while (s < text_end && parsed < timing->capacity) {
        const char* line_end = static_cast<const char*>(memchr(s, '\n', (size_t)(text_end - s)));
        if (!line_end)
            line_end = text_end;
        if (timing_parse_line(s, line_end, &timing->lines[parsed]))
            parsed++;
        else
            fprintf(stderr, "skipping, bad line: \"%s\"\n", s);
        s = line_end < text_end ? line_end + 1 : text_end;
    }
    // Lines the table had no room for.
    int dropped = 0;
    for (const char* c = s; c < text_end; c++)
        dropped += *c == '\n';
    if (s < text_end && text_end[-1] != '\n')
        dropped++;
    if (dropped)
        fprintf(stderr, "%s: %d lines dropped, the table holds %d\n", path, dropped, timing->capacity);
    timing->count = parsed;
    if (tmp_arena != arena)
        memarena_goto_marker(tmp_arena, marker);
}

float demo_timing_time_at_sample(int sample) { return timing_seconds(&g_demo_timing, sample); }

float demo_timing_time_since_sample(int sample)
{
    const int64_t d = (int64_t)sample - g_demo_timing.last_pos;
    return d <= 0 ? timing_seconds(&g_demo_timing, d) : 0.0f;
}

float demo_timing_lerp_factor(int pos_a, int pos_b)
{
    const int64_t span = (int64_t)pos_b - pos_a;
    if (span == 0)
        return 0.0f;
    const double f = (double)((int64_t)g_demo_timing.last_pos - pos_a) / (double)span;
    return timing_clamp01((float)f);
}

float demo_timing_lerp_factor_sample_duration(int pos, float duration)
{
    const int pos_b = timing_trunc((double)(g_demo_timing.sample_rate * duration) + (double)pos);
    return demo_timing_lerp_factor(pos, pos_b);
}

float demo_timing_tri_factor(int pos_a, int pos_b)
{
    const int64_t span = (int64_t)pos_b - pos_a;
    if (span == 0)
        return 0.0f;
    const int64_t twice = 2 * ((int64_t)g_demo_timing.last_pos - pos_a);
    const double f = 1.0 - std::fabs((double)twice / (double)span - 1.0);
    return timing_clamp01((float)f);
}

float demo_timing_tri_factor_around(int pos, float width_seconds)
{
    const float half = g_demo_timing.sample_rate * width_seconds;
    const int a = timing_trunc((double)((float)pos - half));
    const int b = timing_trunc((double)((float)pos + half));
    return demo_timing_tri_factor(a, b);
}
