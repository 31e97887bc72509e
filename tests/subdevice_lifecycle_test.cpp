// What every sub-device shares around its round end and its cache image:
// a restore renews the data, an image that disagrees with its own counts
// changes nothing, the alarm-result flag only ever goes up, records are
// published as ordinary (not urgent) ones, and a round's work item does its
// own round's work once however the host holds it.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "VX42BAC.h"
#include "VX42BDC.h"
#include "VX42BRC.h"
#include "recording_controller.h"

namespace {

using Bytes = std::vector<unsigned char>;
using boost::posix_time::hours;
using boost::posix_time::second_clock;

struct Kind {
    const char* name;
    std::shared_ptr<SMDVDevice> (*make)();
    int recordType;
    size_t head;     // bytes before the first channel or module record
    size_t each;     // bytes of one channel or module record; 0: none
    size_t countAt;  // the byte that holds the channel or module count
    size_t ttimeAt;  // 7 bytes the round end rewrites
    size_t alarmAt;  // a byte that raises an alarm when it holds alarm
    unsigned char alarm;
};

const Kind kKinds[] = {
    {"AC", [] { return std::shared_ptr<SMDVDevice>(std::make_shared<VX42BAC>()); }, 5085, 31, 26, 16, 24, 31 + 17, 1},
    {"DC", [] { return std::shared_ptr<SMDVDevice>(std::make_shared<VX42BDC>()); }, 5087, 101, 0, 0, 94, 55, 1},
    {"RC", [] { return std::shared_ptr<SMDVDevice>(std::make_shared<VX42BRC>()); }, 5086, 65, 38, 57, 58, 65 + 30, 1},
};

// A well-formed image with two channels or modules; `fill` in every byte
// that is neither a count nor the alarm byte.
Bytes Image(const Kind& k, unsigned char fill)
{
    Bytes image(k.head + 2 * k.each, fill);
    if (k.each) image[k.countAt] = 2;
    image[k.alarmAt] = 0;
    return image;
}

Bytes Longer(Bytes image, size_t by)
{
    image.insert(image.end(), by, 0x33);
    return image;
}

Bytes WithoutStamp(const Kind& k, Bytes image)
{
    std::fill(image.begin() + k.ttimeAt, image.begin() + k.ttimeAt + 7, 0);
    return image;
}

struct Device {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    std::shared_ptr<SMDVDevice> device;
    explicit Device(const Kind& k) : device(k.make()) { device->SetController(host); }
    bool Load(const Bytes& image) { return device->LoadFromCache(image.data(), static_cast<int>(image.size())); }
    void Round()
    {
        device->RoundDone();
        host->RunPendingWork();
    }
};

TEST(SubDeviceLifecycle, RestoreRenewsTheLastUpdateTime)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Device d(k);
        const auto aged = second_clock::local_time() - hours(1);
        d.device->SetLastUpdate(aged);
        const auto before = second_clock::local_time();
        ASSERT_TRUE(d.Load(Image(k, 0x11)));
        EXPECT_GE(d.device->LastUpdate(), before);
        EXPECT_LE(d.device->LastUpdate(), second_clock::local_time());
        EXPECT_TRUE(d.device->IsDataReady());
    }
}

TEST(SubDeviceLifecycle, ImagesThatDisagreeWithTheirCountsChangeNothing)
{
    for (const Kind& k : kKinds) {
        const Bytes good = Image(k, 0x22);
        // Name, and the image made from the good one.
        std::vector<std::pair<std::string, Bytes>> bad = {
            {"one byte short", Bytes(good.begin(), good.end() - 1)},
            {"one byte long", Longer(good, 1)},
            {"empty", {}},
        };
        if (k.each) {
            bad.push_back({"a record more than its count", Longer(good, k.each)});
            Bytes less(good.begin(), good.end() - static_cast<long>(k.each));
            bad.push_back({"a record less than its count", less});
            Bytes counted = good;
            counted[k.countAt] = 3;
            bad.push_back({"count above its records", counted});
            counted[k.countAt] = 1;
            bad.push_back({"count below its records", counted});
            bad.push_back({"only the head", Bytes(good.begin(), good.begin() + static_cast<long>(k.head))});
        }
        for (const auto& [what, image] : bad) {
            SCOPED_TRACE(std::string(k.name) + ": " + what);
            Device d(k);
            const Bytes before = Image(k, 0x44);
            ASSERT_TRUE(d.Load(before));
            const auto aged = second_clock::local_time() - hours(1);
            d.device->SetLastUpdate(aged);
            EXPECT_FALSE(d.Load(image));
            EXPECT_EQ(d.device->LastUpdate(), aged);
            d.Round();
            ASSERT_EQ(d.host->publishes.size(), 1u);
            EXPECT_EQ(WithoutStamp(k, d.host->publishes[0].image), WithoutStamp(k, before));

            // A device that never had data stays without.
            Device fresh(k);
            EXPECT_FALSE(fresh.Load(image));
            EXPECT_FALSE(fresh.device->IsDataReady());
        }
    }
}

