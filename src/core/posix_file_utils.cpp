#include "core/posix_file_utils.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

char* file_path_join(memarena* arena, const char* a, const char* b)
{
    size_t la = strlen(a), lb = strlen(b);
    char* s = static_cast<char*>(memarena_push(arena, la + lb + 2));
    memcpy(s, a, la);
    s[la] = '/';
    memcpy(s + la + 1, b, lb);
    s[la + 1 + lb] = 0;
    return s;
}

char* file_path_ext(memarena* arena, const char* a)
{
    const char* dot = strrchr(a, '.');
    if (!dot)
        dot = a + strlen(a);
    size_t n = strlen(dot) + 1;
    char* s = static_cast<char*>(memarena_push(arena, n));
    memcpy(s, dot, n);
    return s;
}

// Whole-file readers read bytes as they are: text and binary mode are one on
// Linux, while Windows turns CR LF into LF and stops at a Ctrl-Z in text mode.
#if defined(_WIN32)
static const char FILE_READ_MODE[] = "rb";
#else
static const char FILE_READ_MODE[] = "r";
#endif

// Opens a regular file and measures it; null (after the fopen message) when the
// path cannot be opened, is not a regular file or cannot be measured.
static FILE* file_open_measured(const char* path, uint64_t* size)
{
    // Looked at before the open: opening a named pipe for reading waits for a
    // writer, so a path that is not a regular file must never reach fopen.
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        printf("fopen failed, path: %s\n", path);
        return nullptr;
    }
    FILE* f = fopen(path, FILE_READ_MODE);
    if (f && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && fseek(f, 0, SEEK_END) == 0) {
        long end = ftell(f);
        if (end >= 0 && fseek(f, 0, SEEK_SET) == 0) {
            *size = (uint64_t)end;
            return f;
        }
    }
    if (f)
        fclose(f);
    printf("fopen failed, path: %s\n", path);
    return nullptr;
}

int file_open_read_close(const char* path, void* out, uint64_t* out_fsize)
{
    uint64_t size;
    FILE* f = file_open_measured(path, &size);
    if (!f)
        return 1;
    *out_fsize = size;
    size_t got = out ? fread(out, 1, size, f) : size;
    fclose(f);
    if (got != size) {
        printf("fread failed, only read %lu bytes (expected %lu) path: %s\n", (unsigned long)got, (unsigned long)size,
               path);
        return 1;
    }
    return 0;
}

// One open: measure, push size + 1 bytes, read, NUL after the data. The block
// is sized by the same measurement that bounds the read.
static uint8_t* file_read_into_arena(const char* path, memarena* arena, uint64_t* out_fsize)
{
    uint64_t size;
    FILE* f = file_open_measured(path, &size);
    if (!f)
        return nullptr;
    *out_fsize = size;
    uint8_t* block = static_cast<uint8_t*>(memarena_push(arena, size + 1));
    size_t got = fread(block, 1, size, f);
    fclose(f);
    if (got != size) {
        printf("fread failed, only read %lu bytes (expected %lu) path: %s\n", (unsigned long)got, (unsigned long)size,
               path);
        return nullptr;
    }
    block[size] = 0;
    return block;
}

char* file_text_open_read_close(const char* path, memarena* arena)
{
    uint64_t size;
    return reinterpret_cast<char*>(file_read_into_arena(path, arena, &size));
}

uint8_t* file_open_read_close_ex(const char* path, memarena* arena, uint64_t* out_fsize)
{
    *out_fsize = 0;
    uint64_t size;
    FILE* f = file_open_measured(path, &size);
    if (!f)
        return nullptr;
    fclose(f);
    if (size == 0)
        return nullptr;
    return file_read_into_arena(path, arena, out_fsize);
}

int file_open_read_n_close(void* dst, const char* path, uint64_t n)
{
    uint64_t size;
    FILE* f = file_open_measured(path, &size);
    if (!f)
        return 1;
    if (size < n) {
        fprintf(stderr, "file size %lu is smaller than n = %lu bytes to be read!\n", (unsigned long)size,
                (unsigned long)n);
        fclose(f);
        return 1;
    }
    size_t got = fread(dst, 1, n, f);
    fclose(f);
    if (got != n) {
        printf("fread failed, only read %lu bytes (expected %lu) path: %s\n", (unsigned long)got, (unsigned long)n,
               path);
        return 1;
    }
    return 0;
}
