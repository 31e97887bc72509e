// The poller's image cache and SQLite history.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "history_db.h"
#include "image_cache.h"
#include "poller.h"

namespace {

using vxpoll::HistoryDb;
using vxpoll::HistoryRow;
using vxpoll::ImageCache;

const unsigned char kImage[] = {0x15, 0x00, 0x00, 0x00, 0x00, 0x00, 0x56, 0x42, 0x0d, 0x7e};

TEST(PollCache, SavesAtomicallyAndRestores)
{
    vxpoll::e2e::TempDir dir;
    const ImageCache cache(dir.Path() + "/images");
    std::string error;
    ASSERT_TRUE(cache.Prepare(error)) << error;
    EXPECT_EQ(cache.PathFor("vx42b-dc", 21), dir.Path() + "/images/vx42b-dc-21.img");

    std::string image;
    EXPECT_FALSE(cache.Load("vx42b-dc", 21, 5087, image, error));
    EXPECT_EQ(error, "");  // nothing saved yet is not an error

    ASSERT_TRUE(cache.Save("vx42b-dc", 21, 5087, kImage, sizeof kImage, error)) << error;
    ASSERT_TRUE(cache.Save("vx42b-dc", 21, 5087, kImage, 4, error)) << error;  // replaces the first
    ASSERT_TRUE(cache.Load("vx42b-dc", 21, 5087, image, error)) << error;
    EXPECT_EQ(image, std::string(reinterpret_cast<const char*>(kImage), 4));
    // Only the image itself is left: the temporary file was renamed onto it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(cache.Dir())) {
        EXPECT_EQ(entry.path().filename(), "vx42b-dc-21.img");
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(PollCache, ReportsUnusableDirectories)
{
    vxpoll::e2e::TempDir dir;
    std::string error;
    const ImageCache file(dir.Write("plain", "x"));
    EXPECT_FALSE(file.Prepare(error));
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;

    const ImageCache missing(dir.Path() + "/no/such/dir");
    EXPECT_FALSE(missing.Save("vx42b-ac", 11, 5085, kImage, sizeof kImage, error));
    EXPECT_NE(error.find(dir.Path() + "/no/such/dir"), std::string::npos) << error;
}

TEST(PollHistory, RowsReadBackInOrderAndDecoded)
{
    vxpoll::e2e::TempDir dir;
    const std::string path = dir.Path() + "/history.db";
    std::string error;
    {
        HistoryDb db;
        ASSERT_TRUE(db.Create(path, error)) << error;
        std::string dc(101, '\0');
        dc[0] = 21;
        dc[6] = 0x56;
        dc[7] = 0x42;  // v = 53.5
        ASSERT_TRUE(db.Insert(HistoryRow{0, "2024-05-01T12:00:00.000", 21, "vx42b-dc", 5087, dc}, error)) << error;
        ASSERT_TRUE(db.Insert(
            HistoryRow{0, "2024-05-01T12:00:02.000", 11, "vx42b-ac", 5085, std::string("\x01\x00", 2)}, error));
    }
    HistoryDb db;
    ASSERT_TRUE(db.OpenForReading(path, error)) << error;
    std::vector<HistoryRow> rows;
    ASSERT_TRUE(db.ForEach([&rows](const HistoryRow& row) { rows.push_back(row); }, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].time, "2024-05-01T12:00:00.000");
    EXPECT_EQ(rows[0].deviceType, "vx42b-dc");
    EXPECT_EQ(rows[0].image.size(), 101u);  // embedded zero bytes kept
    EXPECT_EQ(rows[1].dataId, 11u);
    EXPECT_EQ(rows[1].recordType, 5085);

    std::ostringstream out, err;
    ASSERT_EQ(vxpoll::DumpHistory(path, out, err), 0) << err.str();
    const auto lines = vxpoll::e2e::JsonLines(out.str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"].asString(), "history");
    EXPECT_EQ(lines[0]["fields"]["v"].asDouble(), 53.5);
    EXPECT_EQ(lines[1]["image"].asString(), "0100");
    EXPECT_EQ(lines[1]["decode_error"].asString(), "image of 2 bytes is shorter than the 31-byte record");
}

TEST(PollHistory, RefusesFilesThatHoldNoHistory)
{
    vxpoll::e2e::TempDir dir;
    std::string error;
    HistoryDb missing;
    EXPECT_FALSE(missing.OpenForReading(dir.Path() + "/none.db", error));
    HistoryDb text;
    EXPECT_FALSE(text.OpenForReading(dir.Write("notes.txt", "not a database at all, just some text"), error));
    std::ostringstream out, err;
    EXPECT_EQ(vxpoll::DumpHistory(dir.Path() + "/none.db", out, err), 2);
    EXPECT_NE(err.str().find("cannot open history"), std::string::npos) << err.str();
}

}  // namespace