TEST(SubDeviceLifecycle, AlarmResultIsNeverClearedByAQuietRound)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Device d(k);
        Bytes image = Image(k, 0);
        ASSERT_TRUE(d.Load(image));
        const bool expected[] = {false, true, true, true};
        for (int round = 0; round < 4; ++round) {
            image[k.alarmAt] = round == 1 ? k.alarm : 0;
            ASSERT_TRUE(d.Load(image));
            d.Round();
            EXPECT_EQ(d.device->AlarmResult(), expected[round]) << "round " << round;
        }
    }
}

TEST(SubDeviceLifecycle, RecordsArePublishedNotUrgent)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Device d(k);
        const Bytes image = Image(k, 0x55);
        ASSERT_TRUE(d.Load(image));
        d.Round();
        d.Round();
        ASSERT_EQ(d.host->publishes.size(), 2u);
        for (const auto& p : d.host->publishes) {
            EXPECT_EQ(p.recordType, k.recordType);
            EXPECT_FALSE(p.urgent);
            EXPECT_EQ(p.device, d.device.get());
            EXPECT_EQ(WithoutStamp(k, p.image), WithoutStamp(k, image));
        }
        EXPECT_EQ(d.host->histories.size(), 2u);
    }
}

// Each round's batch carries that round's rules only, numbered from 1.
TEST(SubDeviceLifecycle, EveryRoundNumbersItsRulesFromOne)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        Device d(k);
        ASSERT_TRUE(d.Load(Image(k, 0)));
        d.Round();
        d.Round();
        ASSERT_EQ(d.host->batches.size(), 2u);
        const size_t count = d.host->batches[0].rules.size();
        ASSERT_GT(count, 0u);
        for (const auto& batch : d.host->batches) {
            ASSERT_EQ(batch.rules.size(), count);
            for (size_t n = 0; n < count; ++n) EXPECT_EQ(batch.rules[n].sequence, n + 1) << batch.rules[n].key;
        }
    }
}

// A controller that holds the work items itself, to run, copy or drop them.
class HoldingController : public RecordingController {
public:
    std::vector<std::function<void()>> held;
    void OnWork(std::function<void()> work) override { held.push_back(std::move(work)); }
};

// The host may hold a round's work item past the next round, copy it, run it
// twice or drop it unrun: each item evaluates its own round's rules and saves
// its own round's image once, and an item dropped unrun lets its device go.
TEST(SubDeviceLifecycle, WorkItemsTheHostHoldsCopiesOrDrops)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        auto host = std::make_shared<HoldingController>();
        std::shared_ptr<SMDVDevice> device = k.make();
        device->SetController(host);
        const Bytes first = Image(k, 0x11), second = Image(k, 0x22), third = Image(k, 0x33);

        // Two rounds before the host runs anything, the first item twice.
        ASSERT_TRUE(device->LoadFromCache(first.data(), static_cast<int>(first.size())));
        device->RoundDone();
        ASSERT_TRUE(device->LoadFromCache(second.data(), static_cast<int>(second.size())));
        device->RoundDone();
        ASSERT_EQ(host->held.size(), 2u);
        {
            const std::function<void()> copy = host->held[0];
            copy();
            host->held[0]();
        }
        host->held[1]();
        host->held.clear();
        ASSERT_EQ(host->histories.size(), 2u);
        EXPECT_EQ(WithoutStamp(k, host->histories[0].image), WithoutStamp(k, first));
        EXPECT_EQ(WithoutStamp(k, host->histories[1].image), WithoutStamp(k, second));
        ASSERT_EQ(host->batches.size(), 2u);
        EXPECT_EQ(host->batches[0].rules.size(), host->batches[1].rules.size());

        // Dropped unrun while the device lives on: the next round's item is whole.
        device->RoundDone();
        host->held.clear();
        ASSERT_TRUE(device->LoadFromCache(third.data(), static_cast<int>(third.size())));
        device->RoundDone();
        ASSERT_EQ(host->held.size(), 1u);
        host->held[0]();
        host->held.clear();
        ASSERT_EQ(host->histories.size(), 3u);
        EXPECT_EQ(WithoutStamp(k, host->histories[2].image), WithoutStamp(k, third));
        EXPECT_EQ(host->batches[2].rules.size(), host->batches[0].rules.size());

        // Dropped unrun after the device's last owner let go: nothing keeps it.
        device->RoundDone();
        const std::weak_ptr<SMDVDevice> watch = device;
        device.reset();
        EXPECT_FALSE(watch.expired());
        host->held.clear();
        EXPECT_TRUE(watch.expired());
    }
}

}  // namespace
