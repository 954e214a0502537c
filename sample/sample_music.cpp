#include "sample_music.h"

#include <cmath>

// Arrangement, one bar per entry of the chord cycle Am F C G:
//   bars  0- 3 pad alone          bars  4-11 + bass and kick
//   bars 12-19 + snare and hats   bars 20-39 + arpeggio (everything)
//   bars 40-43 pad and bass, dying away
static const int SAMPLE_CHORDS[4][3] = {
    {57, 60, 64},  // A minor: A3 C4 E4
    {53, 57, 60},  // F major: F3 A3 C4
    {48, 52, 55},  // C major: C3 E3 G3
    {55, 59, 62},  // G major: G3 B3 D4
};
static const int SAMPLE_BASS[4] = {45, 41, 36, 43};  // A2 F2 C2 G2

static const double SAMPLE_PI = 3.14159265358979323846;

static double sample_note_hz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// A small deterministic noise source for the drums.
static uint32_t g_sample_noise = 0x12345678u;
static double sample_noise()
{
    g_sample_noise = g_sample_noise * 1664525u + 1013904223u;
    return (double)(g_sample_noise >> 8) / 8388608.0 - 1.0;
}

// Band-limited-ish saw from a few harmonics, soft enough for a pad.
static double sample_soft_saw(double phase)
{
    double s = 0.0;
    for (int h = 1; h <= 6; ++h)
        s += std::sin(2.0 * SAMPLE_PI * phase * h) / h;
    return s * 0.55;
}

void sample_music_render(int16_t* out)
{
    g_sample_noise = 0x12345678u;
    double lp_noise = 0.0;  // one-pole low-pass of the noise, for the high-passed hats
    for (int32_t i = 0; i < SAMPLE_MUSIC_FRAMES; ++i) {
        int bar = i / SAMPLE_MUSIC_BAR_FRAMES;
        int in_bar = i % SAMPLE_MUSIC_BAR_FRAMES;
        int beat = in_bar / SAMPLE_MUSIC_BEAT_FRAMES;
        int in_beat = in_bar % SAMPLE_MUSIC_BEAT_FRAMES;
        int eighth = in_bar / (SAMPLE_MUSIC_BEAT_FRAMES / 2);
        int in_eighth = in_bar % (SAMPLE_MUSIC_BEAT_FRAMES / 2);
        int sixteenth = in_bar / (SAMPLE_MUSIC_BEAT_FRAMES / 4);
        int in_sixteenth = in_bar % (SAMPLE_MUSIC_BEAT_FRAMES / 4);
        double t = (double)i / SAMPLE_MUSIC_RATE;
        double tb = (double)in_bar / SAMPLE_MUSIC_RATE;
        const int* chord = SAMPLE_CHORDS[bar % 4];

        bool drums = bar >= 4 && bar < 40;
        bool backbeat = bar >= 12 && bar < 40;
        bool arp = bar >= 20 && bar < 40;
        double master = 1.0;
        if (bar >= 40)  // the last four bars die away
            master = 1.0 - (double)(i - 40 * SAMPLE_MUSIC_BAR_FRAMES) / (4.0 * SAMPLE_MUSIC_BAR_FRAMES);
        double fade_in = i < SAMPLE_MUSIC_BAR_FRAMES ? (double)i / SAMPLE_MUSIC_BAR_FRAMES : 1.0;

        // Pad: the chord on two slightly detuned voices, swelling with each bar.
        double swell = 0.6 + 0.4 * std::sin(SAMPLE_PI * tb / 2.0);
        double pad_l = 0.0, pad_r = 0.0;
        for (int n = 0; n < 3; ++n) {
            double f = sample_note_hz(chord[n]);
            pad_l += sample_soft_saw(f * 0.998 * t);
            pad_r += sample_soft_saw(f * 1.002 * t);
        }
        pad_l *= 0.08 * swell * fade_in;
        pad_r *= 0.08 * swell * fade_in;

        // Bass: root on every eighth, octave up on the off-beats, plucked.
        double bass = 0.0;
        if (bar >= 4) {
            int note = SAMPLE_BASS[bar % 4] + ((eighth & 1) ? 12 : 0);
            double te = (double)in_eighth / SAMPLE_MUSIC_RATE;
            double env = std::exp(-te * 6.0);
            double ph = sample_note_hz(note) * te;
            bass = (std::sin(2.0 * SAMPLE_PI * ph) + 0.25 * std::sin(4.0 * SAMPLE_PI * ph)) * 0.22 * env;
        }

        // Arpeggio: chord tones up an octave, one per sixteenth, panned across.
        double arp_l = 0.0, arp_r = 0.0;
        if (arp) {
            static const int ORDER[4] = {0, 1, 2, 1};
            int note = chord[ORDER[sixteenth % 4]] + 12;
            double ts = (double)in_sixteenth / SAMPLE_MUSIC_RATE;
            double env = std::exp(-ts * 18.0);
            double ph = sample_note_hz(note) * ts;
            double v = (std::sin(2.0 * SAMPLE_PI * ph) + 0.3 * std::sin(6.0 * SAMPLE_PI * ph)) * 0.09 * env;
            double pan = 0.5 + 0.4 * std::sin(2.0 * SAMPLE_PI * sixteenth / 16.0);
            arp_l = v * (1.0 - pan);
            arp_r = v * pan;
        }

        // Drums: kick on every beat, snare on 2 and 4, hats on the eighths.
        double kick = 0.0, snare = 0.0, hat = 0.0;
        double noise = sample_noise();
        lp_noise += (noise - lp_noise) * 0.35;
        if (drums) {
            double tk = (double)in_beat / SAMPLE_MUSIC_RATE;
            double kick_phase = 45.0 * tk + 90.0 * (1.0 - std::exp(-tk * 30.0)) / 30.0;
            kick = std::sin(2.0 * SAMPLE_PI * kick_phase) * std::exp(-tk * 9.0) * 0.45;
        }
        if (backbeat) {
            double tk = (double)in_beat / SAMPLE_MUSIC_RATE;
            if (beat == 1 || beat == 3)
                snare = (noise * 0.7 + 0.3 * std::sin(2.0 * SAMPLE_PI * 190.0 * tk)) * std::exp(-tk * 16.0) * 0.22;
            double th = (double)in_eighth / SAMPLE_MUSIC_RATE;
            hat = (noise - lp_noise) * std::exp(-th * 55.0) * ((eighth & 1) ? 0.10 : 0.06);
        }

        double left = (pad_l + bass + arp_l + kick + snare + hat * 0.8) * master;
        double right = (pad_r + bass + arp_r + kick + snare + hat * 1.2) * master;
        auto to16 = [](double v) {
            v = std::tanh(v * 1.1);  // gentle saturation instead of hard clipping
            long s = std::lround(v * 30000.0);
            return (int16_t)(s < -32768 ? -32768 : s > 32767 ? 32767 : s);
        };
        out[2 * i] = to16(left);
        out[2 * i + 1] = to16(right);
    }
}
