#include "history_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include <sqlite3.h>

#include "option_file.h"

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

const char kWhat[] = "; expected an SQLite history file";

// Finalizes a statement on every path out.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

// True when the file starts like an SQLite database (or is empty, which SQLite takes as one).
bool LooksLikeSqlite(const std::string& path)
{
    static const char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
    std::ifstream in(path, std::ios::binary);
    char head[16] = {};
    in.read(head, sizeof head);
    if (in.gcount() == 0) return true;
    return in.gcount() == sizeof head && std::memcmp(head, kMagic, sizeof head) == 0;
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// "<path>.corrupt-YYYYMMDD-HHMMSS", with "-2", "-3", ... when that is taken.
std::string AsideName(const std::string& path)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".corrupt-" + stamp;
    std::string name = base;
    for (int k = 2; Exists(name) || Exists(name + "-journal") || Exists(name + "-wal"); ++k)
        name = base + "-" + std::to_string(k);
    return name;
}

}  // namespace

namespace {

double FullTimeSeconds(const std::string& text)
{
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec, &ms) < 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<double>(t) + ms / 1000.0;
}

int Digits(const std::string& text, size_t at, size_t n)
{
    int v = 0;
    for (size_t k = at; k < at + n; ++k) {
        if (text[k] < '0' || text[k] > '9') return -1;
        v = v * 10 + (text[k] - '0');
    }
    return v;
}

}  // namespace

double HistoryTimeSeconds(const std::string& text)
{
    // mktime looks at the time zone file on every call; rows of one hour
    // share its start, so only the minutes and seconds are read per row.
    thread_local std::string hour;
    thread_local double hourStart = 0;
    const bool plain = text.size() >= 19 && text[13] == ':' && text[16] == ':';
    const int minute = plain ? Digits(text, 14, 2) : -1;
    const int second = plain ? Digits(text, 17, 2) : -1;
    int ms = 0;
    if (text.size() >= 23 && text[19] == '.') ms = Digits(text, 20, 3);
    if (minute < 0 || second < 0 || ms < 0) return FullTimeSeconds(text);
    if (text.compare(0, 13, hour) != 0) {
        const double start = FullTimeSeconds(text.substr(0, 13) + ":00:00");
        if (start == 0) return 0;
        hour = text.substr(0, 13);
        hourStart = start;
    }
    return hourStart + minute * 60 + second + ms / 1000.0;
}

HistoryDb::~HistoryDb() { Close(); }

void HistoryDb::Close()
{
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
}

std::string HistoryDb::Message() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }

bool HistoryDb::Exec(const char* sql, std::string& error)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : Message();
    sqlite3_free(message);
    return false;
}

bool HistoryDb::Open(const std::string& path, int flags, std::string& error)
{
    Close();
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        error = "cannot open history " + path + ": " + Message();
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    path_ = path;
    return true;
}

std::string HistoryDb::QuickCheck()
{
    Statement s;
    if (sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &s.stmt, nullptr) != SQLITE_OK) return Message();
    const int rc = sqlite3_step(s.stmt);
    if (rc != SQLITE_ROW) return Message();
    const unsigned char* text = sqlite3_column_text(s.stmt, 0);
    const std::string first = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    return first == "ok" ? std::string() : first;
}

int HistoryDb::HasHistoryTable(bool& others)
{
    Statement s;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &s.stmt, nullptr) !=
        SQLITE_OK)
        return -1;
    bool history = false;
    others = false;
    for (;;) {
        const int rc = sqlite3_step(s.stmt);
        if (rc == SQLITE_DONE) return history ? 1 : 0;
        if (rc != SQLITE_ROW) return -1;
        const unsigned char* name = sqlite3_column_text(s.stmt, 0);
        if (name != nullptr && std::strcmp(reinterpret_cast<const char*>(name), "history") == 0)
            history = true;
        else
            others = true;
    }
}

