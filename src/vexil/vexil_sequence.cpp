#include "vexil/vexil_sequence.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "vexil/vexil_args.h"
#include "vexil/vexil_crash.h"

// Passes of the time-line resolution: a side waiting for the other settles in
// the pass after it, so two are enough for every rule; more mean a cycle.
#define VEXIL_SEQUENCE_RESOLVE_PASSES 4

static int vexil_csv_is_str_end(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == 0; }

static char* vexil_sequence_copy(memarena* arena, const char* s, size_t n)
{
    char* r = static_cast<char*>(memarena_push(arena, n + 1));
    memcpy(r, s, n);
    r[n] = 0;
    return r;
}

static void vexil_sequence_skip_line(char** s)
{
    while (**s && **s != '\n')
        (*s)++;
}

// Milliseconds to 22050 Hz frames, truncating toward zero. Computed in 64 bits:
// from about 97 s on, the product no longer fits 32 bits.
static int64_t vexil_sequence_ms_to_frames(int64_t ms) { return ms * VEXIL_SAMPLE_RATE / 1000; }

char* vexil_sequence_parse_label(char** s, memarena* arena)
{
    char* p = *s;
    char* start = p;
    while (*p != ':' && !vexil_csv_is_str_end(*p))
        p++;
    if (*p != ':')
        return nullptr;
    char* name = vexil_sequence_copy(arena, start, (size_t)(p - start));
    *s = p + 1;
    return name;
}

char* vexil_csv_parse_str_trim(char** s, const char* str_default, memarena* arena)
{
    char* p = *s;
    char* start = p;
    while (!vexil_csv_is_str_end(*p))
        p++;
    char* r;
    if (p == start && str_default)
        r = vexil_sequence_copy(arena, str_default, strlen(str_default));
    else
        r = vexil_sequence_copy(arena, start, (size_t)(p - start));
    while (*p == ' ' || *p == '\t')
        p++;
    *s = p;
    return r;
}

int vexil_csv_parse_int(char** s, int line, const char* path)
{
    // Blanks and tabs only: a line feed must not carry the field into the next line.
    char* p = *s;
    while (*p == ' ' || *p == '\t')
        p++;
    char* digits = p;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (*digits < '0' || *digits > '9')
        crash_fail(2, "failed parse line %d in \"%s\"\n", line, path);
    char* end = nullptr;
    // 64 bits on every system: a 32-bit long (Windows) would saturate to the
    // int range and let a number beyond it through.
    long long v = strtoll(p, &end, 10);
    if (v < INT_MIN || v > INT_MAX)
        crash_fail(2, "failed parse line %d in \"%s\"\n", line, path);
    *s = end;
    return (int)v;
}

void vexil_csv_parse_comma(char** s, int line, const char* path)
{
    if (**s != ',')
        crash_fail(2, "expected ',' failed parse line %d in \"%s\"\n", line, path);
    (*s)++;
}

vexil_sequence_label* vexil_sequence_find_label(vexil_sequence* seq, const char* name)
{
    for (int i = 0; i < seq->labels_count; i++)
        if (strcmp(seq->labels[i].name, name) == 0)
            return &seq->labels[i];
    return nullptr;
}

static int vexil_sequence_count(const char* s, const char* what)
{
    int n = 0;
    size_t len = strlen(what);
    for (const char* p = strstr(s, what); p; p = strstr(p + len, what))
        n++;
    return n;
}

static void vexil_sequence_parse_row(vexil_sequence* seq, char** cursor, int line, const char* path, memarena* arena)
{
    vexil_sequence_row* row = &seq->rows[seq->rows_count];
    memset(row, 0, sizeof(*row));
    char* s = *cursor;
    row->start_op = vexil_csv_parse_str_trim(&s, "", arena);
    vexil_csv_parse_comma(&s, line, path);
    row->start_op_v = vexil_csv_parse_str_trim(&s, "", arena);
    vexil_csv_parse_comma(&s, line, path);
    row->start_ms = vexil_csv_parse_int(&s, line, path);
    vexil_csv_parse_comma(&s, line, path);
    row->start_prep_rel_ms = vexil_csv_parse_int(&s, line, path);
    vexil_csv_parse_comma(&s, line, path);
    row->end_op = vexil_csv_parse_str_trim(&s, "", arena);
    vexil_csv_parse_comma(&s, line, path);
    row->end_op_v = vexil_csv_parse_str_trim(&s, "", arena);
    vexil_csv_parse_comma(&s, line, path);
    row->end_ms = vexil_csv_parse_int(&s, line, path);
    vexil_csv_parse_comma(&s, line, path);
    row->func_name = vexil_csv_parse_str_trim(&s, "", arena);
    if (*s == ',') {
        s++;
        char* end = s;
        while (*end && *end != '\n')
            end++;
        row->args = vexil_sequence_copy(arena, s, (size_t)(end - s));
        s = end;
    }
    vexil_sequence_skip_line(&s);
    row->scene_index = seq->rows_count;
    row->line = line;
    // Unresolved, each side holds its own milliseconds in frames: that is what a
    // reference to a later row sees during resolution.
    row->start_22050hz = (int)vexil_sequence_ms_to_frames(row->start_ms);
    row->end_22050hz = (int)vexil_sequence_ms_to_frames(row->end_ms);
    seq->rows_count++;
    *cursor = s;
}

