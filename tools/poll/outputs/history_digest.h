#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

// The plots' longer ranges (24 hours, 7 days) from the history file, cut into
// buckets with the minimum, maximum and mean of each series, so that a week
// reaches the page as a few hundred points however often the rounds ran. The
// file is read once, then only the rows added since the last request.
namespace vxpoll {

class HistoryDb;

struct DigestRange {
    const char* name;  // "24h", "7d"
    double span;       // seconds shown
    double bucket;     // seconds per bucket
};
const std::vector<DigestRange>& DigestRanges();
const DigestRange* FindDigestRange(const std::string& name);

class HistoryDigest {
public:
    // path: the history file (--history); it may not exist yet.
    explicit HistoryDigest(std::string path);
    ~HistoryDigest();
    HistoryDigest(const HistoryDigest&) = delete;
    HistoryDigest& operator=(const HistoryDigest&) = delete;

    // {"range", "bucket_s", "from", "to" (the buckets' bounds), "times" (bucket middles, Unix
    // seconds), "series": [{"chart", "name", "unit", "values" (means), "min",
    // "max"}]} for the range ending at `now`; false with a reason when the
    // file cannot be read. Safe from any thread.
    bool Json(const DigestRange& range, double now, Json::Value& out, std::string& error);

    // Reads what the file holds for the ranges, so that the first page that
    // asks does not wait for it; at a low priority, beside the polling.
    void Warm(double now);
    // Makes a read in progress stop at its next chunk, for a quick shutdown.
    void Cancel() { cancelled_ = true; }

    // A decoded image taken at t (Unix seconds), as read from the file.
    void Add(double t, uint32_t dataId, const std::string& deviceType, const Json::Value& fields);
    // Rows read from the file so far.
    uint64_t RowsRead() const { return rowsRead_; }

private:
    struct Accumulator {
        double min;
        double max;
        double sum;
        unsigned long n;
    };
    struct Series {
        std::string chart;
        std::string name;
        std::string unit;
    };
    // Per range: bucket number -> series index -> accumulator.
    using Buckets = std::map<long long, std::map<size_t, Accumulator>>;

    bool CatchUp(double now, std::string& error);
    void Forget(double now);

    std::mutex mutex_;
    std::atomic<bool> cancelled_{false};
    std::string path_;
    std::unique_ptr<HistoryDb> db_;
    int64_t lastId_ = -1;  // -1: the file's start not found yet
    uint64_t rowsRead_ = 0;
    std::vector<Series> series_;
    std::map<std::string, size_t> seriesByKey_;
    std::vector<Buckets> buckets_;  // one per DigestRanges()
};

}  // namespace vxpoll
