// Writes a 320x240 16-bit image into a fresh 4096-aligned buffer, column by
// column or row by row, with one 2-byte store per pixel, or walks the same
// buffer with 4-byte stores that straddle two blocks; the cache-model test runs
// it under cachegrind and compares the misses of the walks with the model's.
// Prints the buffer's address so the model can walk the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The straddling walk's stores: one for every 64 bytes of the image.
#define CACHESIM_PATTERN_STRADDLES (320 * 240 * 2 / 64)

extern "C" __attribute__((noinline)) void cachesim_pattern_columns(volatile uint16_t* image)
{
    for (int x = 0; x < 320; x++)
        for (int y = 0; y < 240; y++)
            image[y * 320 + x] = static_cast<uint16_t>(x ^ y);
}

extern "C" __attribute__((noinline)) void cachesim_pattern_rows(volatile uint16_t* image)
{
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            image[y * 320 + x] = static_cast<uint16_t>(x ^ y);
}

// One 4-byte store 30 bytes into every other 32-byte block of the same buffer:
// each store straddles two blocks that nothing has touched yet.
extern "C" __attribute__((noinline)) void cachesim_pattern_straddles(uint8_t* image)
{
    for (int i = 0; i < CACHESIM_PATTERN_STRADDLES; i++) {
        const uint32_t v = static_cast<uint32_t>(i);
        memcpy(image + 64 * i + 30, &v, 4);
        asm volatile("" : : "r"(image) : "memory");  // one store each, none merged or dropped
    }
}

int main(int argc, char** argv)
{
    if (argc != 2 ||
        (strcmp(argv[1], "columns") != 0 && strcmp(argv[1], "rows") != 0 && strcmp(argv[1], "straddles") != 0)) {
        fprintf(stderr, "usage: cachesim_pattern columns|rows|straddles\n");
        return 2;
    }
    auto* image = static_cast<uint16_t*>(aligned_alloc(4096, 320 * 240 * 2));
    if (!image)
        return 1;
    if (strcmp(argv[1], "columns") == 0)
        cachesim_pattern_columns(image);
    else if (strcmp(argv[1], "rows") == 0)
        cachesim_pattern_rows(image);
    else
        cachesim_pattern_straddles(reinterpret_cast<uint8_t*>(image));
    printf("%p\n", static_cast<void*>(image));
    free(image);
    return 0;
}
