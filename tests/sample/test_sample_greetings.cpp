// The sample production's greetings row, played by the real sequencer over the
// build's packs with a scripted clock: the scene's own lanes decide when each
// greeting starts and when its end has left the grid, and every greeting of
// "greetings.ini" must do both while the row runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/vexil_fixture.h"
#include "vexil/vexil.h"
#include "vexil/vexil_scenes_video.h"

namespace {

struct greeting_span {
    float start = -1.0f, end = -1.0f;  // local seconds; -1 while not reached
};

TEST(SampleGreetings, EveryGreetingScrollsFullyAcrossWhileItsRowRuns)
{
    vexil_fixture_host h;
    vexil_fixture_start(&h, QF_BINARY_DIR);
    vexil* d = &h.ds->vexil;
    const vexil_sequence_row* row = nullptr;
    for (int i = 0; i < d->sequence.rows_count; i++)
        if (strcmp(d->sequence.rows[i].func_name, "video_madpack_greets") == 0) {
            ASSERT_EQ(row, nullptr) << "the sample has one greetings row";
            row = &d->sequence.rows[i];
        }
    ASSERT_NE(row, nullptr);
    vexil_scene* scene = &d->scenes[row->scene_index];

    // From the row's prepare time on, pass by pass at 60 Hz (367.5 frames;
    // alternately 367 and 368) and a vertical blank after each pass, to the
    // last pass before the row's end.
    std::vector<greeting_span> spans;
    int pos = row->start_prepare_22050hz;
    for (int k = 0; pos < row->end_22050hz; k++, pos += 367 + (k & 1)) {
        vexil_audio_position.store(pos);
        vexil_fixture_update(&h, 0);
        vexil_fixture_update(&h, 1);
        if (pos < row->start_22050hz || !scene->completed_prepare || !scene->state.greet_states)
            continue;
        if (spans.empty()) {
            ASSERT_GE(greets_count, 1);
            spans.resize((size_t)greets_count);
        }
        for (int lane = 0; lane < 2; lane++) {
            const greet_state& st = scene->state.greet_states[lane];
            // Every greeting the lane has passed has finished by now.
            for (int g = lane; g < st.counter && g < greets_count; g += 2)
                if (spans[(size_t)g].end < 0.0f)
                    spans[(size_t)g].end = scene->local_t;
            if (st.counter < greets_count && scene->local_t >= st.t0 && spans[(size_t)st.counter].start < 0.0f)
                spans[(size_t)st.counter].start = scene->local_t;
        }
    }
    ASSERT_FALSE(spans.empty()) << "the greetings row never ran";
    const float row_seconds = (float)(row->end_22050hz - row->start_22050hz) / 22050.0f;
    for (int g = 0; g < greets_count; g++) {
        const greeting_span& s = spans[(size_t)g];
        std::string what = "greeting " + std::to_string(g) + " \"" + greets_array[g] + "\" (lane " +
                           std::to_string(g & 1) + ", sequence line " + std::to_string(row->line) + ", " +
                           std::to_string(row_seconds) + " s)";
        EXPECT_GE(s.start, 0.0f) << what << " never starts";
        EXPECT_GE(s.end, s.start) << what << " starts at " << s.start
                                  << " s and has not left the grid by the row's end";
    }
}

}  // namespace