bool HistoryDb::Create(const std::string& path, std::string& error, std::string& notice)
{
    notice.clear();
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        error = "history " + path + " is " + option_file::KindOf(st.st_mode) + kWhat + " (created if missing)";
        return false;
    }
    if (exists && !LooksLikeSqlite(path)) {
        error = "history " + path + " is not an SQLite database; name a history file, or a new path to start one";
        return false;
    }
    if (exists) {
        if (!Open(path, SQLITE_OPEN_READWRITE, error)) return false;
        if (sqlite3_db_readonly(db_, "main") == 1) {
            Close();
            error = "history " + path + " is read-only; make it writable, or name another file";
            return false;
        }
        const std::string damage = QuickCheck();
        bool others = false;
        const int tables = damage.empty() ? HasHistoryTable(others) : -1;
        if (tables == 0 && others) {
            Close();
            error = "history " + path +
                    " is an SQLite database without a history table; name a history file, "
                    "or a new path to start one";
            return false;
        }
        if (!damage.empty() || tables < 0) {
            const std::string problem = damage.empty() ? Message() : damage;
            Close();
            // Appending to a damaged file loses what it holds; keep it for repair.
            const std::string aside = AsideName(path);
            if (::rename(path.c_str(), aside.c_str()) != 0) {
                error = "history " + path + " is damaged (" + problem + ") and cannot be moved aside to " + aside +
                        ": " + std::strerror(errno);
                return false;
            }
            for (const char* suffix : {"-journal", "-wal", "-shm"})
                if (Exists(path + suffix)) ::rename((path + suffix).c_str(), (aside + suffix).c_str());
            notice = "history " + path + " is damaged (" + problem + "); moved it to " + aside +
                     " and started a new history file";
        }
    }
    if (db_ == nullptr && !Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error)) return false;
    // A write that is rolled back: a directory where no journal can be
    // created shows now, not as lost rows later.
    if (!Exec(kSchema, error) || !Exec("BEGIN IMMEDIATE; PRAGMA user_version = 0; ROLLBACK", error)) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        error = "cannot write history " + path + ": " + error;
        Close();
        return false;
    }
    // The mode stays with the file. Switching needs the file to itself: a
    // reader holding it now leaves the old mode for this run, which only
    // delays writes on the writer's own thread.
    const std::string mode = JournalMode("PRAGMA journal_mode = WAL");
    if (mode != "wal") {
        const std::string why = mode.empty() ? Message() : "SQLite keeps the mode " + mode;
        notice += std::string(notice.empty() ? "" : "; ") + "history " + path + ": cannot switch to WAL mode now (" +
                  why + "); readers may hold writes up until the next start";
    }
    return true;
}

std::string HistoryDb::JournalMode(const char* sql)
{
    Statement s;
    if (sqlite3_prepare_v2(db_, sql, -1, &s.stmt, nullptr) != SQLITE_OK || sqlite3_step(s.stmt) != SQLITE_ROW)
        return {};
    const unsigned char* text = sqlite3_column_text(s.stmt, 0);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void HistoryDb::SetBusyTimeout(int ms)
{
    if (db_ != nullptr) sqlite3_busy_timeout(db_, ms);
}

bool HistoryDb::OpenForReading(const std::string& path, std::string& error, std::string& damage)
{
    damage.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "history " + path + " is " + option_file::KindOf(st.st_mode) + kWhat;
        return false;
    }
    if (!Open(path, SQLITE_OPEN_READONLY, error)) return false;
    bool others = false;
    const int tables = HasHistoryTable(others);
    if (tables < 0) {
        error = "cannot read history " + path + ": " + Message();
        return false;
    }
    if (tables == 0) {
        error = path + " holds no history table";
        return false;
    }
    damage = QuickCheck();
    return true;
}

