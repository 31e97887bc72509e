#include "history_db.h"

#include <sqlite3.h>

namespace vxpoll {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " image BLOB NOT NULL)";

// Finalizes a statement on every path out.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

HistoryDb::~HistoryDb()
{
    if (db_ != nullptr) sqlite3_close(db_);
}

std::string HistoryDb::Message() const
{
    return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

bool HistoryDb::Exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : Message();
    sqlite3_free(message);
    return false;
}

bool HistoryDb::Create(const std::string& path, std::string& error)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        error = "cannot open history " + path + ": " + Message();
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    if (!Exec(kSchema, error)) {
        error = "cannot use history " + path + ": " + error;
        return false;
    }
    return true;
}

bool HistoryDb::OpenForReading(const std::string& path, std::string& error)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot open history " + path + ": " + Message();
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    Statement check;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'history'", -1,
                           &check.stmt, nullptr) != SQLITE_OK) {
        error = "cannot read history " + path + ": " + Message();
        return false;
    }
    if (sqlite3_step(check.stmt) != SQLITE_ROW) {
        error = path + " holds no history table";
        return false;
    }
    return true;
}

bool HistoryDb::Insert(const HistoryRow& row, std::string& error)
{
    Statement s;
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (time, data_id, device_type, record_type, image) "
                           "VALUES (?, ?, ?, ?, ?)",
                           -1, &s.stmt, nullptr) != SQLITE_OK) {
        error = Message();
        return false;
    }
    sqlite3_bind_text(s.stmt, 1, row.time.c_str(), static_cast<int>(row.time.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.stmt, 2, row.dataId);
    sqlite3_bind_text(s.stmt, 3, row.deviceType.c_str(), static_cast<int>(row.deviceType.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(s.stmt, 4, row.recordType);
    sqlite3_bind_blob(s.stmt, 5, row.image.data(), static_cast<int>(row.image.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(s.stmt) != SQLITE_DONE) {
        error = Message();
        return false;
    }
    return true;
}

bool HistoryDb::ForEach(const std::function<void(const HistoryRow&)>& visit, std::string& error,
                        const std::string& since)
{
    Statement s;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, time, data_id, device_type, record_type, image FROM history WHERE time >= ?1 "
                           "ORDER BY id",
                           -1, &s.stmt, nullptr) != SQLITE_OK ||
        sqlite3_bind_text(s.stmt, 1, since.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK) {
        error = Message();
        return false;
    }
    for (;;) {
        const int rc = sqlite3_step(s.stmt);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            error = Message();
            return false;
        }
        HistoryRow row;
        row.id = sqlite3_column_int64(s.stmt, 0);
        const unsigned char* time = sqlite3_column_text(s.stmt, 1);
        if (time != nullptr) row.time = reinterpret_cast<const char*>(time);
        row.dataId = static_cast<uint32_t>(sqlite3_column_int64(s.stmt, 2));
        const unsigned char* type = sqlite3_column_text(s.stmt, 3);
        if (type != nullptr) row.deviceType = reinterpret_cast<const char*>(type);
        row.recordType = sqlite3_column_int(s.stmt, 4);
        const void* blob = sqlite3_column_blob(s.stmt, 5);
        const int size = sqlite3_column_bytes(s.stmt, 5);
        if (blob != nullptr && size > 0) row.image.assign(static_cast<const char*>(blob), static_cast<size_t>(size));
        visit(row);
    }
}

}  // namespace vxpoll
