// Asset file container: a record round trip in both byte orders (checked
// against the bytes on disk), the marker check, empty, short, missing and
// unwritable files, and the bounded marker read from memory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "container/n3d_io.h"
#include "core/io.h"
#include "support/capture.h"
#include "support/crash_site.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the marker bytes below are written for a little-endian host");

namespace {

// Ends a captured child with status, its output flushed (_exit does not flush).
void child_exit(int status)
{
    fflush(stdout);
    _exit(status);
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::vector<uint8_t> read_bytes(const std::string& path)
{
    std::vector<uint8_t> v;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return v;
    int ch;
    while ((ch = fgetc(f)) != EOF)
        v.push_back((uint8_t)ch);
    fclose(f);
    return v;
}

class AssetFile : public testing::Test {
protected:
    void SetUp() override
    {
        dir = capture_temp_dir();
        memarena_init(&arena, "assets", sizeof block, block);
    }
    std::string dir;
    alignas(8) uint8_t block[1024];
    memarena arena;
};

}  // namespace

TEST_F(AssetFile, RoundTripInBothByteOrders)
{
    const struct {
        int mode;
        uint8_t marker[4];
        uint8_t u32_bytes[4];  // 0x11223344 as it lands in the file
    } cases[] = {
        {IO_ENDIAN_NATIVE, {0xCD, 0xAB, 0x00, 0x00}, {0x44, 0x33, 0x22, 0x11}},
        {IO_ENDIAN_SWAPPED, {0x00, 0x00, 0xAB, 0xCD}, {0x11, 0x22, 0x33, 0x44}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        // A small record: a 32-bit count, a 16-bit value, a float and a name.
        uint8_t record[64];
        uint8_t* e = io_store32(record, 0x11223344u, c.mode);
        e = io_store16(e, 0xBEEF, c.mode);
        e = io_storef32(e, -1.5f, c.mode);
        e = io_storestr(e, "wall.tmap");
        uint64_t record_size = (uint64_t)(e - record);

        std::string path = dir + "/rec" + std::to_string(c.mode) + ".tmap";
        captured_run w = capture_run([&] { child_exit(n3d_io_store_file(path.c_str(), record, e, c.mode)); });
        EXPECT_EQ(w.status, 0);
        EXPECT_EQ(w.out, "wrote " + std::to_string(record_size) + " bytes to \"" + path + "\"\n");

        std::vector<uint8_t> disk = read_bytes(path);
        ASSERT_EQ(disk.size(), record_size + 4);
        EXPECT_EQ(memcmp(disk.data(), c.marker, 4), 0) << "marker in the writer's mode";
        EXPECT_EQ(memcmp(disk.data() + 4, c.u32_bytes, 4), 0);
        EXPECT_EQ(memcmp(disk.data() + 4, record, record_size), 0);

        memarena_reset(&arena);
        uint8_t* buf = nullptr;
        uint64_t size = 0;
        int endian = 0;
        ASSERT_EQ(n3d_io_load_file(path.c_str(), &arena, &buf, &size, &endian), 0);
        EXPECT_EQ(endian, c.mode);
        EXPECT_EQ(size, record_size);
        EXPECT_EQ(buf, block + 4) << "the whole file stays in the arena, marker first";

        uint32_t count;
        uint16_t value;
        float f;
        char* name;
        uint8_t* p = io_load32(&count, buf, endian);
        p = io_load16(&value, p, endian);
        p = io_loadf32(&f, p, endian);
        p = io_loadstr(&name, &arena, p);
        EXPECT_EQ(count, 0x11223344u);
        EXPECT_EQ(value, 0xBEEF);
        EXPECT_EQ(f, -1.5f);
        EXPECT_STREQ(name, "wall.tmap");
        EXPECT_EQ(p, buf + size);

        EXPECT_EQ(n3d_io_get_endian_from_file(path.c_str()), c.mode);
    }
}

TEST_F(AssetFile, EmptyRecordIsJustTheMarker)
{
    std::string path = dir + "/empty_record.bin";
    captured_run w =
        capture_run([&] { child_exit(n3d_io_store_file(path.c_str(), nullptr, nullptr, IO_ENDIAN_NATIVE)); });
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.out, "wrote 0 bytes to \"" + path + "\"\n");
    EXPECT_EQ(read_bytes(path), (std::vector<uint8_t>{0xCD, 0xAB, 0x00, 0x00}));

    uint8_t* buf = nullptr;
    uint64_t size = 99;
    int endian = 0;
    EXPECT_EQ(n3d_io_load_file(path.c_str(), &arena, &buf, &size, &endian), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(endian, IO_ENDIAN_NATIVE);
}

// Files that cannot hold a marker are unreadable (result 1, no crash, outputs
// untouched); an unknown marker is fatal through the renderer's crash path.
TEST_F(AssetFile, UnreadableFilesAndBadMarkers)
{
    mkdir((dir + "/adir").c_str(), 0755);
    const struct {
        const char* why;
        const char* name;
        bool create;
        std::vector<uint8_t> bytes;
        int status;       // exit status of the child (the load result, or 1 from the crash)
        const char* out;  // regex over standard output
        const char* err;  // regex over standard error
    } cases[] = {
        {"missing file", "missing.tmap", false, {}, 1, "^fopen failed, path: .*/missing.tmap\n$", "^$"},
        {"directory", "adir", false, {}, 1, "^fopen failed, path: .*/adir\n$", "^$"},
        {"empty file", "empty.tmap", true, {}, 1, "^file too short .*empty.tmap\n$", "^$"},
        {"short file: 3 bytes of a marker",
         "short.tmap",
         true,
         {0xCD, 0xAB, 0x00},
         1,
         "^file too short .*short.tmap\n$",
         "^$"},
        {"halves exchanged",
         "halves.tmap",
         true,
         {0x00, 0x00, 0xCD, 0xAB, 1, 2},
         1,
         "^$",
         "^crash at src/n3d_io:[0-9]+\ninvalid endian marker\\?\nin file \".*/halves.tmap\"\n$"},
        {"not a marker at all",
         "text.tmap",
         true,
         {'a', 'b', 'c', 'd', 'e'},
         1,
         "^$",
         "^crash at src/n3d_io:[0-9]+\ninvalid endian marker\\?\nin file \".*/text.tmap\"\n$"},
        {"only the marker", "marker.tmap", true, {0xCD, 0xAB, 0x00, 0x00}, 0, "^$", "^$"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        std::string path = dir + "/" + c.name;
        if (c.create)
            write_bytes(path, c.bytes);
        captured_run r = capture_run([&] {
            uint8_t* buf = reinterpret_cast<uint8_t*>(1);
            uint64_t size = 77;
            int endian = 55;
            int result = n3d_io_load_file(path.c_str(), &arena, &buf, &size, &endian);
            // A failed load leaves the outputs as they were.
            if (result != 0 && (buf != reinterpret_cast<uint8_t*>(1) || size != 77 || endian != 55))
                child_exit(9);
            child_exit(result);
        });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
        EXPECT_TRUE(std::regex_match(crash_site(r.err), std::regex(crash_site(c.err)))) << r.err;
    }
}

TEST_F(AssetFile, EndianFromFileCrashesWhenTheMarkerCannotBeRead)
{
    std::string bad = dir + "/bad.bin";
    write_bytes(bad, {0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(n3d_io_get_endian_from_file(bad.c_str()), -1) << "an unknown marker is handed back unchecked";

    std::string shorter = dir + "/short.bin";
    write_bytes(shorter, {0xCD, 0xAB});
    captured_run r = capture_run([&] { n3d_io_get_endian_from_file(shorter.c_str()); });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(
        crash_site(r.err),
        std::regex(crash_site("^file size 2 is smaller than n = 4 bytes to be read!\ncrash in  at src/n3d_io:[0-9]+\n"
                              "failed read endian from file \".*/short.bin\"$"))))
        << r.err;
}

// A store whose bytes do not all reach the file is a failure, never a silent
// truncated asset: /dev/full accepts the open and the buffered writes, then
// fails to flush on close.
TEST_F(AssetFile, StoreReportsFailures)
{
    const uint8_t record[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct stat st;
    if (stat("/dev/full", &st) == 0) {
        captured_run r =
            capture_run([&] { child_exit(n3d_io_store_file("/dev/full", record, record + 16, IO_ENDIAN_NATIVE)); });
        EXPECT_EQ(r.status, 1) << "a failed close must not read as success";
    }
    std::string unopenable = dir + "/no/such/dir/x.tmap";
    captured_run r =
        capture_run([&] { child_exit(n3d_io_store_file(unopenable.c_str(), record, record + 16, IO_ENDIAN_NATIVE)); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "nothing was written";
}

TEST(AssetBuffer, EndianFromBuffer)
{
    const uint8_t native[] = {0xCD, 0xAB, 0x00, 0x00, 0xFF};
    const uint8_t swapped[] = {0x00, 0x00, 0xAB, 0xCD};
    const uint8_t junk[] = {0xAB, 0xCD, 0x00, 0x00};
    const struct {
        const uint8_t* data;
        uint64_t size;
        int mode;
        const char* why;
    } cases[] = {
        {native, 5, IO_ENDIAN_NATIVE, "native marker with a record after it"},
        {swapped, 4, IO_ENDIAN_SWAPPED, "swapped marker, nothing after it"},
        {junk, 4, -1, "unknown marker"},
        {native, 3, -1, "fewer than 4 bytes: the marker is not read"},
        {nullptr, 0, -1, "no data"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(n3d_io_endian_from_buffer(c.data, c.size), c.mode) << c.why;
}
