#include <gtest/gtest.h>

#include "data/recordfile.h"
#include "support/tempdir.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

TEST(RecordFile, CreateIfMissingMakesAnEmptyFileNeverDoesNot) {
    vltest::TempDir dir;
    RecordFile never;
    EXPECT_FALSE(never.open(dir.path() / "basea", 62, RecordFile::Create::Never));
    EXPECT_FALSE(never.isOpen());
    EXPECT_FALSE(fs::exists(dir.path() / "basea"));

    RecordFile made;
    ASSERT_TRUE(made.open(dir.path() / "Velantia.txt", 41));
    EXPECT_EQ(fs::file_size(dir.path() / "Velantia.txt"), 0u);
    EXPECT_EQ(made.count(), 0);
    EXPECT_EQ(made.read(1), std::string(41, ' '));

    RecordFile folder;
    EXPECT_FALSE(folder.open(dir.path(), 41));
}

TEST(RecordFile, ReadAddressesRecordsAndBlanksWhatIsMissing) {
    vltest::TempDir dir;
    const auto p = dir.write("f", std::string("abcdefg\0h\r\n", 11) + "xyz");
    RecordFile f;
    ASSERT_TRUE(f.open(p, 4, RecordFile::Create::Never));
    EXPECT_EQ(f.count(), 3); // 14 bytes: the short tail is no record
    const std::pair<long long, std::string> cases[] = {
        {1, "abcd"},   {2, std::string("efg\0", 4)},
        {3, "h\r\nx"}, {4, "yz  "}, // short last record: the missing tail reads blank
        {5, "    "},   {1000000, "    "},
        {0, "    "},   {-1, "    "},
    };
    for (const auto& [n, expected] : cases)
        EXPECT_EQ(f.read(n), expected) << n;
    EXPECT_EQ(f.read(2), std::string("efg\0", 4)); // reads after hitting the end still work
}

TEST(RecordFile, WriteCutsOrPadsWithNulAndIsVisibleAtOnce) {
    vltest::TempDir dir;
    const auto p = dir.path() / "r";
    RecordFile f;
    ASSERT_TRUE(f.open(p, 5));
    EXPECT_TRUE(f.write(2, "ab"));
    EXPECT_TRUE(f.write(1, "1234567"));
    EXPECT_FALSE(f.write(0, "x"));
    // Flushed: another reader sees the bytes without closing the file.
    EXPECT_EQ(vltest::readBytes(p), std::string("12345ab\0\0\0", 10));
    EXPECT_EQ(f.count(), 2);

    // Another terminal's handle extends the file: counted and read on the next call.
    RecordFile other;
    ASSERT_TRUE(other.open(p, 5, RecordFile::Create::Never));
    EXPECT_TRUE(other.write(3, "ZZZZZ"));
    EXPECT_TRUE(other.write(1, "AAAAA"));
    EXPECT_EQ(f.count(), 3);
    EXPECT_EQ(f.read(3), "ZZZZZ");
    EXPECT_EQ(f.read(1), "AAAAA");

    RecordFile moved = std::move(f);
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(moved.read(3), "ZZZZZ");
    moved.close();
    EXPECT_EQ(moved.count(), 0);
    EXPECT_FALSE(moved.write(1, "x"));
}

} // namespace
