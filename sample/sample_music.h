// The sample production's music: a short piece synthesized from code (pad
// chords, bass line, arpeggio and drums at a steady 120 beats a minute in A
// minor), rendered as interleaved signed 16-bit stereo at 22050 Hz. The same
// build always renders the same samples. Offline tool code: the caller owns
// the output buffer.
#pragma once

#include <cstdint>

#define SAMPLE_MUSIC_RATE 22050
#define SAMPLE_MUSIC_BEAT_FRAMES 11025  // 120 beats a minute
#define SAMPLE_MUSIC_BAR_FRAMES (4 * SAMPLE_MUSIC_BEAT_FRAMES)
#define SAMPLE_MUSIC_BARS 44
#define SAMPLE_MUSIC_FRAMES (SAMPLE_MUSIC_BARS * SAMPLE_MUSIC_BAR_FRAMES)  // 88 s

// Writes SAMPLE_MUSIC_FRAMES stereo frames (left, right) into out.
void sample_music_render(int16_t* out);
