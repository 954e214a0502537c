// The IMA ADPCM decoder against an independent one (Python's audioop), the
// codes where the two are meant to differ against hand-worked values, the
// encoder round trip and the WAVE chunk parser on well-formed and broken images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/acm_ima.h"
#include "support/capture.h"
#include "support/windows_skip.h"

namespace {

struct worked_case {
    int index_before;  // state at the step-size table entry
    int sample_before;
    int code;
    int expected_sample;
    int expected_index;
    const char* why;
};

TEST(AcmImaDecode, WorkedValues)
{
    const worked_case cases[] = {
        {0, 0, 0, 0, 0, "step 7: 7 >> 3 = 0, index stays at 0"},
        {0, 0, 7, 12, 8, "multiply form: 0 + (7 x 7) >> 2 = 12 (shift-and-add gives 11)"},
        {0, 0, 15, -12, 8, "sign bit of code 7"},
        {0, 0, 3, 5, 0, "0 + (7 x 3) >> 2 = 5 (shift-and-add gives 4)"},
        {0, 0, 11, -5, 0, "sign bit of code 3"},
        {0, 0, 4, 7, 2, "plain step"},
        {88, 0, 3, 28670, 87, "step 32767: 4095 + 98301 >> 2"},
        {88, 0, 7, 32767, 88, "4095 + 229369 >> 2 = 61437, clamped; index stays at 88"},
        {88, 0, 15, -32768, 88, "clamped low"},
        {88, 100, 11, 100 - 28670, 87, "negative difference from a non-zero prediction"},
        {8, 1000, 6, 1000 + 2 + 24, 14, "step 16: 16 >> 3 + (16 x 6) >> 2"},
    };
    for (const worked_case& c : cases) {
        acm_ima_state s;
        s.index = c.index_before;
        s.stepsize = acm_ima_stepsize_table[c.index_before];
        s.predicted_sample = c.sample_before;
        int16_t out = acm_ima_decode(&s, c.code);
        EXPECT_EQ(out, c.expected_sample) << c.why;
        EXPECT_EQ(s.predicted_sample, c.expected_sample) << c.why;
        EXPECT_EQ(s.index, c.expected_index) << c.why;
        EXPECT_EQ(s.stepsize, acm_ima_stepsize_table[c.expected_index]) << c.why;
    }
}

TEST(AcmImaDecode, RepeatedCodeSevenSaturatesAndHolds)
{
    acm_ima_state s;
    acm_ima_init_state(&s);
    EXPECT_EQ(s.predicted_sample, 0);
    EXPECT_EQ(s.index, 0);
    EXPECT_EQ(s.stepsize, 7);
    int prev = 0;
    for (int i = 0; i < 200; i++) {
        int out = acm_ima_decode(&s, 7);
        ASSERT_GE(out, prev);
        prev = out;
    }
    EXPECT_EQ(prev, 32767);
    EXPECT_EQ(s.index, 88);
    EXPECT_EQ(s.stepsize, 32767);
}

// A stereo stream whose nibbles avoid the codes where audioop's shift-and-add
// rounding differs from ours by design.
std::vector<uint8_t> make_stream(uint32_t seed, int frames)
{
    static const int safe[] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14};
    static const int shrink[] = {0, 1, 2, 8, 9, 10};  // index -1
    static const int grow[] = {5, 6, 13, 14};         // index +4, +6
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    for (int i = 0; i < frames; i++) {
        int phase = (i / 2000) % 3;  // small steps, random, large steps
        int codes[2];
        for (int& c : codes) {
            if (phase == 0)
                c = (rng() % 16 == 0) ? 4 : shrink[rng() % 6];
            else if (phase == 1)
                c = safe[rng() % 12];
            else
                c = (rng() % 8 == 0) ? shrink[rng() % 6] : grow[rng() % 4];
        }
        out.push_back((uint8_t)(codes[0] | codes[1] << 4));
    }
    return out;
}

