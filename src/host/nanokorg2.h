// Snapshot of an eight-channel hardware control surface (knobs, sliders and
// transport buttons). The host owns one, zero-initialised, and hands it to the
// demo system on every update; the tuning tools read it. No code fills it from
// a device, so every field stays 0. Plain data, main thread only.
#pragma once

struct nanokorg2_state {
    float ch_knob[8];
    float ch_slider[8];
    int ch_solo[8];
    int ch_mute[8];
    int ch_record[8];
    int track_left;
    int track_right;
    int cycle;
    int marker_set;
    int marker_left;
    int marker_right;
    int rewind;
    int fastforward;
    int stop;
    int play;
    int record;
};
