#include "history_digest.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "history_db.h"
#include "json_line.h"
#include "record_decoder.h"
#include "state_store.h"

namespace vxpoll {

namespace {

// Rows per read: each read is one short transaction beside the poller's writes.
constexpr int kChunk = 2000;

long long BucketOf(double t, double bucket) { return static_cast<long long>(std::floor(t / bucket)); }

// Thousandths are finer than any plotted value is measured.
double Rounded(double v) { return std::round(v * 1000) / 1000; }

// Only the plotted fields of an image: a week of rows is read in one go, and
// decoding every field of each would cost most of the time.
bool IsPlotted(const char* name)
{
    for (const char* plotted : {"v", "i", "dc_m", "battery_i", "a", "b", "c"})
        if (std::strcmp(name, plotted) == 0) return true;
    return false;
}

bool ReadPlotted(const std::vector<FieldSpec>& fields, const unsigned char* block, size_t size, Json::Value& out)
{
    for (const FieldSpec& f : fields) {
        if (!IsPlotted(f.name)) continue;
        if (static_cast<size_t>(f.offset) + static_cast<size_t>(FieldWidth(f)) > size) return false;
        Json::Value& v = out[f.name];
        for (int k = 0; k < f.count; ++k) {
            const unsigned char* at = block + f.offset + k * ElementWidth(f.type);
            Json::Value element;
            if (f.type == FieldType::U8) {
                element = Json::UInt{at[0]};
            } else if (f.type == FieldType::F32) {
                float x;
                std::memcpy(&x, at, sizeof x);
                element = std::isfinite(x) ? Json::Value(static_cast<double>(x)) : Json::Value();
            }
            if (f.count == 1)
                v = element;
            else
                v.append(element);
        }
    }
    return true;
}

bool PlottedFields(int recordType, const unsigned char* data, size_t size, Json::Value& out)
{
    const RecordLayout* layout = FindLayout(recordType);
    if (layout == nullptr || size < static_cast<size_t>(layout->headSize)) return false;
    out = Json::Value(Json::objectValue);
    if (!ReadPlotted(layout->head, data, static_cast<size_t>(layout->headSize), out)) return false;
    if (layout->itemSize <= 0) return size == static_cast<size_t>(layout->headSize);
    const size_t items = data[layout->countOffset];
    const size_t itemSize = static_cast<size_t>(layout->itemSize);
    if (size != static_cast<size_t>(layout->headSize) + items * itemSize) return false;
    Json::Value& list = out[layout->itemsName] = Json::Value(Json::arrayValue);
    for (size_t k = 0; k < items; ++k) {
        Json::Value item(Json::objectValue);
        if (!ReadPlotted(layout->items, data + layout->headSize + k * itemSize, itemSize, item)) return false;
        list.append(std::move(item));
    }
    return true;
}

}  // namespace

const std::vector<DigestRange>& DigestRanges()
{
    // About 300 points each: plenty for a chart a screen wide.
    static const std::vector<DigestRange> ranges{{"24h", 86400, 300}, {"7d", 7 * 86400, 1800}};
    return ranges;
}

const DigestRange* FindDigestRange(const std::string& name)
{
    for (const DigestRange& r : DigestRanges())
        if (name == r.name) return &r;
    return nullptr;
}

HistoryDigest::HistoryDigest(std::string path) : path_(std::move(path)), buckets_(DigestRanges().size()) {}

HistoryDigest::~HistoryDigest() = default;

void HistoryDigest::Add(double t, uint32_t dataId, const std::string& deviceType, const Json::Value& fields)
{
    PlotValues(dataId, deviceType, fields,
               [&](const std::string& key, const char* chart, const std::string& name, const char* unit, double v) {
                   if (!std::isfinite(v)) return;
                   auto found = seriesByKey_.find(key);
                   if (found == seriesByKey_.end()) {
                       series_.push_back(Series{chart, name, unit});
                       found = seriesByKey_.emplace(key, series_.size() - 1).first;
                   }
                   for (size_t r = 0; r < buckets_.size(); ++r) {
                       auto& bucket = buckets_[r][BucketOf(t, DigestRanges()[r].bucket)];
                       const auto at = bucket.find(found->second);
                       if (at == bucket.end()) {
                           bucket.emplace(found->second, Accumulator{v, v, v, 1});
                           continue;
                       }
                       Accumulator& a = at->second;
                       a.min = std::min(a.min, v);
                       a.max = std::max(a.max, v);
                       a.sum += v;
                       ++a.n;
                   }
               });
}

void HistoryDigest::Forget(double now)
{
    for (size_t r = 0; r < buckets_.size(); ++r) {
        const DigestRange& range = DigestRanges()[r];
        const long long first = BucketOf(now - range.span, range.bucket);
        Buckets& b = buckets_[r];
        b.erase(b.begin(), b.lower_bound(first));
    }
}

bool HistoryDigest::CatchUp(double now, std::string& error)
{
    if (path_.empty()) return true;
    if (!db_) {
        struct stat st {};
        // Not written yet: nothing to show so far.
        if (::stat(path_.c_str(), &st) != 0 && errno == ENOENT) return true;
        auto db = std::make_unique<HistoryDb>();
        if (!db->OpenForReading(path_, error)) return false;
        db_ = std::move(db);
    }
    if (lastId_ < 0) {
        double longest = 0;
        for (const DigestRange& r : DigestRanges()) longest = std::max(longest, r.span);
        const auto since =
            std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(now - longest)));
        int64_t first = 0;
        if (!db_->FirstIdFrom(LocalTimeText(since), first, error)) {
            db_.reset();
            return false;
        }
        lastId_ = first > 0 ? first - 1 : 0;
    }
    for (;;) {
        int rows = 0;
        const bool ok = db_->ForEachAfter(
            lastId_, kChunk,
            [this, &rows](const HistoryRow& row) {
                ++rows;
                lastId_ = row.id;
                Json::Value fields;
                if (PlottedFields(row.recordType, reinterpret_cast<const unsigned char*>(row.image.data()),
                                  row.image.size(), fields))
                    Add(HistoryTimeSeconds(row.time), row.dataId, row.deviceType, fields);
            },
            error);
        rowsRead_ += static_cast<uint64_t>(rows);
        if (!ok) {
            db_.reset();
            return false;
        }
        if (rows < kChunk) return true;
        if (cancelled_) {
            error = "stopping";
            return false;
        }
    }
}

