// Unpacking a received package: every entry lands flat inside the folder, links are never
// followed or made, and damaged archives and bombs are refused with nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/tempdir.h"
#include "support/zipfile.h"
#include "update/unzip.h"

using namespace vl;
using vltest::makeZip;
namespace fs = std::filesystem;

namespace {

// Every file under `root`, relative, sorted: what the unpack may have added anywhere.
std::vector<std::string> tree(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        out.push_back(e.path().lexically_relative(root).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

class UnzipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(folder);
        dir.write("fuera/intacto.txt", "original");
    }
    std::vector<std::string> folderEntries() const { return tree(folder); }

    vltest::TempDir dir;
    fs::path outside = dir.path() / "fuera";
    fs::path folder = dir.path() / "quiroles/Velantia/Recibido";
    fs::path archive = dir.path() / "Software.zip";
};
class HostileZip : public UnzipTest {};

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

// One file per name whatever its case: a stale spelling would be found instead of the new one.
TEST_F(UnzipTest, ReplacesTheExistingFileOfThatNameWhateverItsCase) {
    for (const auto& [stale, entry] : {std::pair{"Maestro.xml", "Maestro.xml"},
                                       {"Maestro.xml", "maestro.xml"},
                                       {"Maestro.xml", "MAESTRO.XML"},
                                       {"encuesta.xml", "Encuesta.xml"}}) {
        vltest::writeBytes(folder / stale, "viejo y mas largo que el nuevo");
        makeZip(archive, {{entry, "nuevo"}});
        ASSERT_EQ(Unzip(archive, folder), 0);
        EXPECT_EQ(folderEntries(), std::vector<std::string>{entry});
        EXPECT_EQ(vltest::readBytes(folder / entry), "nuevo");
        fs::remove(folder / entry);
    }
}

// Packages as other archivers write them: what libzip decodes unpacks, the rest says why.
TEST_F(UnzipTest, CompressionMethodsAndZip64) {
    dir.write("make.py", "import sys, zipfile\n"
                         "for name, method in (('deflate', 8), ('stored', 0), ('bzip2', 12),"
                         " ('lzma', 14)):\n"
                         "    with zipfile.ZipFile(sys.argv[1] + name, 'w', method) as z:\n"
                         "        z.writestr('Maestro.xml', 'a' * 2000)\n"
                         "with zipfile.ZipFile(sys.argv[1] + 'zip64', 'w') as z:\n"
                         "    with z.open('Maestro.xml', 'w', force_zip64=True) as f:\n"
                         "        f.write(b'a' * 2000)\n");
    const std::string made = (dir.path() / "made-").string();
    ASSERT_EQ(std::system(("python3 " + (dir.path() / "make.py").string() + " " + made).c_str()),
              0);
    for (const auto& [name, why] : {std::pair{"deflate", ""},
                                    {"stored", ""},
                                    {"bzip2", ""},
                                    {"zip64", ""},
                                    {"lzma", "Maestro.xml usa el método de compresión 14 (LZMA), "
                                             "que este programa no puede leer"}}) {
        std::string reason;
        EXPECT_EQ(Unzip(made + name, folder, UnzipLimit, &reason) == 0, *why == 0) << name;
        EXPECT_EQ(reason, why);
        EXPECT_EQ(vltest::readBytes(folder / "Maestro.xml"),
                  *why ? "<missing>" : std::string(2000, 'a'))
            << name;
        fs::remove(folder / "Maestro.xml");
    }
}

// No archive, or bytes that are no archive: refused, nothing written.
TEST_F(UnzipTest, NotAnArchiveIsRefused) {
    EXPECT_NE(Unzip(archive, folder), 0);
    for (const std::string& bytes : {std::string(), std::string("<html><body>Error 500</body></html>"),
                                    std::string("PK\x03\x04\x14\x00", 6)}) {
        vltest::writeBytes(archive, bytes);
        EXPECT_NE(Unzip(archive, folder), 0) << bytes;
        EXPECT_TRUE(folderEntries().empty());
    }
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

TEST_F(UnzipTest, TotalUncompressedOutputIsBounded) {
    struct Case {
        std::size_t first, second;
        std::uint64_t limit;
        bool ok;
    } cases[] = {{600, 400, 1000, true},
                 {600, 401, 1000, false},
                 {1001, 0, 1000, false},
                 {100000, 100000, 200000, true},
                 {100000, 100001, 200000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "+" + std::to_string(c.second));
        fs::remove_all(folder);
        fs::create_directories(folder);
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
}

TEST(UnzipDefaults, LimitIsOneGibibyte) {
    EXPECT_EQ(UnzipLimit, 1073741824u);
}

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
                      {"C:", "10"},
                      {"../evil", "11"},
                      {"x/..", "12"}});
    const auto before = tree(dir.path());
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    EXPECT_EQ(folderEntries(),
              (std::vector<std::string>{"absoluto.xml", "barras.xml", "evil", "flujo", "punto.xml",
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
    makeZip(archive, {{"Encuesta.xml", (outside / "intacto.txt").string(), false, true},
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
        std::vector<vltest::ZipEntry> entries;
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
