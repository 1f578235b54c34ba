// When a play becomes due: half its length or 240 s of playing, whichever is
// less; time spent paused does not count, time played before does.
#include <gtest/gtest.h>

#include "scrobbler/worker_steps.h"

namespace kiln::test {
namespace {

TEST(ScrobbleTimerDelay, HalfTheLengthOrFourMinutesOfPlaying) {
    const int64_t resumed = 1700000000;
    const struct {
        const char* name;
        int length;
        int64_t played;  // before the resume
        int64_t sinceResume;
        int64_t delay;
    } cases[] = {
        {"31 s: 15.5 rounded up", 31, 0, 0, 16},
        {"31 s armed 15 s in", 31, 0, 15, 1},
        {"480 s armed 10 s in", 480, 0, 10, 230},
        {"481 s armed 10 s in", 481, 0, 10, 230},
        {"an odd length in single precision", 479, 0, 0, 240},
        {"200 s paused after 60 s, resumed", 200, 60, 0, 40},
        {"200 s paused past its scrobble point", 200, 101, 0, -1},
        {"481 s paused after it was due", 481, 300, 0, -60},
        {"a negative time played counts as none", 200, -5, 0, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ScrobbleTimerDelay(resumed, c.length, c.played, resumed + c.sinceResume),
                  c.delay);
    }
}

}  // namespace
}  // namespace kiln::test
