#include "frontend/history.h"

void DecimatedSeries::Merge(Bucket& into, const Bucket& next) {
    if (next.low.y < into.low.y) into.low = next.low;
    if (next.high.y > into.high.y) into.high = next.high;
    into.count += next.count;
}

void DecimatedSeries::Add(double x, double y) {
    ++added_;
    const Bucket point{{x, y}, {x, y}, 1};
    if (!buckets_.empty() && buckets_.back().count < width_) return Merge(buckets_.back(), point);
    buckets_.push_back(point);
    if (buckets_.size() > maxBuckets_) Halve();
}

void DecimatedSeries::Halve() {
    size_t kept = 0;
    for (size_t i = 0; i < buckets_.size(); i += 2) {
        Bucket merged = buckets_[i];
        if (i + 1 < buckets_.size()) Merge(merged, buckets_[i + 1]);
        buckets_[kept++] = merged;
    }
    buckets_.resize(kept);
    width_ *= 2;
}

std::vector<HistoryPoint> DecimatedSeries::Points() const {
    std::vector<HistoryPoint> points;
    points.reserve(buckets_.size() * 2);
    for (const Bucket& b : buckets_) {
        const bool lowFirst = b.low.x <= b.high.x;
        points.push_back(lowFirst ? b.low : b.high);
        if (b.count > 1 && (b.low.x != b.high.x || b.low.y != b.high.y))
            points.push_back(lowFirst ? b.high : b.low);
    }
    return points;
}
