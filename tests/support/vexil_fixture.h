// Test support for the production runtime: writes small productions (pack files
// made with the pack writer, under <dir>/assets/vexil/le) and runs the demo
// system over an emulated display in the test's own process, with the clock
// scripted by the test (no audio device runs, so only the test moves it).
// Header only; every helper fails the calling test through gtest assertions or
// the system's own crash path.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/memarena.h"
#include "host/demo_music.h"
#include "host/nanokorg2.h"
#include "host/valkyrie_context.h"
#include "vexil/demosys.h"
#include "vexil/vexil_fs.h"

struct vexil_fixture_payload {
    std::string name;
    int kind;
    std::string bytes;  // the payload as the pack stores it (asset files with their marker)
    size_t pad;         // zero bytes the writer appends (text payloads need at least one)
};

inline void vexil_fixture_write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    fclose(f);
}

inline std::string vexil_fixture_read_file(const std::string& path)
{
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        r.append(buf, n);
    fclose(f);
    return r;
}

// An asset file image: the endian marker in mode endian, then the record bytes.
inline std::string vexil_fixture_asset(const std::string& record, int endian = IO_ENDIAN_NATIVE)
{
    uint8_t m[4];
    io_store32(m, IO_ENDIAN_MARKER, endian);
    return std::string(reinterpret_cast<char*>(m), 4) + record;
}

// A text payload as the production stores it: one zero byte of padding.
inline vexil_fixture_payload vexil_fixture_text(const std::string& name, const std::string& text)
{
    return {name, VEXIL_RSRC_KIND_TEXT, text, 1};
}

// Writes one pack with the pack writer; each payload goes through a file of its
// own next to the pack, as the offline tool reads them.
inline void vexil_fixture_write_pack(const std::string& path, const std::vector<vexil_fixture_payload>& payloads,
                                     int endian = IO_ENDIAN_NATIVE)
{
    static uint8_t block[1 << 20];
    memarena arena;
    std::vector<uint8_t> big;
    size_t need = 4096;
    for (const auto& p : payloads)
        need += p.bytes.size() + p.pad + p.name.size() + 256;
    uint8_t* mem = block;
    if (need > sizeof block) {
        big.resize(need);
        mem = big.data();
    }
    memarena_init(&arena, "fixture_pack_arena", need > sizeof block ? need : sizeof block, mem);
    vexil_fs_pack pack;
    vexil_fs_pack_begin(&pack, endian);
    for (size_t i = 0; i < payloads.size(); i++) {
        std::string src = path + ".payload" + std::to_string(i);
        vexil_fixture_write_file(src, payloads[i].bytes);
        vexil_fs_pack_add_file(&pack, &arena, payloads[i].kind, payloads[i].pad, payloads[i].name.c_str(), src.c_str());
        unlink(src.c_str());
    }
    vexil_fs_pack_end(&pack, path.c_str(), &arena);
}

inline std::string vexil_fixture_asset_dir(const std::string& dir) { return dir + "/assets/vexil/le"; }

// <dir>/assets/vexil/le/pak0.vxf .. pak2.vxf; missing packs are written empty.
inline void vexil_fixture_write_production(const std::string& dir,
                                           const std::vector<std::vector<vexil_fixture_payload>>& paks,
                                           int endian = IO_ENDIAN_NATIVE)
{
    mkdir((dir + "/assets").c_str(), 0755);
    mkdir((dir + "/assets/vexil").c_str(), 0755);
    mkdir(vexil_fixture_asset_dir(dir).c_str(), 0755);
    for (int i = 0; i < 3; i++) {
        std::vector<vexil_fixture_payload> none;
        vexil_fixture_write_pack(vexil_fixture_asset_dir(dir) + "/pak" + std::to_string(i) + ".vxf",
                                 i < (int)paks.size() ? paks[i] : none, endian);
    }
}

// The demo system over an emulated display, as the host drives it.
struct vexil_fixture_host {
    memarena platform_arena;
    std::vector<uint8_t> platform_block;
    valkyrie_context video;
    demosys* ds;
    uint8_t keys[256];
    nanokorg2_state nk2;

    vexil_fixture_host() : ds(nullptr) {}
    vexil_fixture_host(const vexil_fixture_host&) = delete;
    vexil_fixture_host& operator=(const vexil_fixture_host&) = delete;
    // The program keeps the demo arena until it exits; a test hands it back
    // here, and the player no longer points into its packs.
    ~vexil_fixture_host()
    {
        if (!ds)
            return;
        demo_music_load(nullptr, 0, 0, 0);
        demo_music_loaded.store(0);
        free(ds->arena.ptr);
        free(ds);
    }
};

// Starts the demo system in dir (the process's working directory becomes dir)
// with the clock at 0 and no music loaded. With load, runs the three loading
// updates so the production is initialised.
inline void vexil_fixture_start(vexil_fixture_host* h, const std::string& dir, int load = 1)
{
    ASSERT_EQ(chdir(dir.c_str()), 0);
    demo_music_load(nullptr, 0, 0, 0);
    demo_music_loaded.store(0);
    vexil_music_start(0);
    h->platform_block.assign(10485760, 0);
    memarena_init(&h->platform_arena, "platform_arena", h->platform_block.size(), h->platform_block.data());
    emulate_valkyrie_init(&h->video, &h->platform_arena);
    memset(h->keys, 0, sizeof h->keys);
    memset(&h->nk2, 0, sizeof h->nk2);
    h->ds = static_cast<demosys*>(calloc(1, sizeof(demosys)));
    ASSERT_EQ(demosys_init(h->ds, &h->video), 0);
    if (load)
        for (int i = 0; i < 3; i++)
            demosys_update(h->ds, &h->video, h->keys, &h->nk2);
}

inline void vexil_fixture_update(vexil_fixture_host* h, int is_vbl)
{
    if (is_vbl)
        demosys_vblank_update(h->ds, &h->video, h->keys, &h->nk2);
    else
        demosys_update(h->ds, &h->video, h->keys, &h->nk2);
}

// A production whose sequence has no rows: the program loads it and then runs
// until it is told to quit. For tests of the host that need the program to run.
inline void vexil_fixture_write_idle_production(const std::string& dir)
{
    vexil_fixture_write_production(dir, {{vexil_fixture_text("sequence.csv", "header of a sequence without rows\n")}});
}

// Removes what vexil_fixture_write_production wrote under dir.
inline void vexil_fixture_remove_production(const std::string& dir)
{
    std::string le = vexil_fixture_asset_dir(dir);
    for (int i = 0; i < 3; i++)
        unlink((le + "/pak" + std::to_string(i) + ".vxf").c_str());
    rmdir(le.c_str());
    rmdir((dir + "/assets/vexil").c_str());
    rmdir((dir + "/assets").c_str());
}
