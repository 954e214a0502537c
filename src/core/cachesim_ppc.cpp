#include "core/cachesim_ppc.h"

#include <cstdio>
#include <cstring>

#include "core/crash.h"

static int cachesim_index_of(uint32_t a) { return static_cast<int>((a >> 5) & (CACHESIM_SETS - 1)); }
static int cachesim_tag_of(uint32_t a) { return static_cast<int>(a >> 12); }

void cachesim_init(cachesim* cs)
{
    memset(cs, 0, sizeof *cs);
    for (int i = 0; i < CACHESIM_SETS; i++)
        for (int slot = 0; slot < CACHESIM_WAYS; slot++)
            cs->index_lru[i][slot] = slot;
}

void cachesim_hit(cachesim* cs, int index) { cs->hit_count[index]++; }
void cachesim_miss(cachesim* cs, int index) { cs->miss_count[index]++; }
void cachesim_cross_block_write(cachesim* cs, int index) { cs->cross_block_write[index]++; }
void cachesim_cross_block_read(cachesim* cs, int index) { cs->cross_block_read[index]++; }
int cachesim_tag_for_index_way(const cachesim* cs, int index, int way) { return cs->block_tag[index][way]; }
void cachesim_set_tag_for_index_way(cachesim* cs, int index, int way, int tag) { cs->block_tag[index][way] = tag; }
int cachesim_is_block_modified(const cachesim* cs, int index, int way) { return cs->dirty[index][way]; }
void cachesim_mark_block_modified(cachesim* cs, int index, int way) { cs->dirty[index][way] = 1; }
void cachesim_mark_block_not_modified(cachesim* cs, int index, int way) { cs->dirty[index][way] = 0; }

void cachesim_block_cast_out(cachesim* cs, int index, int way)
{
    cs->dirty[index][way] = 0;
    cs->cast_out_count[index]++;
}

int cachesim_lru_way(const cachesim* cs, int index) { return cs->index_lru[index][0]; }

void cachesim_lru_used_way(cachesim* cs, int index, int way)
{
    int* lru = cs->index_lru[index];
    for (int slot = 0; slot < CACHESIM_WAYS - 1; slot++) {
        if (lru[slot] == way) {
            for (int s = slot; s < CACHESIM_WAYS - 1; s++)
                lru[s] = lru[s + 1];
            lru[CACHESIM_WAYS - 1] = way;
            return;
        }
    }
}

// The part of one access that falls in the block holding a.
static void cachesim_block_access(cachesim* cs, uint32_t a, int part, int is_write)
{
    const int index = cachesim_index_of(a);
    const int tag = cachesim_tag_of(a);
    int way = -1;
    for (int w = 0; w < CACHESIM_WAYS; w++) {
        if (cachesim_tag_for_index_way(cs, index, w) == tag) {
            way = w;
            break;
        }
    }
    if (way >= 0) {
        cachesim_hit(cs, index);
        cachesim_lru_used_way(cs, index, way);
    } else {
        cachesim_miss(cs, index);
        way = cachesim_lru_way(cs, index);
        if (cachesim_is_block_modified(cs, index, way))
            cachesim_block_cast_out(cs, index, way);
        cachesim_lru_used_way(cs, index, way);
        cachesim_set_tag_for_index_way(cs, index, way, tag);
        // A read fill brings a clean block; the hit path keeps the dirty state.
        if (!is_write)
            cachesim_mark_block_not_modified(cs, index, way);
    }
    if (is_write) {
        cachesim_mark_block_modified(cs, index, way);
        cs->bytes_written[index][way] += part;
    } else {
        cs->bytes_read[index][way] += part;
    }
}

void cachesim_rw(cachesim* cs, uint64_t effective_address, int num_bytes, int is_write)
{
    // The model is of 32-bit effective addresses: the first part and every
    // continuation use the same low 32 bits, so one access never lands in two
    // unrelated sets.
    uint32_t a = static_cast<uint32_t>(effective_address);
    const int first_index = cachesim_index_of(a);
    int left = num_bytes;
    int first = 1;
    for (;;) {
        const int offset = static_cast<int>(a & (CACHESIM_BLOCK_BYTES - 1));
        const int part = left < CACHESIM_BLOCK_BYTES - offset ? left : CACHESIM_BLOCK_BYTES - offset;
        cachesim_block_access(cs, a, part, is_write);
        if (left <= part)
            break;
        left -= part;
        a += static_cast<uint32_t>(part);  // wraps at 4 GiB like the target's addresses
        first = 0;
    }
    // Only an access of at most one block's size counts as straddling.
    if (!first && num_bytes <= CACHESIM_BLOCK_BYTES) {
        if (is_write)
            cachesim_cross_block_write(cs, first_index);
        else
            cachesim_cross_block_read(cs, first_index);
    }
}

void cachesim_read(cachesim* cs, uint64_t effective_address, int num_bytes)
{
    cachesim_rw(cs, effective_address, num_bytes, 0);
}

void cachesim_write(cachesim* cs, uint64_t effective_address, int num_bytes)
{
    cachesim_rw(cs, effective_address, num_bytes, 1);
}

struct cachesim_total cachesim_total(const cachesim* cs)
{
    struct cachesim_total t;
    memset(&t, 0, sizeof t);
    for (int i = 0; i < CACHESIM_SETS; i++) {
        t.cast_out_count += cs->cast_out_count[i];
        t.hit_count += cs->hit_count[i];
        t.miss_count += cs->miss_count[i];
        t.cross_block_write += cs->cross_block_write[i];
        t.cross_block_read += cs->cross_block_read[i];
        for (int w = 0; w < CACHESIM_WAYS; w++) {
            const int wr = cs->bytes_written[i][w];
            const int rd = cs->bytes_read[i][w];
            t.bytes_written += wr;
            t.bytes_read += rd;
            t.ways_written_to += wr > 0;
            t.ways_read_from += rd > 0;
            t.ways_read_and_written += wr > 0 && rd > 0;
        }
    }
    return t;
}

