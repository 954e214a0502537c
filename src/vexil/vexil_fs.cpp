#include "vexil/vexil_fs.h"

#include <cstdio>
#include <cstring>

#include "core/crash.h"
#include "core/io.h"
#include "core/posix_file_utils.h"
#include "vexil/vexil_crash.h"

void vexil_fs_open_file(vexil_fs* fs, const char* path, memarena* arena)
{
    uint64_t size = 0;
    uint8_t* data = file_open_read_close_ex(path, arena, &size);
    if (!data)
        VEXIL_FS_CRASH("failed read \"%s\"\n", path);
    vexil_fs_open(fs, data, size, arena, path);
}

void vexil_fs_open(vexil_fs* fs, void* data, uint64_t size, memarena* arena, const char* name)
{
    memset(fs, 0, sizeof(*fs));
    vexil_fs_io_read_header(&fs->header, arena, data, size, name);
    uint8_t* image = static_cast<uint8_t*>(data);
    for (int i = 0; i < fs->header.entries_count; i++)
        fs->header.entries[i].data = image + fs->header.entries[i].offset;
}

// Each refusal of a directory is followed by a line naming the pack it is in.
#define VEXIL_FS_DIRECTORY_CRASH(fmt, ...) VEXIL_FS_CRASH(fmt "in pak file \"%s\"\n", __VA_ARGS__, name)

// The directory is the one part of a pack that says where everything else is,
// so every count, name and range in it is checked against the image's size
// before anything is read through it.
uint8_t* vexil_fs_io_read_header(vexil_fs_header* out, memarena* arena, void* b, uint64_t size, const char* name)
{
    if (!name)
        name = "(in memory)";
    uint8_t* image = static_cast<uint8_t*>(b);
    memset(out, 0, sizeof(*out));
    if (size < VEXIL_FS_HEADER_FIXED_SIZE)
        VEXIL_FS_DIRECTORY_CRASH("pak file of %llu bytes is too short for its directory\n", (unsigned long long)size);

    uint32_t marker;
    memcpy(&marker, image, 4);
    out->endian = io_endian_from_marker(marker);
    if (out->endian != IO_ENDIAN_NATIVE && out->endian != IO_ENDIAN_SWAPPED)
        VEXIL_FS_DIRECTORY_CRASH("pak file has an invalid endian marker 0x%08x\n", marker);

    uint32_t count;
    uint8_t* cursor = io_load32(&count, image + 4, out->endian);
    uint64_t room = (size - VEXIL_FS_HEADER_FIXED_SIZE) / VEXIL_FS_ENTRY_FILE_SIZE;
    if (count > room)
        VEXIL_FS_DIRECTORY_CRASH("pak directory of %u entries does not fit in a file of %llu bytes\n", count,
                                 (unsigned long long)size);
    out->entries_count = (int)count;
    out->entries = memarena_push_array_zeroed<vexil_fs_entry>(arena, count);
    for (uint32_t i = 0; i < count; i++) {
        vexil_fs_entry* e = &out->entries[i];
        cursor = io_load32(&e->flags, cursor, out->endian);
        cursor = io_load16(&e->tag, cursor, out->endian);
        cursor = io_load16(&e->name_size, cursor, out->endian);
        cursor = io_load32(&e->offset, cursor, out->endian);
        cursor = io_load32(&e->size, cursor, out->endian);
    }
    for (uint32_t i = 0; i < count; i++) {
        vexil_fs_entry* e = &out->entries[i];
        uint64_t at = (uint64_t)(cursor - image);
        // The name must end with its NUL exactly where its size says, inside the file.
        if (e->name_size == 0 || e->name_size > size - at || cursor[e->name_size - 1] != 0 ||
            memchr(cursor, 0, e->name_size) != cursor + e->name_size - 1)
            VEXIL_FS_DIRECTORY_CRASH("pak directory entry %u: name of size %u is not terminated inside the directory\n",
                                     i, (unsigned)e->name_size);
        cursor = io_loadstr(&e->name, arena, cursor);
        if ((uint64_t)e->offset + e->size > size)
            VEXIL_FS_DIRECTORY_CRASH(
                "pak entry \"%s\": payload at %u of %u bytes lies outside the file of %llu bytes\n", e->name, e->offset,
                e->size, (unsigned long long)size);
    }
    return cursor;
}

