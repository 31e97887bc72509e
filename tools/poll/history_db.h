#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The device history in an SQLite file: one row per saved record.
//
//   CREATE TABLE history (
//     id          INTEGER PRIMARY KEY,
//     time        TEXT    NOT NULL,  -- local time, YYYY-MM-DDTHH:MM:SS.mmm
//     data_id     INTEGER NOT NULL,
//     device_type TEXT    NOT NULL,
//     record_type INTEGER NOT NULL,
//     image       BLOB    NOT NULL)
namespace vxpoll {

// A stored time (local, "YYYY-MM-DDTHH:MM:SS.mmm") as Unix seconds; 0 when unreadable.
double HistoryTimeSeconds(const std::string& text);

struct HistoryRow {
    int64_t id = 0;
    std::string time;
    uint32_t dataId = 0;
    std::string deviceType;
    int recordType = 0;
    std::string image;
};

class HistoryDb {
public:
    HistoryDb() = default;
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Opens or creates a history file for writing, in WAL mode so that
    // readers never hold the writer up (nor it them). A file that fails
    // SQLite's quick check is never appended to: it is moved aside under a
    // dated name, a new one is started, and `notice` says so. A directory, a
    // file that is not an SQLite database or holds no history, and one that
    // cannot be written are refused, and nothing is changed.
    bool Create(const std::string& path, std::string& error, std::string& notice);
    bool Create(const std::string& path, std::string& error)
    {
        std::string notice;
        return Create(path, error, notice);
    }
    // Opens an existing history file for reading. `damage` is empty, or the
    // first problem SQLite's quick check found.
    bool OpenForReading(const std::string& path, std::string& error, std::string& damage);
    bool OpenForReading(const std::string& path, std::string& error)
    {
        std::string damage;
        return OpenForReading(path, error, damage);
    }

    bool Insert(const HistoryRow& row, std::string& error);
    // All rows in one transaction: all are written or none.
    bool InsertAll(const std::vector<HistoryRow>& rows, std::string& error);
    // How long a write waits for another connection's lock before it fails.
    void SetBusyTimeout(int ms);
    // Every row in insertion order, or those with a time text from `since`
    // on; false on a read error.
    bool ForEach(const std::function<void(const HistoryRow&)>& visit, std::string& error,
                 const std::string& since = {});

    // At most `limit` rows after the row `afterId`, in insertion order; one
    // short read each, so that a writer is never kept waiting long.
    bool ForEachAfter(int64_t afterId, int limit, const std::function<void(const HistoryRow&)>& visit,
                      std::string& error);
    // Rows from `id` on (in insertion order) have a time of `since` or
    // later (id is past the last row when none has; 0 when the file is empty), found by bisection over the ids (the
    // rows are appended in time order) instead of a scan of the whole file.
    bool FirstIdFrom(const std::string& since, int64_t& id, std::string& error);

private:
    bool Exec(const char* sql, std::string& error);
    bool Bind(sqlite3_stmt* stmt, const HistoryRow& row, std::string& error);
    std::string Message() const;
    bool Open(const std::string& path, int flags, std::string& error);
    void Close();
    // Empty when the quick check passes, else its first finding.
    std::string QuickCheck();
    // The journal mode a PRAGMA returns, or empty on failure.
    std::string JournalMode(const char* sql);
    // -1 when the schema cannot be read, else whether a history table is there
    // and whether anything else is.
    int HasHistoryTable(bool& others);

    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace vxpoll
