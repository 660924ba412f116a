#include <gtest/gtest.h>

#include <zip.h>

#include <algorithm>

#include "support/tempdir.h"
#include "update/unzip.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    std::string data;
    bool folder = false;
};

// Builds a real archive with libzip (deflated entries).
void makeZip(const fs::path& file, const std::vector<Entry>& entries) {
    int err = 0;
    zip_t* z = zip_open(file.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& e : entries) {
        if (e.folder) {
            ASSERT_GE(zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_UTF_8), 0);
            continue;
        }
        zip_source_t* src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
        ASSERT_NE(src, nullptr);
        ASSERT_GE(zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE), 0)
            << zip_strerror(z);
    }
    ASSERT_EQ(zip_close(z), 0);
}

class UnzipTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(folder); }
    std::vector<std::string> folderEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    vltest::TempDir dir;
    fs::path archive = dir.path() / "Software.zip";
    fs::path folder = dir.path() / "sub" / "Recibido";
};

TEST_F(UnzipTest, ExtractsEveryEntryFlatIntoTheFolder) {
    const std::string big(200000, 'x');
    makeZip(archive, {{"Maestro.xml", "<a/>"},
                      {"datos/", "", true},
                      {"datos/interior/Encuesta.xml", big},
                      {"win\\Precios.xml", "<p/>"},
                      {"MAESTRO.DTD", "<!ELEMENT a EMPTY>"}});
    ASSERT_EQ(Unzip(archive, folder), 0);
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"Encuesta.xml", "MAESTRO.DTD",
                                                         "Maestro.xml", "Precios.xml"}));
    EXPECT_EQ(vltest::readBytes(folder / "Encuesta.xml"), big);
    EXPECT_EQ(vltest::readBytes(folder / "Maestro.xml"), "<a/>");
    EXPECT_EQ(vltest::readBytes(folder / "Precios.xml"), "<p/>");
}

TEST_F(UnzipTest, OverwritesAnExistingFile) {
    vltest::writeBytes(folder / "Maestro.xml", "viejo y mas largo que el nuevo");
    makeZip(archive, {{"Maestro.xml", "nuevo"}});
    ASSERT_EQ(Unzip(archive, folder), 0);
    EXPECT_EQ(vltest::readBytes(folder / "Maestro.xml"), "nuevo");
}

TEST_F(UnzipTest, EntriesNamingParentFoldersStayInsideTheFolder) {
    makeZip(archive, {{"../evil", "malo"}, {"../../otro.xml", "malo"}, {"x/..", "nada"}});
    ASSERT_EQ(Unzip(archive, folder), 0);
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"evil", "otro.xml"}));
    EXPECT_FALSE(fs::exists(folder.parent_path() / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "otro.xml"));
}

struct BadArchive {
    const char* what;
    std::string bytes;
};

class UnzipRefuses : public UnzipTest, public ::testing::WithParamInterface<BadArchive> {};

TEST_P(UnzipRefuses, NonZeroAndNothingWritten) {
    vltest::writeBytes(archive, GetParam().bytes);
    EXPECT_NE(Unzip(archive, folder), 0);
    EXPECT_TRUE(folderEntries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnzipRefuses,
    ::testing::Values(BadArchive{"empty", ""},
                      BadArchive{"error page", "<html><body>Error 500</body></html>"},
                      BadArchive{"truncated header", std::string("PK\x03\x04\x14\x00", 6)}),
    [](const auto& info) {
        std::string n = info.param.what;
        std::replace(n.begin(), n.end(), ' ', '_');
        return n;
    });

TEST_F(UnzipTest, MissingArchiveFails) {
    EXPECT_NE(Unzip(archive, folder), 0);
}

TEST_F(UnzipTest, DamagedEntryFailsAndLeavesNoTemporaryFile) {
    makeZip(archive, {{"Maestro.xml", std::string(5000, 'a') + std::string(5000, 'b')}});
    std::string bytes = vltest::readBytes(archive);
    // Corrupt the deflated data just after the local header (30 bytes + name).
    for (std::size_t i = 30 + 11; i < 30 + 11 + 8; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    vltest::writeBytes(archive, bytes);
    EXPECT_NE(Unzip(archive, folder), 0);
    EXPECT_TRUE(folderEntries().empty());
}

TEST_F(UnzipTest, ArchiveWithOnlyFoldersIsNoPackage) {
    makeZip(archive, {{"vacia/", "", true}});
    EXPECT_NE(Unzip(archive, folder), 0);
}

struct LimitCase {
    std::size_t first, second;
    std::uint64_t limit;
    bool ok;
};

class UnzipLimitTest : public UnzipTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(UnzipLimitTest, TotalUncompressedOutputIsBounded) {
    const auto& c = GetParam();
    makeZip(archive, {{"a.xml", std::string(c.first, '0')}, {"b.xml", std::string(c.second, '0')}});
    const int result = Unzip(archive, folder, c.limit);
    EXPECT_EQ(result == 0, c.ok) << result;
    if (!c.ok) {
        EXPECT_EQ(result, UnzipTooLarge);
        EXPECT_FALSE(fs::exists(folder / "b.xml"));
        // No half-written file under any name.
        for (const auto& n : folderEntries())
            EXPECT_EQ(n, "a.xml");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UnzipLimitTest,
                         ::testing::Values(LimitCase{600, 400, 1000, true},
                                           LimitCase{600, 401, 1000, false},
                                           LimitCase{1001, 0, 1000, false},
                                           LimitCase{100000, 100000, 200000, true},
                                           LimitCase{100000, 100001, 200000, false}));

TEST(UnzipDefaults, LimitIsOneGibibyte) {
    EXPECT_EQ(UnzipLimit, 1073741824u);
}

} // namespace