std::vector<int16_t> reference_decode(const std::vector<uint8_t>& stream)
{
    std::string dir = capture_temp_dir();
    std::string in = dir + "/codes.bin", out = dir + "/pcm.bin";
    FILE* f = fopen(in.c_str(), "wb");
    fwrite(stream.data(), 1, stream.size(), f);
    fclose(f);
    std::string script = std::string(QF_SOURCE_DIR) + "/tests/host/ima_reference.py";
    std::string cmd = "/usr/bin/python3 " + script + " " + in + " " + out;
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
    std::vector<int16_t> pcm(stream.size() * 2);
    f = fopen(out.c_str(), "rb");
    if (!f)
        return {};
    size_t got = fread(pcm.data(), 2, pcm.size(), f);
    fclose(f);
    EXPECT_EQ(got, pcm.size());
    return pcm;
}

TEST(AcmImaDecode, MatchesAudioopPerChannel)
{
    QF_SKIP_ON_WINDOWS(QF_SKIP_PYTHON_REFERENCE);
    const uint32_t seeds[] = {1, 20261210};
    for (uint32_t seed : seeds) {
        std::vector<uint8_t> stream = make_stream(seed, 12000);
        std::vector<int16_t> ref = reference_decode(stream);
        ASSERT_EQ(ref.size(), stream.size() * 2);
        const size_t n = stream.size();
        acm_ima_state left, right;
        acm_ima_init_state(&left);
        acm_ima_init_state(&right);
        int saw_index0_after_moving = 0, saw_index88 = 0, mismatches = 0;
        for (size_t i = 0; i < n; i++) {
            int16_t l = acm_ima_decode(&left, stream[i] & 15);
            int16_t r = acm_ima_decode(&right, stream[i] >> 4);
            if (l != ref[i] || r != ref[n + i]) {
                if (mismatches++ < 5)
                    ADD_FAILURE() << "seed " << seed << " frame " << i << ": " << l << "," << r << " vs " << ref[i]
                                  << "," << ref[n + i];
            }
            if (i > 10 && left.index == 0)
                saw_index0_after_moving = 1;
            if (left.index == 88 && right.index == 88)
                saw_index88 = 1;
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_TRUE(saw_index0_after_moving) << "the stream must exercise step index 0";
        EXPECT_TRUE(saw_index88) << "the stream must exercise step index 88";
    }
}

TEST(AcmImaEncode, RoundTripStaysInStepAndBoundsTheError)
{
    acm_ima_state enc, dec;
    acm_ima_init_state(&enc);
    acm_ima_init_state(&dec);
    const int n = 22050;
    double err2 = 0.0, sig2 = 0.0;
    int max_err_late = 0;
    for (int i = 0; i < n; i++) {
        double t = i / 22050.0;
        // A chirp from 100 Hz to 2 kHz with a slow envelope, plus a quiet tail.
        double amp = i < n * 3 / 4 ? 12000.0 * (0.3 + 0.7 * sin(M_PI * t)) : 40.0;
        int16_t x = (int16_t)lrint(amp * sin(2 * M_PI * (100.0 + 950.0 * t) * t));
        int code = acm_ima_encode(&enc, x);
        ASSERT_GE(code, 0);
        ASSERT_LE(code, 15);
        int16_t y = acm_ima_decode(&dec, code);
        ASSERT_EQ(y, enc.predicted_sample) << "encoder and decoder out of step at " << i;
        ASSERT_EQ(dec.index, enc.index);
        if (i > 200) {
            double e = (double)y - x;
            err2 += e * e;
            sig2 += (double)x * x;
            if (i < n * 3 / 4 && std::abs(y - x) > max_err_late)
                max_err_late = std::abs(y - x);
        }
    }
    double snr_db = 10.0 * log10(sig2 / err2);
    EXPECT_GT(snr_db, 20.0);
    EXPECT_LT(max_err_late, 4000);
}

// ---- WAVE chunk parser ----

void put_u32(std::vector<uint8_t>& v, uint32_t x)
{
    for (int i = 0; i < 4; i++)
        v.push_back((uint8_t)(x >> (8 * i)));
}

void put_chunk(std::vector<uint8_t>& v, const char* id, uint32_t size, const std::vector<uint8_t>& data)
{
    v.insert(v.end(), id, id + 4);
    put_u32(v, size);
    v.insert(v.end(), data.begin(), data.end());
}

std::vector<uint8_t> fmt16(uint16_t channels, uint16_t bits)
{
    std::vector<uint8_t> f = {1, 0, (uint8_t)channels, 0};
    put_u32(f, 22050);
    put_u32(f, 22050u * channels * (bits / 8));
    f.push_back((uint8_t)(channels * bits / 8));
    f.push_back(0);
    f.push_back((uint8_t)bits);
    f.push_back(0);
    return f;
}

std::vector<uint8_t> riff(const std::vector<uint8_t>& chunks)
{
    std::vector<uint8_t> v = {'R', 'I', 'F', 'F'};
    put_u32(v, (uint32_t)(chunks.size() + 4));
    v.insert(v.end(), {'W', 'A', 'V', 'E'});
    v.insert(v.end(), chunks.begin(), chunks.end());
    return v;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> v;
    for (const auto& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

std::vector<uint8_t> chunk(const char* id, std::vector<uint8_t> data, int pad = -1)
{
    std::vector<uint8_t> v;
    put_chunk(v, id, (uint32_t)data.size(), data);
    if (pad >= 0)
        v.push_back((uint8_t)pad);
    return v;
}

std::vector<uint8_t> chunk_sized(const char* id, uint32_t size, std::vector<uint8_t> data)
{
    std::vector<uint8_t> v;
    put_chunk(v, id, size, data);
    return v;
}

std::vector<uint8_t> with_byte(std::vector<uint8_t> v, size_t at, uint8_t value)
{
    v[at] = value;
    return v;
}

struct wav_case {
    const char* why;
    std::vector<uint8_t> image;
    int expected;             // wav_parse result
    uint32_t frames;          // on success
    int data_offset;          // on success: data pointer - image start
    uint16_t channels, bits;  // on success
};

TEST(WavParse, Table)
{
    const std::vector<uint8_t> pcm10(10, 0x55);
    const std::vector<wav_case> cases = {
        {"16-bit stereo, 10 data bytes: 2 frames", riff(cat({chunk("fmt ", fmt16(2, 16)), chunk("data", pcm10)})), 0, 2,
         12 + 24 + 8, 2, 16},
        {"odd chunk before fmt is followed by its pad byte",
         riff(cat({chunk("LIST", {1, 2, 3}, 0), chunk("fmt ", fmt16(1, 8)), chunk("data", {9, 9, 9})})), 0, 3,
         12 + 12 + 24 + 8, 1, 8},
        {"odd data chunk at the very end, pad byte missing",
         riff(cat({chunk("fmt ", fmt16(1, 8)), chunk("data", {7, 7, 7})})), 0, 3, 12 + 24 + 8, 1, 8},
        {"first data chunk after fmt wins",
         riff(cat(
             {chunk("fmt ", fmt16(1, 16)), chunk("junk", {0, 0}), chunk("data", {1, 2, 3, 4}), chunk("data", pcm10)})),
         0, 2, 12 + 24 + 10 + 8, 1, 16},
        {"not RIFF", with_byte(riff(cat({chunk("fmt ", fmt16(2, 16)), chunk("data", pcm10)})), 0, 'X'), 1, 0, 0, 0, 0},
        {"not WAVE", with_byte(riff(cat({chunk("fmt ", fmt16(2, 16)), chunk("data", pcm10)})), 8, 'X'), 1, 0, 0, 0, 0},
        {"shorter than the RIFF header", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A'}, 1, 0, 0, 0, 0},
        {"no fmt chunk", riff(chunk("data", pcm10)), 1, 0, 0, 0, 0},
        {"data only before fmt", riff(cat({chunk("data", pcm10), chunk("fmt ", fmt16(2, 16))})), 1, 0, 0, 0, 0},
        {"fmt chunk size past the end", riff(chunk_sized("fmt ", 200, fmt16(2, 16))), 1, 0, 0, 0, 0},
        {"data chunk size past the end", riff(cat({chunk("fmt ", fmt16(2, 16)), chunk_sized("data", 11, pcm10)})), 1, 0,
         0, 0, 0},
        {"size that overflows a signed or 32-bit offset",
         riff(cat({chunk_sized("LIST", 0xFFFFFFF8u, {}), chunk("fmt ", fmt16(2, 16)), chunk("data", pcm10)})), 1, 0, 0,
         0, 0},
        {"truncated chunk header", cat({riff(chunk("fmt ", fmt16(2, 16))), {'d', 'a', 't'}}), 1, 0, 0, 0, 0},
        {"fmt of 0 bytes per frame (8 channels of 4 bits)",
         riff(cat({chunk("fmt ", fmt16(8, 4)), chunk("data", pcm10)})), 1, 0, 0, 0, 0},
        {"fmt chunk of 4 bytes: no sample bits, 0 bytes per frame",
         riff(cat({chunk("fmt ", {1, 0, 2, 0}), chunk("data", pcm10)})), 1, 0, 0, 0, 0},
        {"fmt chunk of 2 bytes at the end of the image", riff(chunk("fmt ", {1, 0})), 1, 0, 0, 0, 0},
    };
    for (const wav_case& c : cases) {
        // Exactly sized copies, so any read past the image is caught by the sanitizer build.
        std::vector<uint8_t> image(c.image);
        uint8_t* exact = (uint8_t*)malloc(image.size());
        memcpy(exact, image.data(), image.size());
        wav_fmt fmt;
        memset(&fmt, 0xEE, sizeof(fmt));
        const uint8_t* data = nullptr;
        uint32_t frames = 12345;
        int r = wav_parse(exact, image.size(), &fmt, &data, &frames);
        EXPECT_EQ(r, c.expected) << c.why;
        if (r == 0 && c.expected == 0) {
            EXPECT_EQ(frames, c.frames) << c.why;
            EXPECT_EQ(data - exact, c.data_offset) << c.why;
            EXPECT_EQ(fmt.channels, c.channels) << c.why;
            EXPECT_EQ(fmt.sample_bits, c.bits) << c.why;
            EXPECT_EQ(fmt.sample_rate, 22050u) << c.why;
            EXPECT_EQ(fmt.channel_mask, 0u) << c.why << ": bytes past a 16-byte fmt chunk read as zero";
        } else if (r != 0) {
            EXPECT_EQ(frames, 12345u) << c.why << ": outputs untouched on failure";
            EXPECT_EQ(data, nullptr) << c.why;
        }
        free(exact);
    }
}

TEST(WavParse, FullFmtChunkIsCopiedWhole)
{
    std::vector<uint8_t> f = fmt16(2, 16);
    f.insert(f.end(), {16, 0, 0, 0, 3, 0, 0, 0, 0xFE, 0xFF});  // valid bits, pad, mask 3, sub-format tag
    for (int i = 0; i < 14; i++)
        f.push_back((uint8_t)(0xA0 + i));
    f.push_back(0x77);  // one byte beyond the record: ignored
    std::vector<uint8_t> image = riff(cat({chunk("fmt ", f, 0), chunk("data", std::vector<uint8_t>(8, 0))}));
    wav_fmt fmt;
    const uint8_t* data = nullptr;
    uint32_t frames = 0;
    ASSERT_EQ(wav_parse(image.data(), image.size(), &fmt, &data, &frames), 0);
    EXPECT_EQ(fmt.valid_bits_per_sample, 16);
    EXPECT_EQ(fmt.channel_mask, 3u);
    EXPECT_EQ(fmt.sub_format_tag, 0xFFFE);
    EXPECT_EQ(fmt.sub_format_other[0], 0xA0);
    EXPECT_EQ(fmt.sub_format_other[13], 0xAD);
    EXPECT_EQ(frames, 2u);
}

}  // namespace
