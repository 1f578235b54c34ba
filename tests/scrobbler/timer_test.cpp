// When a play becomes due: half its length, at most 240 s of playing.
#include <gtest/gtest.h>

#include "scrobbler/worker_steps.h"

namespace kiln::test {
namespace {

TEST(ScrobbleTimerDelay, HalfTheLengthRoundedUpAtMost240Seconds) {
    const int64_t start = 1700000000;
    const struct {
        const char* name;
        int length;
        int64_t paused;
        int64_t sinceStart;
        int64_t delay;
    } cases[] = {
        {"31 s: 15.5 rounded up", 31, 0, 0, 16},
        {"31 s armed 15 s in", 31, 0, 15, 1},
        {"480 s: due 240 s after its start", 480, 0, 0, 240},
        {"480 s armed 10 s in", 480, 0, 10, 230},
        {"481 s: a flat 240 s from arming", 481, 0, 0, 240},
        {"481 s resumed after a pause", 481, 300, 0, 240},
        {"200 s paused after 60 s, resumed", 200, 60, 0, 40},
        {"200 s paused past its scrobble point", 200, 101, 0, -1},
        {"a negative pause counts as none", 200, -5, 0, 100},
        {"an odd length in single precision", 479, 0, 0, 240},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ScrobbleTimerDelay(start, c.length, c.paused, start + c.sinceStart), c.delay);
    }
}

}  // namespace
}  // namespace kiln::test
