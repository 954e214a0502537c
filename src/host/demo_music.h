// Music player: plays a raw 4-bit IMA ADPCM stereo stream held in memory (one
// byte per frame, low nibble left, high nibble right) at 22050 Hz and keeps the
// production's clock `vexil_audio_position`, the frames written since the player
// was armed while a stream is loaded. The host's audio callback runs demo_music_play
// on SDL's audio thread; the host and the music scenes call the rest on the main
// thread. The stream points into pack memory; nothing is allocated; nothing fails.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/acm_ima.h"

// Sharing with the audio thread: every shared value is a relaxed 32-bit atomic
// (or pointer), so reading the clock or the position from the main thread is a
// plain .load(std::memory_order_relaxed). Changes from the main thread go through
// the functions below, which hold the audio device's lock (once attached) so the
// mixer sees each change whole; the mixer reads the shared values once per call
// and clamps what it decodes to the stream on every call.

#define DEMO_MUSIC_SAMPLE_RATE 22050

extern std::atomic<const uint8_t*> demo_music_acm_ima_buffer;  // the stream
extern std::atomic<int32_t> demo_music_frames_count;           // frames (bytes) in the stream
extern std::atomic<int32_t> demo_music_frame_position;         // music frame to decode next
extern acm_ima_state demo_music_state_left;                    // audio thread (and loads under the lock)
extern acm_ima_state demo_music_state_right;
extern std::atomic<int32_t> demo_music_loaded;                 // 1 once a stream was handed over
extern std::atomic<int32_t> demo_music_ok_to_start;            // 1 once armed
extern std::atomic<int32_t> vexil_audio_position;              // the clock, 22050 per second
extern std::atomic<int32_t> vexil_audio_position_start_music;  // clock value of music frame 0
extern std::atomic<int32_t> demo_music_fade_out;               // frame after which the fade runs; 0: none
extern std::atomic<int32_t> demo_music_end;                    // end frame given to the load (not read by the mixer)

// The host names its opened device so main-thread changes lock it; 0 (the
// default, and what tests that drive the mixer directly leave) takes no lock.
void demo_music_attach_device(uint32_t sdl_audio_device_id);

// Arms the player: ok_to_start 1, clock 0, music frame 0 at the given clock value.
void vexil_music_start(int music_start_22050_hz);
// Hands over a stream of size bytes: position 0, both decoders reset, loaded 1,
// fade start fade_out_frame (0: none), end end_frame (0: the whole stream).
// A null buffer or a negative size loads an empty stream.
void demo_music_load(const uint8_t* buffer, int size, int fade_out_frame, int end_frame);
// The mixer: fills dst with frames interleaved stereo frames (left, right).
void demo_music_play(int16_t* dst, int frames);
// Seeks the clock (and with it the music) by frames; never below 0.
void vexil_music_move_position(int frames);
// Sets the fade start (music frame after which the fade-out runs; 0: no fade).
void demo_music_fade_out_set(int frame);
// Moves the music position forward to frames when that is further on.
void demo_music_fast_forward_to(int frames);
