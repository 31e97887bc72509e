#include "history_writer.h"

#include <algorithm>

namespace vxpoll {

namespace {

using Clock = std::chrono::steady_clock;

// A failed write is tried again after this, doubling up to the longest.
constexpr std::chrono::milliseconds kFirstRetry{100};
constexpr std::chrono::milliseconds kLongestRetry{5000};
// Rows written in one transaction at most, so that a long backlog still
// shows progress and no transaction grows without bound.
constexpr size_t kBatch = 256;

std::string Records(uint64_t n) { return std::to_string(n) + (n == 1 ? " history record" : " history records"); }

}  // namespace

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDb> db, size_t capacity, int busyMs)
    : db_(std::move(db)), capacity_(std::max<size_t>(capacity, 1))
{
    // Waiting on another connection's lock costs nothing but this thread.
    db_->SetBusyTimeout(busyMs);
    thread_ = std::thread([this] { Run(); });
}

HistoryWriter::~HistoryWriter() { Finish(std::chrono::milliseconds(0)); }

void HistoryWriter::Note(std::string line) { notes_.push_back("history: " + std::move(line)); }

bool HistoryWriter::Push(HistoryRow row)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || queue_.size() >= capacity_) {
        if (droppedUntold_++ == 0)
            Note("the queue is full (" + Records(queue_.size()) + " wait to be written" +
                 (failing_.empty() ? "" : ": " + failing_) +
                 "); new records are dropped until it drains, and counted (told again when it does)");
        ++dropped_;
        return false;
    }
    queue_.push_back(std::move(row));
    wake_.notify_one();
    return true;
}

void HistoryWriter::Run()
{
    std::chrono::milliseconds retry{0};
    std::vector<HistoryRow> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (retry.count() > 0) {
            // Finishing cuts a long wait short; from then on tries come close together.
            const bool wasFinishing = finishing_;
            wake_.wait_until(lock, Clock::now() + retry, [this, wasFinishing] { return finishing_ && !wasFinishing; });
        } else {
            wake_.wait(lock, [this] { return !queue_.empty() || finishing_; });
        }
        if (queue_.empty()) {
            if (finishing_) break;
            continue;
        }
        if (finishing_ && retry.count() > 0 && Clock::now() >= finishBy_) break;

        // Copied, not taken: the rows leave the queue only once written, so
        // that the queue's bound counts them and a failure loses none.
        const size_t n = std::min(queue_.size(), kBatch);
        batch.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        lock.unlock();
        std::string error;
        const bool ok = db_->InsertAll(batch, error);
        batch.clear();
        lock.lock();
        if (!ok) {
            ++failedWrites_;
            progress_.notify_all();
            if (error != failing_) {
                Note(error + "; records wait in the queue (up to " + std::to_string(capacity_) +
                     ") and are written when it clears (told again then)");
                failing_ = error;
            }
            longestWait_ = std::max<uint64_t>(longestWait_, queue_.size());
            retry = finishing_ ? kFirstRetry : std::min(std::max(retry * 2, kFirstRetry), kLongestRetry);
            continue;
        }
        if (!failing_.empty()) longestWait_ = std::max<uint64_t>(longestWait_, queue_.size());
        // Rows pushed meanwhile went to the back; the batch is still the front.
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        written_ += n;
        retry = std::chrono::milliseconds(0);
        if (!failing_.empty()) {
            Note("cleared: " + failing_ + "; up to " + Records(longestWait_) + " waited in the queue meanwhile");
            failing_.clear();
            longestWait_ = 0;
        }
        if (droppedUntold_ != 0 && queue_.size() < capacity_) {
            Note("the queue drains again; " + Records(droppedUntold_) + " were dropped while it was full (" +
                 std::to_string(dropped_) + " in all this run)");
            droppedUntold_ = 0;
        }
        progress_.notify_all();
    }
    if (!queue_.empty())
        Note(Records(queue_.size()) + " could not be written before exit" +
             (failing_.empty() ? std::string() : ": " + failing_));
    if (droppedUntold_ != 0)
        Note(Records(droppedUntold_) + " were dropped while the queue was full (" + std::to_string(dropped_) +
             " in all this run)");
    droppedUntold_ = 0;
    stopped_ = true;
    progress_.notify_all();
}

std::vector<std::string> HistoryWriter::TakeNotes()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    out.swap(notes_);
    return out;
}

std::vector<std::string> HistoryWriter::Finish(std::chrono::milliseconds limit)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!finishing_) {
            finishing_ = true;
            finishBy_ = Clock::now() + limit;
        }
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    return TakeNotes();
}

HistoryWriter::Counts HistoryWriter::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return Counts{written_, dropped_, failedWrites_, queue_.size()};
}

bool HistoryWriter::WaitUntil(const std::function<bool(const Counts&)>& done, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return progress_.wait_for(lock, limit, [&] {
        return done(Counts{written_, dropped_, failedWrites_, queue_.size()});
    });
}

}  // namespace vxpoll
