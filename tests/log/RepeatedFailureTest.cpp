// What a failure that repeats every second says, over a test clock: its first time whole, the
// rest counted and summed up at growing intervals, its end, and the one-minute mark.
#include "log/RepeatedFailure.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Say = RepeatedFailure::Say;
using namespace std::chrono_literals;

TEST(RepeatedFailureTest, FirstWholeThenSummariesAtGrowingIntervalsAndTheEnd) {
    const RepeatedFailure::Clock::time_point zero{};
    RepeatedFailure failures;
    // A failure every second for three hours: what is said, at which second, with the count.
    std::vector<std::string> said;
    std::vector<long> outlastedAt;
    for (long second = 0; second < 3 * 3600; ++second) {
        const auto at = zero + std::chrono::seconds(second);
        const Say say = failures.failed(at);
        if (say == Say::Whole) {
            said.push_back(std::to_string(second) + " whole");
        } else if (say == Say::Summary) {
            said.push_back(std::to_string(second) + " " + std::to_string(failures.summed()));
        }
        if (failures.outlasted(60s, at)) {
            outlastedAt.push_back(second);
        }
    }
    // After 1, then 2, 4, 8, 16, 32 minutes, then an hour apart.
    const std::vector<std::string> expected = {
        "0 whole", "60 60", "180 120", "420 240", "900 480", "1860 960", "3780 1920", "7380 3600",
    };
    EXPECT_EQ(expected, said);
    EXPECT_EQ(std::vector<long>{60}, outlastedAt);
    EXPECT_EQ(10800u, failures.ended());

    // The next failure begins a new run, and its minute is counted afresh.
    const auto later = zero + 5h;
    EXPECT_EQ(Say::Whole, failures.failed(later));
    EXPECT_FALSE(failures.outlasted(60s, later + 59s));
    EXPECT_EQ(Say::Nothing, failures.failed(later + 30s));
    EXPECT_TRUE(failures.outlasted(60s, later + 60s));
    EXPECT_EQ(2u, failures.ended());
    // A run without failures ends with none.
    EXPECT_EQ(0u, failures.ended());
    EXPECT_FALSE(failures.outlasted(60s, later + 2h));
}

} // namespace