static void vexil_sequence_check_time(int64_t t, int line, const char* path)
{
    if (t < INT_MIN || t > INT_MAX)
        VEXIL_CRASH("time out of range on line %d in \"%s\"\n", line, path);
}

// One side of a row (start or end). Returns 1 when it is settled and writes the
// resolved value into the row.
static int vexil_sequence_resolve_side(vexil_sequence* seq, int row_i, int is_start, int other_settled,
                                       const char* path)
{
    static const vexil_sequence_row zero_row = {};
    vexil_sequence_row* row = &seq->rows[row_i];
    const char* op = is_start ? row->start_op : row->end_op;
    const char* ref = is_start ? row->start_op_v : row->end_op_v;
    int64_t own = vexil_sequence_ms_to_frames(is_start ? row->start_ms : row->end_ms);
    int64_t value;
    if (strcmp(op, "abs") == 0) {
        value = own;
    } else {
        int is_relstart = strcmp(op, "relstart") == 0;
        int is_relend = strcmp(op, "relend") == 0;
        const vexil_sequence_row* other;
        int is_me = strcmp(ref, "me") == 0;
        if (strcmp(ref, "prev") == 0) {
            other = row_i > 0 ? &seq->rows[row_i - 1] : &zero_row;
        } else if (is_me) {
            other = row;
        } else {
            vexil_sequence_label* label = vexil_sequence_find_label(seq, ref);
            if (!label)
                VEXIL_CRASH("could not find label: \"%s\"\n", ref);
            other = &seq->rows[label->row_i];
        }
        if (is_relstart) {
            if (is_me && is_start)
                VEXIL_CRASH("cannot take start to be relative its own start! line: %d in %s\n", row->line, path);
            if (is_me && !other_settled)
                return 0;
            value = own + other->start_22050hz;
        } else if (is_relend) {
            if (is_me && !is_start)
                VEXIL_CRASH("cannot take end to be relative its own end! line: %d in %s\n", row->line, path);
            if (is_me && !other_settled)
                return 0;
            value = own + other->end_22050hz;
        } else {
            return 0;
        }
    }
    vexil_sequence_check_time(value, row->line, path);
    if (is_start)
        row->start_22050hz = (int)value;
    else
        row->end_22050hz = (int)value;
    return 1;
}

static void vexil_sequence_resolve(vexil_sequence* seq, const char* path)
{
    for (int i = 0; i < seq->rows_count; i++) {
        vexil_sequence_row* row = &seq->rows[i];
        int start_settled = 0;
        int end_settled = 0;
        for (int pass = 0; pass < VEXIL_SEQUENCE_RESOLVE_PASSES && !(start_settled && end_settled); pass++) {
            if (!start_settled)
                start_settled = vexil_sequence_resolve_side(seq, i, 1, end_settled, path);
            if (!end_settled)
                end_settled = vexil_sequence_resolve_side(seq, i, 0, start_settled, path);
        }
        if (!(start_settled && end_settled))
            VEXIL_CRASH("could not resolve start/end on line: %d in %s (bug? or are you doing something "
                        "weird?)\n",
                        row->line, path);
        if (row->end_22050hz < row->start_22050hz)
            VEXIL_CRASH("end lies before start on line: %d in %s (start %d, end %d frames)\n", row->line, path,
                        row->start_22050hz, row->end_22050hz);
        int64_t prepare = (int64_t)row->start_22050hz - vexil_sequence_ms_to_frames(row->start_prep_rel_ms);
        vexil_sequence_check_time(prepare, row->line, path);
        row->start_prepare_22050hz = (int)prepare;
    }
}

