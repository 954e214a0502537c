#include "container/n3d_io.h"

#include <cstdio>

#include "core/crash.h"
#include "core/posix_file_utils.h"

int n3d_io_endian_from_buffer(const uint8_t* data, uint64_t size)
{
    if (!data || size < 4)
        return -1;
    uint32_t marker;
    io_load32(&marker, data, IO_ENDIAN_NATIVE);
    return io_endian_from_marker(marker);
}

int n3d_io_load_file(const char* path, memarena* arena, uint8_t** out_buffer, uint64_t* out_size, int* out_endian)
{
    uint64_t size = 0;
    if (file_open_read_close(path, nullptr, &size) != 0)
        return 1;
    // The marker is loaded from the first 4 bytes, so a shorter file (an empty
    // one included) has no marker to load and is unreadable.
    if (size < 4) {
        printf("file too short for endian marker, size %lu path: %s\n", (unsigned long)size, path);
        return 1;
    }
    // Read with its own measurement, so the block always matches the bytes read
    // even when the file changed after the first measurement.
    uint8_t* buffer = file_open_read_close_ex(path, arena, &size);
    if (!buffer)
        return 1;
    if (size < 4) {
        printf("file too short for endian marker, size %lu path: %s\n", (unsigned long)size, path);
        return 1;
    }
    int endian = n3d_io_endian_from_buffer(buffer, size);
    // The line after the message says which file: every file loader reads here.
    if (endian == -1)
        n3d_crash("src/n3d_io", __LINE__, "invalid endian marker?\nin file \"%s\"\n", path);
    *out_buffer = buffer + 4;
    *out_size = size - 4;
    *out_endian = endian;
    return 0;
}

int n3d_io_store_file(const char* path, const uint8_t* buffer_start, const uint8_t* buffer_end, int endian)
{
    if (buffer_end < buffer_start)
        return 1;
    FILE* f = fopen(path, "wb");
    if (!f)
        return 1;
    uint8_t marker[4];
    io_store32(marker, IO_ENDIAN_MARKER, endian);
    if (fwrite(marker, 1, 4, f) != 4) {
        fclose(f);
        return 1;
    }
    size_t size = (size_t)(buffer_end - buffer_start);
    size_t written = size ? fwrite(buffer_start, 1, size, f) : 0;
    printf("wrote %lu bytes to \"%s\"\n", (unsigned long)written, path);
    // A short record or a failed flush on close leaves a truncated file behind:
    // the caller must not take it for a stored asset.
    int closed = fclose(f);
    if (written != size || closed != 0)
        return 1;
    return 0;
}

int n3d_io_get_endian_from_file(const char* path)
{
    uint8_t marker[4];
    if (file_open_read_n_close(marker, path, 4) != 0)
        mycrash("src/n3d_io", __LINE__, "", "failed read endian from file \"%s\"", path);
    return n3d_io_endian_from_buffer(marker, 4);
}
