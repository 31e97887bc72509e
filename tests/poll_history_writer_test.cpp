// The history writer: the polling side only queues; readers and even a
// writer lock held elsewhere hold up no push, lose no row, and what does not
// fit the queue is counted and told.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "history_writer.h"

namespace {

using vxpoll::HistoryDb;
using vxpoll::HistoryRow;
using vxpoll::HistoryWriter;
using namespace std::chrono_literals;

// Another program's connection to the file, as `sqlite3 FILE` holds one.
class Other {
public:
    explicit Other(const std::string& path) { sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr); }
    ~Other() { sqlite3_close(db_); }
    bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    long Count()
    {
        sqlite3_stmt* s = nullptr;
        long n = -1;
        if (sqlite3_prepare_v2(db_, "SELECT count(*) FROM history", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return n;
    }

private:
    sqlite3* db_ = nullptr;
};

HistoryRow Row(int k)
{
    HistoryRow row;
    row.time = "2026-01-01T00:00:" + std::to_string(10 + k);
    row.dataId = 11;
    row.deviceType = "vx42b-ac";
    row.recordType = 5085;
    row.image = std::string(83, static_cast<char>(k));
    return row;
}

struct Fixture {
    vxpoll::e2e::TempDir dir;
    std::string path = dir.Path() + "/history.db";
    std::unique_ptr<HistoryDb> Open()
    {
        auto db = std::make_unique<HistoryDb>();
        std::string error, notice;
        EXPECT_TRUE(db->Create(path, error, notice)) << error;
        EXPECT_EQ(notice, "");
        return db;
    }
    // The stored rows' time texts, in insertion order.
    std::vector<std::string> Times()
    {
        HistoryDb db;
        std::string error;
        std::vector<std::string> out;
        EXPECT_TRUE(db.OpenForReading(path, error)) << error;
        db.ForEach([&out](const HistoryRow& row) { out.push_back(row.time); }, error);
        return out;
    }
};

bool Mentions(const std::vector<std::string>& notes, const std::string& text)
{
    return std::any_of(notes.begin(), notes.end(),
                       [&text](const std::string& n) { return n.find(text) != std::string::npos; });
}

// A reader's transaction (the `history` subcommand, `sqlite3 FILE`) sees one
// consistent snapshot and does not stop a single write.
TEST(HistoryWriter, ReaderHoldingATransactionHoldsNothingUp)
{
    Fixture f;
    HistoryWriter writer(f.Open(), 100, 0);
    writer.Push(Row(0));
    ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& c) { return c.written == 1; }, 30s));

    Other reader(f.path);
    ASSERT_TRUE(reader.Exec("BEGIN"));
    ASSERT_EQ(reader.Count(), 1);
    for (int k = 1; k <= 20; ++k) EXPECT_TRUE(writer.Push(Row(k)));
    // With no wait for locks at all, every write still succeeds meanwhile.
    ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& c) { return c.written == 21; }, 30s));
    EXPECT_EQ(writer.Snapshot().failedWrites, 0u);
    EXPECT_EQ(reader.Count(), 1);  // its snapshot
    ASSERT_TRUE(reader.Exec("COMMIT"));
    EXPECT_EQ(reader.Count(), 21);
    EXPECT_TRUE(writer.Finish(5s).empty());
}

// Even a write lock held elsewhere never reaches the pusher: the rows wait,
// in order, and all arrive once it is released.
TEST(HistoryWriter, RowsWaitOutAWriteLockAndArriveInOrder)
{
    Fixture f;
    HistoryWriter writer(f.Open(), 100, 0);
    Other holder(f.path);
    ASSERT_TRUE(holder.Exec("BEGIN IMMEDIATE"));
    // Were a push to wait on the file, it would wait on this thread's own
    // lock and never return.
    for (int k = 0; k < 50; ++k) EXPECT_TRUE(writer.Push(Row(k)));
    ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& c) { return c.failedWrites > 0; }, 30s));
    HistoryWriter::Counts c = writer.Snapshot();
    EXPECT_EQ(c.written, 0u);
    EXPECT_EQ(c.waiting, 50u);
    const auto failing = writer.TakeNotes();
    ASSERT_EQ(failing.size(), 1u);
    EXPECT_NE(failing[0].find("database is locked; records wait in the queue"), std::string::npos) << failing[0];

    ASSERT_TRUE(holder.Exec("ROLLBACK"));
    ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& n) { return n.written == 50; }, 30s));
    c = writer.Snapshot();
    EXPECT_EQ(c.waiting, 0u);
    EXPECT_EQ(c.dropped, 0u);
    EXPECT_TRUE(Mentions(writer.TakeNotes(), "cleared: cannot write to " + f.path +
                                                 ": database is locked; up to 50 history records waited"));
    EXPECT_TRUE(writer.Finish(5s).empty());
    std::vector<std::string> expected;
    for (int k = 0; k < 50; ++k) expected.push_back(Row(k).time);
    EXPECT_EQ(f.Times(), expected);
}

// A full queue drops new rows, never silently: once when it fills, once with
// the count when it drains, and at exit whatever is left.
TEST(HistoryWriter, FullQueueCountsAndTellsWhatItDrops)
{
    Fixture f;
    {
        HistoryWriter writer(f.Open(), 5, 0);
        Other holder(f.path);
        ASSERT_TRUE(holder.Exec("BEGIN IMMEDIATE"));
        size_t taken = 0;
        for (int k = 0; k < 8; ++k) taken += writer.Push(Row(k)) ? 1 : 0;
        EXPECT_EQ(taken, 5u);
        EXPECT_EQ(writer.Snapshot().dropped, 3u);
        ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& c) { return c.failedWrites > 0; }, 30s));
        const auto filling = writer.TakeNotes();
        EXPECT_EQ(std::count_if(filling.begin(), filling.end(),
                                [](const std::string& n) { return n.find("the queue is full") != std::string::npos; }),
                  1);

        ASSERT_TRUE(holder.Exec("ROLLBACK"));
        ASSERT_TRUE(writer.WaitUntil([](const HistoryWriter::Counts& c) { return c.written == 5; }, 30s));
        EXPECT_TRUE(Mentions(writer.TakeNotes(), "3 history records were dropped while it was full (3 in all"));

        // Locked again at exit: what waits is counted, not lost unseen.
        ASSERT_TRUE(holder.Exec("BEGIN IMMEDIATE"));
        EXPECT_TRUE(writer.Push(Row(8)));
        EXPECT_TRUE(writer.Push(Row(9)));
        const auto last = writer.Finish(0ms);
        EXPECT_TRUE(Mentions(last, "2 history records could not be written before exit")) << last.size();
        EXPECT_FALSE(writer.Push(Row(10)));
        ASSERT_TRUE(holder.Exec("ROLLBACK"));
    }
    EXPECT_EQ(f.Times().size(), 5u);
}

}  // namespace
