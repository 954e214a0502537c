// Writes the seed corpora of the fuzz targets into <dir>/<target>/: valid
// records of every kind in both byte orders made with the system's own
// writers, packs holding them, and sequence, ini and argument texts in the
// shapes the production uses. Pack files named after the directory (the
// sample production's) add their real payloads up to 64 KiB each, their texts,
// and a pack of their small payloads. Run again when a record layout changes;
// the regression inputs beside the seeds are kept as they are.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/io.h"
#include "fuzz_support.h"
#include "image/tga.h"
#include "n3d/n3d_asset.h"
#include "vexil/vexil_bindings.h"
#include "vexil/vexil_rsrc.h"

// A decoded resource kind's fuzz target carries the kind's name.
static const char* kind_target(int kind) { return VEXIL_RSRC_KINDS[kind].name; }
static bool kind_has_target(int kind)
{
    const vexil_rsrc_kind* k = vexil_rsrc_kind_find(kind);
    return k && k->decoder;
}

static std::string g_dir;

static void put(const std::string& target, const std::string& name, const void* data, size_t size)
{
    std::string d = g_dir + "/" + target;
    std::error_code ec;
    std::filesystem::create_directory(d, ec);
    std::string path = d + "/seed_" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f || (size && fwrite(data, 1, size, f) != size)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    fclose(f);
}

static void put(const std::string& target, const std::string& name, const std::string& text)
{
    put(target, name, text.data(), text.size());
}

// Largest sample payload taken as a seed, and largest one put in the small pack.
#define SAMPLE_PAYLOAD_MAX 65536u
#define SAMPLE_SMALL_PACK_PAYLOAD_MAX 8192u

static std::string file_safe(const std::string& name)
{
    std::string r;
    for (char c : name)
        r += (isalnum((unsigned char)c) || c == '.' || c == '_' || c == '-') ? c : '_';
    return r;
}

