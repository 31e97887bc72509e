#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/value.h>

#include "SMDVDevice.h"
#include "get_ttime.h"
#include "rule_value.h"

// What the AC, DC and rectifier sub-devices do alike around their parsers:
// the round end, the freshness test, their settings and their alarm rules.
// Only the host's public operations are called here; the host fields that
// are protected are handed in by the sub-device that owns them.
namespace subdevice {

// Local time at one-second resolution: the clock of time stamps and ages.
// The same instant second_clock::local_time() gives, counted from the epoch
// rather than built from calendar fields: nothing to range-check, so none of
// the calendar's error paths end up in the plug-in.
inline boost::posix_time::ptime Now()
{
    static constexpr boost::posix_time::ptime kEpoch{boost::gregorian::date(1970, 1, 1)};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) local.tm_gmtoff = 0;
    return kEpoch + boost::posix_time::seconds(static_cast<long>(now + local.tm_gmtoff));
}

// Throws what a query gets before the first round or restore, or once the
// data are 61 seconds old. A missing time stamp vouches for nothing; a
// negative age (the clock was set back) answers.
inline void RequireFresh(uint8_t dataReady, const boost::posix_time::ptime& lastUpdate)
{
    if (dataReady != 1) throw std::out_of_range("数据未就绪");
    if (lastUpdate.is_special() || (Now() - lastUpdate).total_seconds() >= 61) throw std::out_of_range("数据已超时");
}

// "diff_v" and "diff_i" of the entry's "appSetting" object: numbers and
// numeric texts alike; a text atof cannot read gives 0; a key that is absent
// keeps the default. A value with no text form (an array) throws.
inline void ReadAppSetting(const Json::Value& entry, float& diffV, float& diffI)
{
    if (!entry.isObject()) return;
    const Json::Value& app = entry["appSetting"];
    if (!app.isObject()) return;
    const Json::Value& v = app["diff_v"];
    if (!v.isNull()) diffV = static_cast<float>(std::atof(v.asString().c_str()));
    const Json::Value& i = app["diff_i"];
    if (!i.isNull()) diffI = static_cast<float>(std::atof(i.asString().c_str()));
}

// The first steps of a round end: the last-update time, then the record's
// time stamp from a second reading of the clock.
inline void StampRound(boost::posix_time::ptime& lastUpdate, unsigned char (&ttime)[7])
{
    lastUpdate = Now();
    const std::array<unsigned char, 7> stamp = get_ttime(Now());
    std::memcpy(ttime, stamp.data(), stamp.size());
}

// Fills the published image: the record, then each item record in order. The
// buffer is made anew, zero-filled, only when the item count changes.
template <class Record, class Item>
void BuildSnapshot(std::unique_ptr<unsigned char[]>& snapshot, uint32_t& snapshotSize, const Record& record,
                   const std::vector<Item>& items)
{
    const size_t size = sizeof(Record) + sizeof(Item) * items.size();
    if (!snapshot || snapshotSize != size) {
        snapshot.reset(new unsigned char[size]());
        snapshotSize = static_cast<uint32_t>(size);
    }
    std::memcpy(snapshot.get(), &record, sizeof(Record));
    if (!items.empty()) std::memcpy(snapshot.get() + sizeof(Record), items.data(), sizeof(Item) * items.size());
}

// Items (channels, modules) that went away since the last round end are
// stated once more, as quiet ones, so that the host clears their alarms:
// `items` grows to the old count for the rules; returns the live count to
// cut it back to afterwards.
template <class Item>
size_t AddGoneItems(std::vector<Item>& items, size_t& gone, const Item& quiet)
{
    const size_t live = items.size();
    if (gone > live) items.resize(gone, quiet);
    gone = 0;
    return live;
}

// The host fields a round end writes, lent by the sub-device.
struct RoundFields {
    uint8_t& dataReady;
    uint16_t& ruleSeq;
    std::vector<rule_value>& pendingRules;
    uint8_t SMDVDevice::*alarmResult;
};

// After the record is stamped and its image built: mark the data ready,
// publish the image, and number the round's rules from 1.
inline void Publish(SMDVDevice& device, const RoundFields& fields, int recordType, const unsigned char* image,
                    uint32_t size)
{
    fields.dataReady = 1;
    device.SendSP(recordType, image, size, false);
    fields.ruleSeq = 1;
}

// After the round's rules are stated: hand the host one work item that takes
// the rule list over (the device's list is left empty, with room for as many
// rules) and, when it runs, evaluates the batch, notes the result in the
// alarm-result flag and saves this round's image to the history. The item
// has its own copy of the image, since a later round may rewrite the
// snapshot before the host runs it, and it holds the device by shared
// ownership only.
//
// The item's list and image last between rounds: the device's list and the
// work's are swapped and the image is copied into kept room. What the host
// holds is a small Item: the device's keep-alive and a pointer to this work,
// in storage taken back from a pool, so a steady round hands its batch over
// without allocating. The keep-alive lives only in the Item: an item the host
// drops unrun lets the device go with it. Should an item of the last round
// still be held, this round's item is a separate one with copies of its own.
class RoundWork {
public:
    RoundWork() = default;
    RoundWork(const RoundWork&) = delete;
    RoundWork& operator=(const RoundWork&) = delete;

