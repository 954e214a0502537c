// Model of the target's level-1 data cache (32-byte blocks, 128 sets, 4 ways,
// LRU, write-back, allocate on write): a developer feeds it the addresses and
// sizes of a code path's accesses and reads back hits, misses, cast-outs and
// straddling accesses per set and way. Nothing in the production calls it. The
// record lives wherever the caller puts it (about 18 KiB); no allocation, no
// timing, one thread at a time. Only the self-test ends the program (status 1).
#pragma once

#include <cstdint>

#define CACHESIM_BLOCK_BYTES 32
#define CACHESIM_SETS 128
#define CACHESIM_WAYS 4

// Set index = (a >> 5) & 127, tag = a >> 12, a being a 32-bit effective address.
struct cachesim {
    int block_tag[CACHESIM_SETS][CACHESIM_WAYS];  // all 0 after cachesim_init
    int index_lru[CACHESIM_SETS][CACHESIM_WAYS];  // way numbers, slot 0 least recently used
    int dirty[CACHESIM_SETS][CACHESIM_WAYS];      // 1: written since it was filled
    int cast_out_count[CACHESIM_SETS];            // modified blocks evicted
    int hit_count[CACHESIM_SETS];
    int miss_count[CACHESIM_SETS];
    int cross_block_write[CACHESIM_SETS];  // writes of at most 32 bytes over two blocks, on the first set
    int cross_block_read[CACHESIM_SETS];
    int bytes_written[CACHESIM_SETS][CACHESIM_WAYS];
    int bytes_read[CACHESIM_SETS][CACHESIM_WAYS];
};

// Sums over all sets and ways; the ways_ counts are of the 512 ways.
struct cachesim_total {
    int cast_out_count;
    int hit_count;
    int miss_count;
    int cross_block_write;
    int cross_block_read;
    int bytes_written;
    int bytes_read;
    int ways_written_to;        // ways with at least one byte written
    int ways_read_from;         // ways with at least one byte read
    int ways_read_and_written;  // ways with both
};

// Clears everything; slot i of every LRU list holds way i. Every tag is 0, so a
// first access below 4096 hits.
void cachesim_init(cachesim* cs);

// One access of num_bytes (at least 0) at effective_address: the part in the
// first block, then the rest block by block at the following 32-bit addresses.
// Host addresses are folded to their low 32 bits, for the first part and the
// continuations alike, so a pointer can be passed as an integer.
void cachesim_rw(cachesim* cs, uint64_t effective_address, int num_bytes, int is_write);
void cachesim_read(cachesim* cs, uint64_t effective_address, int num_bytes);
void cachesim_write(cachesim* cs, uint64_t effective_address, int num_bytes);

// The per-set and per-way steps that cachesim_rw is made of.
void cachesim_hit(cachesim* cs, int index);
void cachesim_miss(cachesim* cs, int index);
void cachesim_cross_block_write(cachesim* cs, int index);
void cachesim_cross_block_read(cachesim* cs, int index);
int cachesim_tag_for_index_way(const cachesim* cs, int index, int way);
void cachesim_set_tag_for_index_way(cachesim* cs, int index, int way, int tag);
int cachesim_is_block_modified(const cachesim* cs, int index, int way);
void cachesim_mark_block_modified(cachesim* cs, int index, int way);
void cachesim_mark_block_not_modified(cachesim* cs, int index, int way);
// Clears dirty and counts one cast-out on the set.
void cachesim_block_cast_out(cachesim* cs, int index, int way);
// The least recently used way (slot 0).
int cachesim_lru_way(const cachesim* cs, int index);
// Moves way to slot 3 (most recently used), the slots after it down by one.
void cachesim_lru_used_way(cachesim* cs, int index, int way);

// The function shares the record's name, so the record is spelled
// `struct cachesim_total` where both are in scope.
struct cachesim_total cachesim_total(const cachesim* cs);

// Text reports on standard output.
void cachesim_print_index(const cachesim* cs, int index);  // the set's LRU list, counts and ways
void cachesim_print_total(const cachesim* cs);             // one line of totals
void cachesim_print_index_stats(const cachesim* cs);  // every set with misses, cast-outs or straddles, then the totals

// Self-test of the basic cases; a failing case prints the totals, the sets
// involved and "failed at line: %d" and exits with status 1.
void cachesim_test();
// The same self-test over another write function: a changed model can be
// checked against the cases, and a faulty one is seen to fail them.
typedef void (*cachesim_write_fn)(cachesim* cs, uint64_t effective_address, int num_bytes);
void cachesim_test_model(cachesim_write_fn write);