uint8_t* vexil_fs_get(vexil_fs* fs, int tag, const char* name, size_t* out_size)
{
    for (int i = 0; i < fs->header.entries_count; i++) {
        vexil_fs_entry* e = &fs->header.entries[i];
        if (e->tag == tag && strcmp(e->name, name) == 0) {
            *out_size = e->size;
            return e->data;
        }
    }
    return nullptr;
}

void vexil_fs_pack_begin(vexil_fs_pack* pack, int endian)
{
    memset(pack, 0, sizeof(*pack));
    pack->header.endian = endian;
}

void vexil_fs_pack_add_file(vexil_fs_pack* pack, memarena* arena, int tag, size_t pad_size, const char* name,
                            const char* path)
{
    uint64_t fsize = 0;
    if (file_open_read_close(path, nullptr, &fsize))
        VEXIL_FS_CRASH("failed open \"%s\"\n", path);
    uint64_t total = fsize + pad_size;
    if (total > 0xFFFFFFFFull)
        VEXIL_FS_CRASH("payload \"%s\" of %llu bytes is too large for a pak entry\n", path, (unsigned long long)total);
    size_t name_len = strlen(name);
    if (name_len + 1 > 0xFFFF)
        VEXIL_FS_CRASH("pak entry name of %zu bytes is too long\n", name_len);
    // One extra byte keeps the arena from handing out null for an empty payload.
    uint8_t* data = static_cast<uint8_t*>(memarena_push_zeroed(arena, total + 1));
    // Exactly the measured bytes: a file that grew since does not overrun the block.
    if (fsize > 0 && file_open_read_n_close(data, path, fsize))
        VEXIL_FS_CRASH("failed read \"%s\"\n", path);

    vexil_fs_node* node = memarena_push_array_zeroed<vexil_fs_node>(arena, 1);
    node->data = data;
    node->entry.flags = 0;
    node->entry.tag = (uint16_t)tag;
    node->entry.name_size = (uint16_t)(name_len + 1);
    node->entry.offset = 0xFFFFFFFFu;
    node->entry.size = (uint32_t)total;
    node->entry.name = static_cast<char*>(memarena_push(arena, name_len + 1));
    memcpy(node->entry.name, name, name_len + 1);
    if (pack->tail)
        pack->tail->next = node;
    else
        pack->head = node;
    pack->tail = node;
    pack->header.entries_count++;
}

size_t vexil_fs_header_size(vexil_fs_pack* pack)
{
    size_t size = VEXIL_FS_HEADER_FIXED_SIZE;
    for (vexil_fs_node* n = pack->head; n; n = n->next)
        size += VEXIL_FS_ENTRY_FILE_SIZE + strlen(n->entry.name) + 1;
    return size;
}

size_t vexil_fs_payload_size(vexil_fs_pack* pack)
{
    size_t size = 0;
    for (vexil_fs_node* n = pack->head; n; n = n->next)
        size += n->entry.size;
    return size;
}

uint8_t* vexil_fs_io_write_header(void* b, vexil_fs_pack* pack)
{
    int endian = pack->header.endian;
    uint8_t* cursor = static_cast<uint8_t*>(b);
    uint32_t count = 0;
    for (vexil_fs_node* n = pack->head; n; n = n->next)
        count++;
    cursor = io_store32(cursor, IO_ENDIAN_MARKER, endian);
    cursor = io_store32(cursor, count, endian);
    for (vexil_fs_node* n = pack->head; n; n = n->next) {
        cursor = io_store32(cursor, n->entry.flags, endian);
        cursor = io_store16(cursor, n->entry.tag, endian);
        cursor = io_store16(cursor, n->entry.name_size, endian);
        cursor = io_store32(cursor, n->entry.offset, endian);
        cursor = io_store32(cursor, n->entry.size, endian);
    }
    for (vexil_fs_node* n = pack->head; n; n = n->next)
        cursor = io_storestr(cursor, n->entry.name);
    return cursor;
}

