#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "history_db.h"

namespace vxpoll {

// Writes history rows on a thread of its own, so that polling never waits
// on the file: a reader, a checkpoint or a slow card holds up this thread
// only. Rows that cannot be written yet wait in a bounded queue; when it is
// full, new rows are dropped, counted, and told about.
class HistoryWriter {
public:
    // About 35 minutes of rounds at four records a round; each row is a few
    // hundred bytes.
    static constexpr size_t kDefaultCapacity = 4096;

    struct Counts {
        uint64_t written = 0;
        uint64_t dropped = 0;
        uint64_t failedWrites = 0;
        size_t waiting = 0;
    };

    // busyMs: how long one write waits for another connection's lock.
    explicit HistoryWriter(std::unique_ptr<HistoryDb> db, size_t capacity = kDefaultCapacity, int busyMs = 1000);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Queues a row; never touches the file. False when the queue is full and
    // the row is dropped.
    bool Push(HistoryRow row);
    // Lines to log since the last call: a write failing and clearing, the
    // queue filling up and what it dropped.
    std::vector<std::string> TakeNotes();
    // Writes what waits, trying for up to `limit`, stops the thread and
    // returns the last notes (with whatever could not be written).
    std::vector<std::string> Finish(std::chrono::milliseconds limit);
    Counts Snapshot() const;
    // Waits until `done` holds for the counts after a write, or `limit` passes.
    bool WaitUntil(const std::function<bool(const Counts&)>& done, std::chrono::milliseconds limit) const;

private:
    void Run();
    void Note(std::string line);

    std::unique_ptr<HistoryDb> db_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    mutable std::condition_variable wake_;
    mutable std::condition_variable progress_;
    // Everything below is guarded by mutex_; the file is the thread's alone.
    std::deque<HistoryRow> queue_;
    std::vector<std::string> notes_;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
    uint64_t failedWrites_ = 0;
    // Dropped since the queue last filled, not yet told.
    uint64_t droppedUntold_ = 0;
    std::string failing_;       // the error of the last failed write, until one succeeds
    uint64_t longestWait_ = 0;  // the most rows waiting since the failure began
    std::chrono::steady_clock::time_point finishBy_{};
    bool finishing_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace vxpoll