bool HistoryDb::Bind(sqlite3_stmt* stmt, const HistoryRow& row, std::string& error)
{
    sqlite3_reset(stmt);
    sqlite3_bind_text(stmt, 1, row.time.c_str(), static_cast<int>(row.time.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(stmt, 2, row.dataId);
    sqlite3_bind_text(stmt, 3, row.deviceType.c_str(), static_cast<int>(row.deviceType.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt, 4, row.recordType);
    sqlite3_bind_blob(stmt, 5, row.image.data(), static_cast<int>(row.image.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        error = "cannot write to " + path_ + ": " + Message();
        return false;
    }
    return true;
}

bool HistoryDb::Insert(const HistoryRow& row, std::string& error) { return InsertAll({row}, error); }

bool HistoryDb::InsertAll(const std::vector<HistoryRow>& rows, std::string& error)
{
    if (db_ == nullptr) {
        error = "the history file is not open";
        return false;
    }
    Statement s;
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (time, data_id, device_type, record_type, image) "
                           "VALUES (?, ?, ?, ?, ?)",
                           -1, &s.stmt, nullptr) != SQLITE_OK) {
        error = "cannot write to " + path_ + ": " + Message();
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE", error)) {
        error = "cannot write to " + path_ + ": " + error;
        return false;
    }
    for (const HistoryRow& row : rows) {
        if (!Bind(s.stmt, row, error)) {
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return false;
        }
    }
    if (!Exec("COMMIT", error)) {
        error = "cannot write to " + path_ + ": " + error;
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }
    return true;
}

namespace {

bool ReadRows(sqlite3_stmt* stmt, const std::function<void(const HistoryRow&)>& visit, std::string& error, sqlite3* db)
{
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return true;
        if (rc != SQLITE_ROW) {
            error = sqlite3_errmsg(db);
            return false;
        }
        HistoryRow row;
        row.id = sqlite3_column_int64(stmt, 0);
        const unsigned char* time = sqlite3_column_text(stmt, 1);
        if (time != nullptr) row.time = reinterpret_cast<const char*>(time);
        row.dataId = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
        const unsigned char* type = sqlite3_column_text(stmt, 3);
        if (type != nullptr) row.deviceType = reinterpret_cast<const char*>(type);
        row.recordType = sqlite3_column_int(stmt, 4);
        const void* blob = sqlite3_column_blob(stmt, 5);
        const int size = sqlite3_column_bytes(stmt, 5);
        if (blob != nullptr && size > 0) row.image.assign(static_cast<const char*>(blob), static_cast<size_t>(size));
        visit(row);
    }
}

}  // namespace

bool HistoryDb::ForEachAfter(int64_t afterId, int limit, const std::function<void(const HistoryRow&)>& visit,
                             std::string& error)
{
    Statement s;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, time, data_id, device_type, record_type, image FROM history WHERE id > ?1 "
                           "ORDER BY id LIMIT ?2",
                           -1, &s.stmt, nullptr) != SQLITE_OK) {
        error = Message();
        return false;
    }
    sqlite3_bind_int64(s.stmt, 1, afterId);
    sqlite3_bind_int(s.stmt, 2, limit);
    return ReadRows(s.stmt, visit, error, db_);
}

bool HistoryDb::FirstIdFrom(const std::string& since, int64_t& id, std::string& error)
{
    id = 0;
    Statement bounds;
    if (sqlite3_prepare_v2(db_, "SELECT MIN(id), MAX(id) FROM history", -1, &bounds.stmt, nullptr) != SQLITE_OK ||
        sqlite3_step(bounds.stmt) != SQLITE_ROW) {
        error = Message();
        return false;
    }
    if (sqlite3_column_type(bounds.stmt, 0) == SQLITE_NULL) return true;  // empty
    int64_t low = sqlite3_column_int64(bounds.stmt, 0);
    int64_t high = sqlite3_column_int64(bounds.stmt, 1) + 1;  // past the end: none is late enough
    Statement probe;
    if (sqlite3_prepare_v2(db_, "SELECT id, time FROM history WHERE id >= ?1 ORDER BY id LIMIT 1", -1, &probe.stmt,
                           nullptr) != SQLITE_OK) {
        error = Message();
        return false;
    }
    // The first row at or after `at`, and whether it is late enough.
    auto lateEnough = [&](int64_t at, int64_t& found) {
        sqlite3_reset(probe.stmt);
        sqlite3_bind_int64(probe.stmt, 1, at);
        if (sqlite3_step(probe.stmt) != SQLITE_ROW) return true;
        found = sqlite3_column_int64(probe.stmt, 0);
        const unsigned char* time = sqlite3_column_text(probe.stmt, 1);
        return time != nullptr && since <= reinterpret_cast<const char*>(time);
    };
    while (low < high) {
        const int64_t mid = low + (high - low) / 2;
        int64_t found = mid;
        if (lateEnough(mid, found))
            high = mid;
        else
            low = found + 1;
    }
    id = low;
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