static void add_sample_pack(memarena* arena, const char* path)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", path);
        exit(1);
    }
    // Kept to the end: the production seed is written from every pack's payloads.
    std::vector<uint8_t>& image = *new std::vector<uint8_t>();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        image.insert(image.end(), buf, buf + n);
    fclose(f);
    vexil_fs fs;
    vexil_fs_open(&fs, image.data(), image.size(), arena);
    std::string pak = file_safe(strrchr(path, '/') ? strrchr(path, '/') + 1 : path);
    std::vector<fuzz_payload> small;
    static std::vector<std::pair<int, uint32_t>> seen;  // (kind, size): frames of one animation are one seed
    for (int i = 0; i < fs.header.entries_count; i++) {
        const vexil_fs_entry* e = &fs.header.entries[i];
        std::string name = "sample_" + pak + "_" + file_safe(e->name);
        bool fresh = std::find(seen.begin(), seen.end(), std::make_pair((int)e->tag, e->size)) == seen.end();
        seen.push_back({e->tag, e->size});
        if (kind_has_target(e->tag) && e->size <= SAMPLE_PAYLOAD_MAX && fresh)
            put(kind_target(e->tag), name, e->data, e->size);
        if (e->tag == VEXIL_RSRC_KIND_TEXT && e->size <= SAMPLE_PAYLOAD_MAX) {
            std::string text(reinterpret_cast<const char*>(e->data),
                             strnlen(reinterpret_cast<const char*>(e->data), e->size));
            put(strstr(e->name, ".csv") ? "sequence" : "ini", name, text);
        }
        if (e->size <= SAMPLE_SMALL_PACK_PAYLOAD_MAX)
            small.push_back({e->name, e->tag, e->data, e->size});
    }
    uint64_t size = 0;
    uint8_t* packed = fuzz_pack_image(small.data(), (int)small.size(), fs.header.endian, &size);
    put("pack", "sample_" + pak + "_small", packed, size);
    fuzz_free(packed);

    // The whole production in one pack for the production target, with every
    // payload above the small size replaced by a made one of its kind (the
    // sequence and ini texts stay as they are).
    static std::vector<fuzz_payload> production;
    static std::vector<std::string> names;
    names.reserve(256);
    for (int i = 0; i < fs.header.entries_count; i++) {
        const vexil_fs_entry* e = &fs.header.entries[i];
        fuzz_payload p = {e->name, e->tag, e->data, e->size};
        if (e->size > SAMPLE_SMALL_PACK_PAYLOAD_MAX && e->tag != VEXIL_RSRC_KIND_TEXT) {
            uint64_t made = 0;
            p.bytes = fuzz_make_payload(arena, e->tag, 1, fs.header.endian, &made);
            p.size = made;
        }
        production.push_back(p);
    }
    packed = fuzz_pack_image(production.data(), (int)production.size(), fs.header.endian, &size);
    put("production", "sample", packed, size);
    fuzz_free(packed);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <corpus dir> [pak file ...]\n", argv[0]);
        return 1;
    }
    g_dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directory(g_dir, ec);
    fuzz_env* env = fuzz_begin();
    memarena* A = env->arena;
    static const int endians[2] = {IO_ENDIAN_NATIVE, IO_ENDIAN_SWAPPED};
    static const char* const endian_names[2] = {"le", "be"};

    // Every kind's records, and an asset-file seed of each file loader's kind.
    std::vector<fuzz_payload> all[2];
    // The asset-file target's loader number for the kinds read as files of their own.
    static const struct {
        int kind, loader;
    } file_loaders[] = {{VEXIL_RSRC_KIND_TEXTURE, 1},
                        {VEXIL_RSRC_KIND_PALETTE_ANIMATION, 4},
                        {VEXIL_RSRC_KIND_PALETTE, 3},
                        {VEXIL_RSRC_KIND_FONT, 5}};
    auto file_loader_of_kind = [](int kind) {
        for (const auto& f : file_loaders)
            if (f.kind == kind)
                return f.loader;
        return -1;
    };
    for (int kind = 0; kind < VEXIL_RSRC_KINDS_COUNT; kind++) {
        if (!kind_has_target(kind))
            continue;
        for (int v = 0; v < FUZZ_PAYLOAD_VARIANTS; v++)
            for (int e = 0; e < 2; e++) {
                uint64_t size = 0;
                uint8_t* b = fuzz_make_payload(A, kind, v, endians[e], &size);
                std::string name = std::to_string(v) + "_" + endian_names[e];
                put(kind_target(kind), name, b, size);
                if (v == 0)
                    all[e].push_back({kind_target(kind), kind, b, size});
                if (file_loader_of_kind(kind) >= 0 && v < 2) {
                    std::string file(1, (char)file_loader_of_kind(kind));
                    file.append(reinterpret_cast<const char*>(b), size);
                    put("asset_file", std::string(kind_target(kind)) + "_" + name, file);
                    if (kind == VEXIL_RSRC_KIND_TEXTURE) {
                        file[0] = 0;
                        put("asset_file", "container_" + name, file);
                    }
                }
            }
    }
    // A mesh file: the marker and a vertex record of one triangle.
    {
        n3d_vertices v{};
        float xyz[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        float uv[6] = {0, 0, 1, 0, 0, 1};
        v.count = 3;
        v.xyz = xyz;
        v.uv = uv;
        n3d_asset_mesh m{};
        m.vertices = v;
        for (int e = 0; e < 2; e++) {
            uint8_t buf[512];
            buf[0] = 2;
            uint8_t* c = io_store32(buf + 1, IO_ENDIAN_MARKER, endians[e]);
            c = n3d_io_asset_mesh_store(c, &m, endians[e]);
            put("asset_file", std::string("mesh_") + endian_names[e], buf, (size_t)(c - buf));
        }
    }

    // Packs: every kind with music and a text in both orders, a two-name pack,
    // a name under two kinds, an empty one.
    for (int e = 0; e < 2; e++) {
        std::vector<fuzz_payload> p = all[e];
        static const uint8_t music[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        static const char text[] = "scene_name = a\n";
        p.push_back({"music", VEXIL_RSRC_KIND_MUSIC, music, sizeof(music)});
        p.push_back({"a.ini", VEXIL_RSRC_KIND_TEXT, reinterpret_cast<const uint8_t*>(text), sizeof(text)});
        uint64_t size = 0;
        uint8_t* image = fuzz_pack_image(p.data(), (int)p.size(), endians[e], &size);
        put("pack", std::string("all_") + endian_names[e], image, size);
        fuzz_free(image);
    }
    {
        static const char t1[] = "x\n";
        fuzz_payload p[2] = {{"a", VEXIL_RSRC_KIND_TEXT, reinterpret_cast<const uint8_t*>(t1), sizeof(t1)},
                             {"bb", VEXIL_RSRC_KIND_PALETTE, all[0][3].bytes, all[0][3].size}};
        uint64_t size = 0;
        uint8_t* image = fuzz_pack_image(p, 2, IO_ENDIAN_NATIVE, &size);
        put("pack", "two", image, size);
        fuzz_free(image);
        fuzz_payload q[2] = {{"same", VEXIL_RSRC_KIND_PALETTE, all[0][3].bytes, all[0][3].size},
                             {"same", VEXIL_RSRC_KIND_STENCIL, all[0][0].bytes, all[0][0].size}};
        image = fuzz_pack_image(q, 2, IO_ENDIAN_NATIVE, &size);
        put("pack", "same_name", image, size);
        fuzz_free(image);
        image = fuzz_pack_image(nullptr, 0, IO_ENDIAN_NATIVE, &size);
        put("pack", "empty", image, size);
        fuzz_free(image);
    }

    // A production over the fixed resource pack's kind of payloads: a loading
    // row, music, and overlay scenes naming them.
    {
        const char* seq = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n"
                          "abs,,0,0,abs,,0,load_sync,ready\n"
                          "abs,,0,0,relstart,me,100,music_start,music\n"
                          "ready:\n"
                          "abs,,0,0,abs,,2000,overlay_clear,3\n"
                          "relstart,prev,0,0,relend,prev,0,overlay_rle_image,rle,0,0,10,20,300,200\n"
                          "barrier,prev_completed\n"
                          "abs,,2000,500,abs,,4000,overlay_stencil_set,0,stencil,0,0\n"
                          "relstart,prev,0,0,relend,prev,0,overlay_palette_animation,1,pa,0,12.5\n"
                          "relstart,prev,0,0,relend,prev,0,overlay_heal,1\n"
                          "abs,,4000,0,abs,,6000,overlay_starfield,-1,img,100,pal,0.1,0.2,0,255,0,0\n"
                          "abs,,4000,0,abs,,6000,overlay_clut_set,pal2\n"
                          "abs,,1000,0,relstart,me,0,music_sync,0\n"
                          "relend,prev,0,0,relstart,me,3000,fade_out_music\n";
        static const struct {
            const char* name;
            int kind, variant;
        } items[] = {{"stencil", 0, 2}, {"pa", 2, 1},  {"pal", 3, 0},  {"pal2", 3, 1},
                     {"rle", 4, 1},     {"img", 5, 1}, {"music", 8, 0}};
        std::vector<fuzz_payload> p;
        for (const auto& it : items) {
            uint64_t size = 0;
            uint8_t* b = fuzz_make_payload(A, it.kind, it.variant, IO_ENDIAN_NATIVE, &size);
            p.push_back({it.name, it.kind, b, size});
        }
        p.push_back({"sequence.csv", VEXIL_RSRC_KIND_TEXT, reinterpret_cast<const uint8_t*>(seq), strlen(seq) + 1});
        uint64_t size = 0;
        uint8_t* image = fuzz_pack_image(p.data(), (int)p.size(), IO_ENDIAN_NATIVE, &size);
        put("production", "overlay", image, size);
        fuzz_free(image);
    }

    // Sequences.
    const std::string header = "start_op,start_op_v,start_ms,start_prep_rel_ms,end_op,end_op_v,end_ms,func_name,args\n";
    const char* const sequences[] = {
        "abs,prev,1000,0,relstart,me,500,overlay_clear\n",
        "relend,prev,1000,0,relstart,prev,2000,a\nrelend,me,-1000,0,abs,prev,5000,a\n",
        "abs,prev,0,0,abs,prev,1000,a\nintro:\nabs,prev,2000,0,abs,prev,3000,b\nrelstart,intro,500,0,relend,intro,0,"
        "c\n",
        "relstart,later,0,0,abs,prev,5000,a\nlater:\nrelend,prev,1000,0,relstart,me,1000,b\n",
        "abs,prev,0,500,abs,prev,1000,a\nabs,prev,2000,0,abs,prev,3000,music_sync,88200\n",
        "# comment\n\nabs,prev,0,0,abs,prev,1000,a\nbarrier,prev_completed\nx:\nrelend,prev,0,0,relstart,me,1,b\n",
        "abs,prev, -500,\t+100,abs,prev,+1000,a\nabs,prev,1000,0,abs,prev,2000,b",
        "abs,prev,0,0,abs,prev,1000,load_sync,start\nstart:\nabs,prev,0,0,abs,prev,4000,music_start,music\n"
        "abs,prev,0,0,abs,prev,1000,overlay_clear,5,x y\nbarrier,prev_completed   trailing\n"
        "relend,prev,0,0,relstart,me,1000,fade_out_music\n",
    };
    int i = 0;
    for (const char* s : sequences)
        put("sequence", std::to_string(i++), header + s);
    put("sequence", "header_only", header);

    // Ini texts.
    const char* const inis[] = {
        "scene_name = title\n",
        "integers = [1 2 3 ]\nfloats = [0.5 -2 1e3 ]\n",
        "# all kinds\npalette_animations = [pa ]\npalettes = [pal pal2 ]\nrle_images = [rle ]\nimages = [img "
        "img_small ]\nstencils = [stencil stencil_small ]\ntextures = [tex tex_flat ]\n",
        "scene_name = a # comment\nintegers = [\n  1 # one\n  2\n ]\nfloats = []\n",
    };
    i = 0;
    for (const char* s : inis)
        put("ini", std::to_string(i++), s);

    // Scene arguments: binding index, length choice, then the text.
    struct args_seed {
        const char* binding;
        const char* args;  // null: a row without arguments
    };
    const args_seed args[] = {
        {"load_sync", "c"},
        {"load_async", "c"},
        {"music_start", "music"},
        {"music_sync", "0"},
        {"overlay_load_progress", "@ini_progress"},
        {"overlay_stencil_animation", "@ini_stencil_anim"},
        {"overlay_rle_image", "rle,0,0,10,20,300,200"},
        {"overlay_rle_image", "rle,1,3,600,440,0,0"},
        {"overlay_clear", "7"},
        {"overlay_backbuffer_clear", "1,9"},
        {"overlay_stencil_set", "0,stencil_small,100,50"},
        {"overlay_stencil_set", "2,stencil,0,0"},
        {"overlay_clut_fade_to_color", "0,16,255,0,128"},
        {"overlay_clut_set", "pal2"},
        {"overlay_heal", "2"},
        {"overlay_scale", "tex,0,0,0,32,32,640,480"},
        {"overlay_scale", "tex_flat,1,-20,10,16,16,8,8"},
        {"overlay_stroke", "0,img,0.5,0.25,7,0,0,0"},
        {"overlay_palette_animation", "1,pa,0,12.5"},
        {"overlay_palette_animation", "0,pa,3,60"},
        {"overlay_starfield", "-1,0,100,pal,0.1,0.2,0,255,0,0"},
        {"overlay_starfield", "1,img,1000,pal,-1,2,10,73,5,-5"},
        {"overlay_clut_set1_pulsate", "5,1.5,0.25,255,0,0,0,0,255"},
        {"fade_out_music", nullptr},
        {"video_clut_reset", nullptr},
        {"video_clut_fade_to_color", "0,256,0,0,0"},
        {"overlay_clear", "@ini_plain"},
        {"overlay_rle_image", nullptr},
    };
    i = 0;
    for (const args_seed& a : args) {
        int b = 0;
        while (b < bindings_count && strcmp(bindings[b].name, a.binding) != 0)
            b++;
        std::string s;
        s += (char)b;
        s += (char)(i % 4 == 0 ? 2 : i % 4);
        if (a.args)
            s += a.args;
        put("scene_args", std::to_string(i++) + "_" + a.binding, s);
    }

    // Compressed payloads: literals only, a run-length match, long lengths.
    {
        std::vector<std::string> u;
        u.push_back(std::string("\x05\x00\x00", 3) + "\x50" + "hello");
        // 1 literal, a 6-byte match of offset 1, 3 literals.
        u.push_back(std::string("\x0A\x00\x00", 3) +
                    std::string("\x12"
                                "a\x00\x01",
                                4) +
                    "\x30"
                    "xyz");
        // 15 + 255 + 10 = 280 literals, a match of 11 + 4 bytes, 1 literal: 296 bytes.
        std::string big("\x28\x01\x00", 3);
        big += "\xFB\xFF\x0A";
        big += std::string(280, 'q');
        big += std::string("\x00\x01", 2);
        big += "\x10"
               "z";
        u.push_back(big);
        i = 0;
        for (const std::string& s : u)
            put("unpack", std::to_string(i++), s);
    }

    // Music: fade, end and seek, then a stream; and a small WAVE image.
    {
        std::string m(12, '\0');
        m[0] = 100;  // fade at frame 100
        m[8] = 10;   // seek by 10
        for (int k = 0; k < 600; k++)
            m += (char)(k * 37);
        put("music", "stream", m);
        std::string w(12, '\0');
        w += "RIFF";
        w += std::string("\x2c\x00\x00\x00", 4);
        w += "WAVEfmt ";
        w += std::string("\x10\x00\x00\x00\x01\x00\x02\x00\x22\x56\x00\x00\x88\x58\x01\x00\x04\x00\x10\x00", 20);
        w += "data";
        w += std::string("\x08\x00\x00\x00", 4);
        w += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
        put("music", "wave", w);
    }

    // TGA images.
    for (int v = 0; v < 2; v++) {
        tga t{};
        t.width = 3 + v * 5;
        t.height = 2 + v;
        t.palette_count = v ? 256 : 4;
        uint8_t pixels[64];
        uint8_t pal[256 * 4];
        for (int k = 0; k < t.width * t.height; k++)
            pixels[k] = (uint8_t)(k % t.palette_count);
        for (int k = 0; k < t.palette_count * 4; k++)
            pal[k] = (k % 4 == 3) ? 255 : (uint8_t)(k * 9);
        t.buffer = pixels;
        t.palette_rgba8888 = pal;
        uint64_t size = 0;
        uint8_t* b = tga_save_as_8bpp_palette_rgba8888(&t, A, &size);
        put("tga", std::to_string(v), b, size);
    }
    for (int a = 2; a < argc; a++)
        add_sample_pack(A, argv[a]);
    printf("seeds written to %s\n", g_dir.c_str());
    return 0;
}
