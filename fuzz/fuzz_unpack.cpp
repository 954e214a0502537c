// The payload decompressor: the first 3 input bytes give the payload size
// (little-endian, 18 bits: up to 256 KiB), the rest is the compressed payload. The
// output buffer has exactly that size, so any write or read past it shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_begin();
    if (size < 3)
        return 0;
    size_t payload_size = ((size_t)data[0] | (size_t)data[1] << 8 | (size_t)data[2] << 16) & 0x3FFFF;
    uint8_t* in = fuzz_copy(data + 3, size - 3, 0);
    // Two runs over differently filled buffers: a success must have written
    // every byte, so both give the same payload.
    uint8_t* out = static_cast<uint8_t*>(malloc(payload_size ? payload_size : 1));
    uint8_t* again = static_cast<uint8_t*>(malloc(payload_size ? payload_size : 1));
    memset(out, 0x00, payload_size);
    memset(again, 0xA5, payload_size);
    int r = vexil_fs_unpack(out, in, payload_size, size - 3);
    if (vexil_fs_unpack(again, in, payload_size, size - 3) != r)
        fuzz_fail("the decompressor gave two results for one input");
    if (r == 0 && memcmp(out, again, payload_size) != 0)
        fuzz_fail("the decompressor reported success without writing the whole payload");
    free(again);
    free(out);
    fuzz_free(in);
    return 0;
}