static void vexil_sequence_music_sync(vexil_sequence* seq, const char* path)
{
    vexil_sequence_row* sync = nullptr;
    for (int i = 0; i < seq->rows_count; i++) {
        vexil_sequence_row* row = &seq->rows[i];
        if (strcmp(row->func_name, "music_sync") != 0)
            continue;
        if (sync)
            VEXIL_CRASH("there can be at most one \"music_sync\" but there was one on line %d and on line %d\n",
                        sync->line, row->line);
        sync = row;
    }
    seq->music_start_22050hz = 0;
    if (!sync)
        return;
    if (!sync->args)
        VEXIL_CRASH("\"music_sync\" on line %d in \"%s\" needs the music position as its argument\n", sync->line, path);
    char* s = sync->args;
    int count = 0;
    int64_t delta = (int64_t)parse_arg_int(&count, &s, sync) - sync->start_22050hz;
    if (delta >= 0) {
        for (int i = 0; i < seq->rows_count; i++) {
            vexil_sequence_row* row = &seq->rows[i];
            vexil_sequence_check_time(row->start_prepare_22050hz + delta, row->line, path);
            vexil_sequence_check_time(row->end_22050hz + delta, row->line, path);
            vexil_sequence_check_time(row->start_22050hz + delta, row->line, path);
            row->start_22050hz += (int)delta;
            row->end_22050hz += (int)delta;
            row->start_prepare_22050hz += (int)delta;
        }
    } else {
        vexil_sequence_check_time(-delta, sync->line, path);
        seq->music_start_22050hz = (int)-delta;
    }
}

void vexil_load_sequence(vexil_sequence* seq, char* raw_sequence_text, const char* path, memarena* arena,
                         memarena* tmp_arena)
{
    memset(seq, 0, sizeof(*seq));
    char* s = strchr(raw_sequence_text, '\n');
    // Lines end with a line feed alone: a carriage return would become part of
    // every line's last field and fail far from its cause.
    const char* cr = strchr(raw_sequence_text, '\r');
    if (cr && (!s || cr < s))
        crash_fail(2, "\"%s\" contains \\r (carriage return line ends): save it with line feeds only\n", path);
    if (!s)
        return;  // only a header: nothing to run
    s++;
    int line = 2;

    // Upper bounds; a last line without a line feed is a row too.
    int rows_max = vexil_sequence_count(s, "\n") + 1;
    int labels_max = vexil_sequence_count(s, ":");
    int barriers_max = vexil_sequence_count(s, "barrier,");
    seq->rows = memarena_push_array_zeroed<vexil_sequence_row>(arena, (uint64_t)rows_max);
    seq->labels = memarena_push_array_zeroed<vexil_sequence_label>(arena, (uint64_t)labels_max);
    seq->barriers = memarena_push_array_zeroed<vexil_sequence_barrier>(arena, (uint64_t)barriers_max);

    while (*s) {
        if (*s == '\n') {
            s++;
            line++;
            continue;
        }
        if (*s == '#') {
            vexil_sequence_skip_line(&s);
        } else if (strncmp(s, "barrier,", 8) == 0) {
            vexil_csv_parse_str_trim(&s, "", tmp_arena);
            vexil_csv_parse_comma(&s, line, path);
            char* value = vexil_csv_parse_str_trim(&s, "", tmp_arena);
            if (strcmp(value, "prev_completed") != 0)
                VEXIL_CRASH("barrier on line %d in \"%s\" has unexpected/unsupported value: \"%s\"\n", line, path,
                            value);
            if (seq->rows_count == 0)
                VEXIL_CRASH("barrier on line %d in \"%s\" has no row before it\n", line, path);
            seq->rows[seq->rows_count - 1].barrier_flags |= VEXIL_SEQUENCE_BARRIER_PREV_COMPLETED;
            vexil_sequence_barrier* b = &seq->barriers[seq->barriers_count++];
            b->name = nullptr;
            b->flags = VEXIL_SEQUENCE_BARRIER_PREV_COMPLETED;
            b->line_i = line;
            b->row_i = seq->rows_count - 1;
            vexil_sequence_skip_line(&s);
        } else if (char* name = vexil_sequence_parse_label(&s, arena)) {
            if (!name[0])
                VEXIL_CRASH("found ':' but has no name for the label? on line %d in \"%s\"\n", line, path);
            vexil_sequence_label* l = &seq->labels[seq->labels_count++];
            l->name = name;
            l->line_i = line;
            l->row_i = seq->rows_count;
            vexil_sequence_skip_line(&s);
        } else {
            vexil_sequence_parse_row(seq, &s, line, path, arena);
        }
    }
    seq->scenes_count = seq->rows_count;

    for (int i = 0; i < seq->labels_count; i++)
        if (seq->labels[i].row_i >= seq->rows_count)
            VEXIL_CRASH("label \"%s\" on line %d in \"%s\" has no row after it\n", seq->labels[i].name,
                        seq->labels[i].line_i, path);

    vexil_sequence_resolve(seq, path);
    vexil_sequence_music_sync(seq, path);
}
