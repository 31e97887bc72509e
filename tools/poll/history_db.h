#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct sqlite3;

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

    // Opens or creates a history file for writing.
    bool Create(const std::string& path, std::string& error);
    // Opens an existing history file for reading.
    bool OpenForReading(const std::string& path, std::string& error);

    bool Insert(const HistoryRow& row, std::string& error);
    // Every row in insertion order, or those with a time text from `since`
    // on; false on a read error.
    bool ForEach(const std::function<void(const HistoryRow&)>& visit, std::string& error,
                 const std::string& since = {});

private:
    bool Exec(const char* sql, std::string& error);
    std::string Message() const;

    sqlite3* db_ = nullptr;
};

}  // namespace vxpoll
