// vx42b-poll --history while others hold the file: a reader's transaction
// and even another program's write lock cost no round and no record.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "e2e_support.h"

namespace {

#ifdef VX42B_SIM_EXE

using namespace vxpoll::e2e;
using namespace std::chrono_literals;

class Connection {
public:
    explicit Connection(const std::string& path)
    {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        // The poller may be amid a write when the lock is taken.
        sqlite3_busy_timeout(db_, 20000);
    }
    ~Connection() { sqlite3_close(db_); }
    bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    // Every stored image, as hex, in insertion order.
    std::vector<std::string> Images()
    {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT hex(image) FROM history ORDER BY id", -1, &s, nullptr) == SQLITE_OK)
            while (sqlite3_step(s) == SQLITE_ROW)
                out.push_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
        sqlite3_finalize(s);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

std::string Upper(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(PollHistoryEndToEnd, HeldFileCostsNoRoundAndNoRecord)
{
    TempDir dir;
    Sim sim(dir.Write("scenario.json", StillScenario()));
    ASSERT_FALSE(sim.Path().empty()) << sim.Err();
    const std::string history = dir.Path() + "/history.db";
    Child poll({PollExe(), "--json", "--plugin", PluginPath(), "--port", sim.Path(), "--config",
                dir.Write("config.json", TestConfig(1000)), "--rounds", "4", "--history", history});
    auto untilRound = [&poll](int round) {
        std::string line;
        while (poll.ReadLine(line, 30s))
            if (line.find("\"event\":\"round\"") != std::string::npos &&
                line.find("\"round\":" + std::to_string(round) + ",") != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(untilRound(1)) << poll.Err();

    // A reader holds one snapshot for the rest of the run, as
    // `sqlite3 FILE 'BEGIN; SELECT ...'` or `vx42b-poll history FILE | less` does.
    Connection reader(history);
    ASSERT_TRUE(reader.Exec("BEGIN"));
    const std::vector<std::string> snapshot = reader.Images();
    // Another program takes the write lock for a round and a half.
    Connection holder(history);
    ASSERT_TRUE(holder.Exec("BEGIN IMMEDIATE"));
    ASSERT_TRUE(untilRound(3)) << poll.Err();
    ASSERT_TRUE(holder.Exec("ROLLBACK"));
    ASSERT_EQ(poll.Collect(30s), 0) << poll.Err();
    EXPECT_EQ(reader.Images(), snapshot);
    ASSERT_TRUE(reader.Exec("COMMIT"));

    const auto lines = JsonLines(poll.Out());
    const auto rounds = Events(lines, "round");
    ASSERT_EQ(rounds.size(), 4u);
    for (const Json::Value& r : rounds) EXPECT_TRUE(r["complete"].asBool());
    std::vector<std::string> published;
    for (const Json::Value& h : Events(lines, "history")) published.push_back(Upper(h["image"].asString()));
    ASSERT_GE(published.size(), 4u);
    EXPECT_EQ(reader.Images(), published);
    // The wait was told, and its end.
    EXPECT_EQ(LogsStartingWith(lines, "history: cannot write to " + history + ": database is locked; records wait"),
              1u);
    EXPECT_EQ(LogsStartingWith(lines, "history: cleared: cannot write to " + history + ": database is locked"), 1u);
}

#endif

}  // namespace