void HistoryDigest::Warm(double now)
{
    // Linux gives each thread its own nice value.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
    std::lock_guard<std::mutex> lock(mutex_);
    std::string ignored;
    CatchUp(now, ignored);
}

bool HistoryDigest::Json(const DigestRange& range, double now, Json::Value& out, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!CatchUp(now, error)) return false;
    Forget(now);
    size_t r = 0;
    while (r < DigestRanges().size() && DigestRanges()[r].name != range.name) ++r;
    if (r == DigestRanges().size()) {
        error = std::string("unknown range ") + range.name;
        return false;
    }
    const Buckets& buckets = buckets_[r];
    const long long first = BucketOf(now - range.span, range.bucket);
    const long long last = BucketOf(now, range.bucket);
    out = Json::Value(Json::objectValue);
    out["range"] = range.name;
    out["bucket_s"] = range.bucket;
    // Whole buckets, so that the one still filling shows at its middle too.
    out["from"] = static_cast<double>(first) * range.bucket;
    out["to"] = static_cast<double>(last + 1) * range.bucket;
    Json::Value times(Json::arrayValue);
    for (long long b = first; b <= last; ++b) times.append((static_cast<double>(b) + 0.5) * range.bucket);
    out["times"] = times;
    Json::Value series(Json::arrayValue);
    for (size_t s = 0; s < series_.size(); ++s) {
        Json::Value mean(Json::arrayValue), low(Json::arrayValue), high(Json::arrayValue);
        bool any = false;
        for (long long b = first; b <= last; ++b) {
            const auto bucket = buckets.find(b);
            const auto a =
                bucket == buckets.end() ? std::map<size_t, Accumulator>::const_iterator() : bucket->second.find(s);
            if (bucket == buckets.end() || a == bucket->second.end()) {
                mean.append(Json::Value());
                low.append(Json::Value());
                high.append(Json::Value());
                continue;
            }
            any = true;
            mean.append(Rounded(a->second.sum / static_cast<double>(a->second.n)));
            low.append(Rounded(a->second.min));
            high.append(Rounded(a->second.max));
        }
        if (!any) continue;
        Json::Value one(Json::objectValue);
        one["chart"] = series_[s].chart;
        one["name"] = series_[s].name;
        one["unit"] = series_[s].unit;
        one["values"] = mean;
        one["min"] = low;
        one["max"] = high;
        series.append(one);
    }
    out["series"] = series;
    return true;
}

}  // namespace vxpoll