void cachesim_print_index(const cachesim* cs, int index)
{
    printf("index[%d] lru: ", index);
    for (int slot = 0; slot < CACHESIM_WAYS; slot++)
        printf("%d ", cs->index_lru[index][slot]);
    printf(" hits: %d misses: %d cast_out: %d cross_writes: %d cross_reads: %d\n", cs->hit_count[index],
           cs->miss_count[index], cs->cast_out_count[index], cs->cross_block_write[index], cs->cross_block_read[index]);
    for (int w = 0; w < CACHESIM_WAYS; w++)
        printf("\tindex[%d]way[%d]: tag 0x%x modified: %d \n", index, w, static_cast<unsigned>(cs->block_tag[index][w]),
               cs->dirty[index][w]);
}

void cachesim_print_total(const cachesim* cs)
{
    const struct cachesim_total t = cachesim_total(cs);
    const float ways = static_cast<float>(CACHESIM_SETS * CACHESIM_WAYS);
    printf("total hit: %d miss: %d cast_out: %d bytes_written %d bytes_read %d cross_writes: %d cross_reads: %d "
           "occupance: w: %.2f%% r: %.2f%% r&w: %.2f%%\n",
           t.hit_count, t.miss_count, t.cast_out_count, t.bytes_written, t.bytes_read, t.cross_block_write,
           t.cross_block_read, static_cast<double>(100.0f * static_cast<float>(t.ways_written_to) / ways),
           static_cast<double>(100.0f * static_cast<float>(t.ways_read_from) / ways),
           static_cast<double>(100.0f * static_cast<float>(t.ways_read_and_written) / ways));
}

void cachesim_print_index_stats(const cachesim* cs)
{
    for (int i = 0; i < CACHESIM_SETS; i++) {
        // Hits alone do not make a set worth listing.
        if (!cs->cast_out_count[i] && !cs->miss_count[i] && !cs->cross_block_write[i] && !cs->cross_block_read[i])
            continue;
        cachesim_print_index(cs, i);
        printf("index[%d] hit: %d miss: %d cast_out: %d cross_writes: %d cross_reads: %d ", i, cs->hit_count[i],
               cs->miss_count[i], cs->cast_out_count[i], cs->cross_block_write[i], cs->cross_block_read[i]);
        for (int w = 0; w < CACHESIM_WAYS; w++)
            printf("way[%d]: r: %d w: %d ", w, cs->bytes_read[i][w], cs->bytes_written[i][w]);
        printf("\n");
    }
    cachesim_print_total(cs);
}

// A failed self-test case: the totals, the sets of the addresses involved, the line.
[[noreturn]] static void cachesim_test_fail(const cachesim* cs, const uint32_t* addresses, int address_count, int line)
{
    cachesim_print_total(cs);
    for (int i = 0; i < address_count; i++)
        cachesim_print_index(cs, cachesim_index_of(addresses[i]));
    printf("failed at line: %d\n", line);
    crash_exit(1);
}

void cachesim_test_model(cachesim_write_fn write)
{
    static cachesim cs;  // 18 KiB: kept off the stack
    struct cachesim_total t;

    // A case fails when any of its counts differs.
    const uint32_t a1 = 0x1000000;
    cachesim_init(&cs);
    write(&cs, a1, 2);
    t = cachesim_total(&cs);
    if (t.hit_count != 0 || t.miss_count != 1)
        cachesim_test_fail(&cs, &a1, 1, 396);

    cachesim_init(&cs);
    write(&cs, a1, 2);
    write(&cs, a1, 2);
    t = cachesim_total(&cs);
    if (t.hit_count != 1 || t.miss_count != 1)
        cachesim_test_fail(&cs, &a1, 1, 409);

    // 31 bytes in the first block and 1 in the next: two misses, one straddle.
    const uint32_t a3[2] = {0x1000001, 0x1000001 + 31};
    cachesim_init(&cs);
    write(&cs, a3[0], 32);
    t = cachesim_total(&cs);
    if (t.hit_count != 0 || t.miss_count != 2 || t.cross_block_write != 1)
        cachesim_test_fail(&cs, a3, 2, 421);

    // Four tags fill the four ways of set 0; the fifth evicts a modified block.
    const uint32_t a4[5] = {0x1000000, 0x2000000, 0x3000000, 0x4000000, 0x5000000};
    cachesim_init(&cs);
    for (int i = 0; i < 4; i++)
        write(&cs, a4[i], 32);
    t = cachesim_total(&cs);
    if (t.cast_out_count != 0)
        cachesim_test_fail(&cs, a4, 5, 444);
    write(&cs, a4[4], 32);
    t = cachesim_total(&cs);
    if (t.cast_out_count != 1)
        cachesim_test_fail(&cs, a4, 5, 452);

    // A 320x240 16-bit image written column by column: the totals show how a
    // strided walk thrashes the sets.
    cachesim_init(&cs);
    for (int x = 0; x < 320; x++)
        for (int y = 0; y < 240; y++)
            write(&cs, 0x1000000u + static_cast<uint32_t>(y * 640 + x * 2), 2);
    cachesim_print_total(&cs);
}

void cachesim_test() { cachesim_test_model(cachesim_write); }
