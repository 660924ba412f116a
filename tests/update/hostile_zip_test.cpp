// Packages built to escape the received folder or to flood it: every entry lands flat inside
// the folder, links are never followed or made, and bombs are refused with nothing left behind.
#include <gtest/gtest.h>

#include <zip.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "support/tempdir.h"
#include "update/unzip.h"

using namespace vl;
namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;
    std::string data;
    bool link = false; // stored with the Unix mode of a symbolic link
};

void makeZip(const fs::path& file, const std::vector<Entry>& entries) {
    int err = 0;
    zip_t* z = zip_open(file.string().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& e : entries) {
        zip_source_t* src = zip_source_buffer(z, e.data.data(), e.data.size(), 0);
        ASSERT_NE(src, nullptr);
        const zip_int64_t i = zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(i, 0) << zip_strerror(z) << " " << e.name;
        if (e.link) {
            ASSERT_EQ(zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0,
                                                       ZIP_OPSYS_UNIX, (S_IFLNK | 0777u) << 16),
                      0);
        }
    }
    ASSERT_EQ(zip_close(z), 0) << zip_strerror(z);
}

// Every file under `root`, relative, sorted: what the unpack may have added anywhere.
std::vector<std::string> tree(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(e.path().lexically_relative(root).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

class HostileZip : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(folder);
        dir.write("fuera/intacto.txt", "original");
    }
    std::vector<std::string> folderEntries() const { return tree(folder); }

    vltest::TempDir dir;
    fs::path outside = dir.path() / "fuera";
    fs::path folder = dir.path() / "quiroles/Velantia/Recibido";
    fs::path archive = dir.path() / "paquete.zip";
};

// Names that point elsewhere in every spelling a packer could use.
TEST_F(HostileZip, EntryNamesNeverLeaveTheFolder) {
    const std::string abs = (outside / "absoluto.xml").generic_string();
    makeZip(archive, {{abs, "1"},
                      {"../../../fuera/subir.xml", "2"},
                      {"..\\..\\..\\fuera\\barras.xml", "3"},
                      {"C:\\Windows\\unidad.xml", "4"},
                      {"C:relativo.xml", "5"},
                      {"\\\\servidor\\recurso\\red.xml", "6"},
                      {"./../punto.xml", "7"},
                      {"Maestro.xml:flujo", "8"},
                      {"..", "9"},
                      {"C:", "10"}});
    const auto before = tree(dir.path());
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    EXPECT_EQ(folderEntries(),
              (std::vector<std::string>{"absoluto.xml", "barras.xml", "flujo", "punto.xml",
                                        "red.xml", "relativo.xml", "subir.xml", "unidad.xml"}));
    EXPECT_EQ(vltest::readBytes(folder / "subir.xml"), "2");
    EXPECT_EQ(vltest::readBytes(folder / "relativo.xml"), "5");
    // Outside the received folder nothing changed.
    auto after = tree(dir.path());
    std::erase_if(
        after, [](const std::string& p) { return p.rfind("quiroles/Velantia/Recibido/", 0) == 0; });
    EXPECT_EQ(after, before);
    EXPECT_EQ(vltest::readBytes(outside / "intacto.txt"), "original");
}

// An entry stored as a symbolic link becomes a plain file holding the link's text; a link
// already in the folder under an entry's name is replaced, its target left alone.
TEST_F(HostileZip, LinksAreNeitherMadeNorFollowed) {
    std::error_code ec;
    fs::create_symlink(outside / "intacto.txt", folder / "Maestro.xml", ec);
    if (ec) GTEST_SKIP() << "no symbolic links here";
    makeZip(archive, {{"Encuesta.xml", (outside / "intacto.txt").string(), true},
                      {"Maestro.xml", "<nuevo/>"}});
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    EXPECT_FALSE(fs::is_symlink(folder / "Encuesta.xml"));
    EXPECT_EQ(vltest::readBytes(folder / "Encuesta.xml"), (outside / "intacto.txt").string());
    EXPECT_FALSE(fs::is_symlink(folder / "Maestro.xml"));
    EXPECT_EQ(vltest::readBytes(folder / "Maestro.xml"), "<nuevo/>");
    EXPECT_EQ(vltest::readBytes(outside / "intacto.txt"), "original");
}

// Patches the uncompressed size of every entry, in the local and the central headers.
std::string withDeclaredSize(std::string zip, std::uint32_t size) {
    unsigned char le[4] = {static_cast<unsigned char>(size), static_cast<unsigned char>(size >> 8),
                           static_cast<unsigned char>(size >> 16),
                           static_cast<unsigned char>(size >> 24)};
    for (std::size_t at = 0; (at = zip.find("PK\x03\x04", at)) != std::string::npos; at += 4)
        std::memcpy(&zip[at + 22], le, 4);
    for (std::size_t at = 0; (at = zip.find("PK\x01\x02", at)) != std::string::npos; at += 4)
        std::memcpy(&zip[at + 24], le, 4);
    return zip;
}

// A small package that inflates far beyond the limit, once honestly declared and once with
// headers that claim a tiny size: refused either way, no file and no temporary left.
TEST_F(HostileZip, HighRatioBombIsRefused) {
    const std::uint64_t limit = 1 << 20;
    makeZip(archive, {{"Maestro.xml", std::string(24 << 20, '\0')}});
    const std::string honest = vltest::readBytes(archive);
    ASSERT_LT(honest.size(), 100000u); // a ratio above 250
    for (const bool lying : {false, true}) {
        SCOPED_TRACE(lying ? "declared size 100" : "declared size true");
        vltest::writeBytes(archive, lying ? withDeclaredSize(honest, 100) : honest);
        const int r = Unzip(archive, folder, limit);
        EXPECT_NE(r, UnzipOk);
        if (!lying) {
            EXPECT_EQ(r, UnzipTooLarge);
        }
        EXPECT_TRUE(folderEntries().empty());
    }
}

// Thousands of empty entries: refused before a single file is made.
TEST_F(HostileZip, ManyEntriesAreRefused) {
    for (const std::int64_t count : {UnzipMaxEntries, UnzipMaxEntries + 1, std::int64_t{20000}}) {
        SCOPED_TRACE(count);
        std::vector<Entry> entries;
        for (std::int64_t i = 0; i < count; ++i)
            entries.push_back({"f" + std::to_string(i) + ".xml", ""});
        makeZip(archive, entries);
        for (const auto& e : fs::directory_iterator(folder))
            fs::remove(e.path());
        const int r = Unzip(archive, folder);
        if (count <= UnzipMaxEntries) {
            EXPECT_EQ(r, UnzipOk);
            EXPECT_EQ(folderEntries().size(), static_cast<std::size_t>(count));
        } else {
            EXPECT_EQ(r, UnzipTooManyEntries);
            EXPECT_TRUE(folderEntries().empty());
        }
    }
}

} // namespace