    void HandOver(SMDVDevice& device, const RoundFields& fields, const unsigned char* image, uint32_t size)
    {
        const size_t count = fields.pendingRules.size();
        std::shared_ptr<SMDVDevice> self = device.shared_from_this();
        if (holders_.load(std::memory_order_acquire) != 0) {
            device.CheckThresholdWork([self, flag = fields.alarmResult, rules = std::move(fields.pendingRules),
                                       copy = std::vector<unsigned char>(image, image + size)]() {
                if (self->DoBatchCheckThreshold(rules)) (*self).*flag = 1;
                self->SaveDeviceHistory(copy.data(), static_cast<unsigned int>(copy.size()));
            });
        } else {
            rules_.swap(fields.pendingRules);
            image_.assign(image, image + size);
            flag_ = fields.alarmResult;
            due_.store(true, std::memory_order_relaxed);
            device.CheckThresholdWork(std::function<void()>(Item(std::move(self), this)));
        }
        fields.pendingRules.clear();
        fields.pendingRules.reserve(count);
    }

private:
    // Blocks of one Item's size, kept once freed; as many as items were ever
    // held at once (one a device in a steady run).
    class Pool {
    public:
        ~Pool()
        {
            while (free_ != nullptr) ::operator delete(Take());
        }
        void* Get(std::size_t size)
        {
            {
                const std::lock_guard<std::mutex> hold(lock_);
                if (free_ != nullptr) return Take();
            }
            return ::operator new(size);
        }
        void Put(void* block) noexcept
        {
            const std::lock_guard<std::mutex> hold(lock_);
            Block* b = static_cast<Block*>(block);
            b->next = free_;
            free_ = b;
        }

    private:
        struct Block {
            Block* next;
        };
        void* Take() noexcept
        {
            Block* b = free_;
            free_ = b->next;
            return b;
        }
        std::mutex lock_;
        Block* free_ = nullptr;
    };
    static Pool& Blocks()
    {
        static Pool pool;
        return pool;
    }

    class Item {
    public:
        Item(std::shared_ptr<SMDVDevice> self, RoundWork* work) noexcept : self_(std::move(self)), work_(work)
        {
            work_->holders_.fetch_add(1, std::memory_order_relaxed);
        }
        Item(const Item& other) noexcept : self_(other.self_), work_(other.work_)
        {
            if (work_ != nullptr) work_->holders_.fetch_add(1, std::memory_order_relaxed);
        }
        Item(Item&& other) noexcept : self_(std::move(other.self_)), work_(std::exchange(other.work_, nullptr)) {}
        Item& operator=(const Item&) = delete;
        Item& operator=(Item&&) = delete;
        // The work is the device's: let go of it while self_ still holds the device.
        ~Item()
        {
            if (work_ != nullptr) work_->holders_.fetch_sub(1, std::memory_order_acq_rel);
        }
        void operator()() const
        {
            if (work_ != nullptr) work_->Run(*self_);
        }

        static void* operator new(std::size_t size)
        {
            return size == sizeof(Item) ? Blocks().Get(size) : ::operator new(size);
        }
        static void operator delete(void* p, std::size_t size) noexcept
        {
            if (size == sizeof(Item)) {
                Blocks().Put(p);
            } else {
                ::operator delete(p);
            }
        }

    private:
        std::shared_ptr<SMDVDevice> self_;
        RoundWork* work_;
    };

    // Once a hand-over: a copy of the item the host also runs finds nothing due.
    void Run(SMDVDevice& device)
    {
        if (!due_.exchange(false, std::memory_order_acq_rel)) return;
        if (device.DoBatchCheckThreshold(rules_)) device.*flag_ = 1;
        device.SaveDeviceHistory(image_.data(), static_cast<unsigned int>(image_.size()));
    }

    std::vector<rule_value> rules_;
    std::vector<unsigned char> image_;
    uint8_t SMDVDevice::*flag_ = nullptr;
    // Items that hold this work; the list and image are rewritten only at none.
    std::atomic<unsigned> holders_{0};
    std::atomic<bool> due_{false};
};

// One alarm rule's fixed words, made once so that stating it each round
// copies nothing on the plug-in's side.
struct RuleText {
    int level = 0;
    std::string key;
    std::string code;
    std::string name;
    std::string text;
};

inline void State(SMDVDevice& device, uint16_t& ruleSeq, const RuleText& rule, bool state)
{
    device.CheckThresholdBool(rule.level, rule.key, rule.code, rule.name, rule.text, state, ruleSeq++);
}

// Rules whose words name a channel or module: `perItem` rules for each of
// `items` items, made again only when the item count changes.
class ItemRules {
public:
    // make(item, row) returns the RuleText of row `row` for item `item`.
    template <class Make>
    void Fit(size_t items, size_t perItem, Make make)
    {
        if (items == items_ && rules_.size() == items * perItem) return;
        rules_.clear();
        rules_.reserve(items * perItem);
        for (size_t item = 0; item < items; ++item)
            for (size_t row = 0; row < perItem; ++row) rules_.push_back(make(item, row));
        items_ = items;
        perItem_ = perItem;
    }
    const RuleText& At(size_t item, size_t row) const { return rules_[item * perItem_ + row]; }

private:
    std::vector<RuleText> rules_;
    size_t items_ = 0;
    size_t perItem_ = 0;
};

}  // namespace subdevice
