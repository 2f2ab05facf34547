// A plot's history for the page, bounded at any test length: reports are
// gathered into buckets whose width doubles whenever there are too many, and
// each bucket keeps its lowest and its highest value, so that an error burst
// stays visible however far it lies in the past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct HistoryPoint {
    double x = 0;
    double y = 0;
};

class DecimatedSeries {
   public:
    explicit DecimatedSeries(size_t maxBuckets = 512)
        : maxBuckets_(maxBuckets < 2 ? 2 : maxBuckets) {}
    void Add(double x, double y);
    // Each bucket's extremes in the order they came: at most twice maxBuckets.
    std::vector<HistoryPoint> Points() const;
    uint64_t Added() const { return added_; }
    uint64_t ReportsPerBucket() const { return width_; }

   private:
    struct Bucket {
        HistoryPoint low, high;
        uint64_t count = 0;
    };
    static void Merge(Bucket& into, const Bucket& next);
    void Halve();

    size_t maxBuckets_;
    uint64_t width_ = 1;
    uint64_t added_ = 0;
    std::vector<Bucket> buckets_;
};