void vexil_fs_pack_end(vexil_fs_pack* pack, const char* path, memarena* tmp_arena)
{
    uint64_t marker = memarena_get_marker(tmp_arena);
    size_t header_size = vexil_fs_header_size(pack);
    uint8_t* header = static_cast<uint8_t*>(memarena_push(tmp_arena, header_size));

    uint64_t offset = header_size;
    for (vexil_fs_node* n = pack->head; n; n = n->next) {
        if (offset + n->entry.size > 0xFFFFFFFFull)
            VEXIL_FS_CRASH("pak \"%s\" would be larger than 4 GiB\n", path);
        n->entry.offset = (uint32_t)offset;
        offset += n->entry.size;
    }
    vexil_fs_io_write_header(header, pack);

    FILE* f = fopen(path, "wb+");
    if (!f)
        VEXIL_FS_CRASH("failed open \"%s\"\n", path);
    if (fwrite(header, 1, header_size, f) != header_size)
        VEXIL_FS_CRASH("failed write header of size %d to file \"%s\"\n", (int)header_size, path);
    for (vexil_fs_node* n = pack->head; n; n = n->next) {
        printf("node[%s] write data[%u]\n", n->entry.name, n->entry.offset);
        if (fseek(f, (long)n->entry.offset, SEEK_SET) != 0)
            VEXIL_FS_CRASH("fseek failed!\n");
        size_t wrote = fwrite(n->data, 1, n->entry.size, f);
        if (wrote != n->entry.size)
            VEXIL_FS_CRASH("failed write to file! wrote %u bytes out of %u bytes\n", (unsigned)wrote,
                           (unsigned)n->entry.size);
    }
    if (fclose(f) != 0)
        VEXIL_FS_CRASH("failed write to file \"%s\"\n", path);
    memarena_goto_marker(tmp_arena, marker);
}

size_t vexil_fs_align(size_t x, size_t align) { return (x + align - 1) & ~(align - 1); }

// Reads an LZ4-style length extension: bytes are added while they are 255.
static int vexil_fs_unpack_length(size_t* length, const uint8_t* in, size_t in_size, size_t* ip)
{
    uint8_t b;
    do {
        if (*ip >= in_size)
            return 1;
        b = in[(*ip)++];
        *length += b;
    } while (b == 255);
    return 0;
}

int vexil_fs_unpack(uint8_t* payload, const uint8_t* compressed_payload, size_t payload_size, size_t compressed_size)
{
    const uint8_t* in = compressed_payload;
    size_t ip = 0;
    size_t op = 0;
    while (op < payload_size) {
        if (ip >= compressed_size)
            return 1;
        uint8_t token = in[ip++];
        size_t literals = token >> 4;
        if (literals == 15 && vexil_fs_unpack_length(&literals, in, compressed_size, &ip))
            return 1;
        if (literals > compressed_size - ip || literals > payload_size - op)
            return 1;
        memcpy(payload + op, in + ip, literals);
        ip += literals;
        op += literals;
        // The last block carries literals only.
        if (op == payload_size)
            break;

        if (compressed_size - ip < 2)
            return 1;
        size_t offset = ((size_t)in[ip] << 8) | in[ip + 1];  // high byte first
        ip += 2;
        size_t match = token & 15;
        if (match == 15 && vexil_fs_unpack_length(&match, in, compressed_size, &ip))
            return 1;
        match += 4;
        if (offset == 0 || offset > op || match > payload_size - op)
            return 1;
        // Byte by byte: a match may overlap the bytes it produces.
        for (size_t i = 0; i < match; i++, op++)
            payload[op] = payload[op - offset];
    }
    return 0;
}
