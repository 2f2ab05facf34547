// The plots' bounded history: however many reports come, the points stay
// within their bound and an error burst long past is still drawn.
#include "frontend/history.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(DecimatedSeries, StaysBoundedAndKeepsEveryBurst) {
    struct Case {
        const char* name;
        size_t buckets;
        int reports;
        int burstAt;  // index of the one report with a high value; -1: none
    };
    const Case cases[] = {
        {"fewer reports than buckets", 64, 40, 17},
        {"72 hours at two reports a second", 512, 72 * 3600 * 2, 123457},
        {"the burst in the very first report", 512, 100000, 0},
        {"the burst in the very last report", 512, 100000, 99999},
        {"no burst", 16, 1000, -1},
    };
    for (const Case& c : cases) {
        DecimatedSeries series(c.buckets);
        for (int i = 0; i < c.reports; ++i) series.Add(i * 0.5, i == c.burstAt ? 1e-3 : 1e-7);
        const std::vector<HistoryPoint> points = series.Points();
        EXPECT_LE(points.size(), 2 * c.buckets) << c.name;
        EXPECT_EQ(series.Added(), static_cast<uint64_t>(c.reports)) << c.name;
        const auto highest = std::max_element(points.begin(), points.end(),
                                              [](auto& a, auto& b) { return a.y < b.y; });
        if (c.burstAt >= 0) {
            EXPECT_EQ(highest->y, 1e-3) << c.name;
            EXPECT_EQ(highest->x, c.burstAt * 0.5) << c.name << ": the burst moved";
        } else {
            EXPECT_EQ(highest->y, 1e-7) << c.name;
        }
        // Time runs forward through the points, first and last report included.
        EXPECT_TRUE(std::is_sorted(points.begin(), points.end(), [](auto& a, auto& b) {
            return a.x < b.x;
        })) << c.name;
        EXPECT_EQ(points.front().x, 0) << c.name;
    }
}

TEST(DecimatedSeries, FewReportsAreKeptOneByOne) {
    DecimatedSeries series(8);
    for (int i = 0; i < 8; ++i) series.Add(i, i * i);
    const std::vector<HistoryPoint> points = series.Points();
    ASSERT_EQ(points.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(points[i].y, i * i);
    EXPECT_EQ(series.ReportsPerBucket(), 1u);
}

}  // namespace
