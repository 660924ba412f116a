// Unpacking a received package: every entry lands flat inside the folder, links are never
// followed or made, and damaged archives and bombs are refused with nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/tempdir.h"
#include "support/zipfile.h"
#include "update/unzip.h"

using namespace vl;
using namespace vltest;
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
    void SetUp() override { dir.write("fuera/intacto.txt", "original"); }
    void empty() const {
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    std::string zipOf(const std::vector<ZipEntry>& entries) const {
        makeZip(archive, entries);
        return readBytes(archive);
    }
    TempDir dir;
    fs::path outside = dir.path() / "fuera";
    fs::path folder = dir.path() / "quiroles/Velantia/Recibido";
    fs::path archive = dir.path() / "Software.zip";
};
class HostileZip : public UnzipTest {};

// Names that point elsewhere in every spelling a packer could use land flat in the folder, and
// replace the file of that name whatever its case: a stale spelling would be found instead.
TEST_F(HostileZip, EntryNamesNeverLeaveTheFolder) {
    empty();
    for (const char* stale : {"barras.xml", "Maestro.xml", "encuesta.xml", "UNIDAD.XML"})
        writeBytes(folder / stale, "viejo y mas largo que el nuevo");
    const std::string big(200000, 'x');
    makeZip(archive, {{(outside / "absoluto.xml").generic_string(), "1"},
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
                      {"x/..", "12"},
                      {"datos/", "", true},
                      {"datos/interior/Encuesta.xml", big},
                      {"MAESTRO.XML", "13"}});
    auto before = tree(dir.path());
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    EXPECT_EQ(tree(folder),
              (std::vector<std::string>{"Encuesta.xml", "MAESTRO.XML", "absoluto.xml", "barras.xml",
                                        "evil", "flujo", "punto.xml", "red.xml", "relativo.xml",
                                        "subir.xml", "unidad.xml"}));
    EXPECT_EQ(readBytes(folder / "Encuesta.xml"), big);
    EXPECT_EQ(readBytes(folder / "barras.xml"), "3");
    EXPECT_EQ(readBytes(folder / "relativo.xml"), "5");
    // Outside the received folder nothing changed.
    auto after = tree(dir.path());
    std::erase_if(after,
                  [](const auto& p) { return p.starts_with("quiroles/Velantia/Recibido/"); });
    std::erase_if(before,
                  [](const auto& p) { return p.starts_with("quiroles/Velantia/Recibido/"); });
    EXPECT_EQ(after, before);
    EXPECT_EQ(readBytes(outside / "intacto.txt"), "original");
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
        empty();
        std::string reason;
        EXPECT_EQ(Unzip(made + name, folder, UnzipLimit, &reason) == 0, *why == 0) << name;
        EXPECT_EQ(reason, why);
        EXPECT_EQ(readBytes(folder / "Maestro.xml"), *why ? "<missing>" : std::string(2000, 'a'));
    }
}

// What is no package, or would write more than the limit or too many files, whatever the
// headers declare: refused, with no file and no temporary left.
TEST_F(HostileZip, DamagedArchivesAndBombsAreRefused) {
    std::string damaged = zipOf({{"Maestro.xml", std::string(5000, 'a') + std::string(5000, 'b')}});
    // The deflated data just after the local header (30 bytes + name).
    for (std::size_t i = 30 + 11; i < 30 + 11 + 8; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    const auto two = [&](std::size_t a, std::size_t b) {
        return zipOf({{"a.xml", std::string(a, '0')}, {"b.xml", std::string(b, '0')}});
    };
    // Small, and inflating far beyond the limit: ratio above 250.
    const std::string bomb = zipOf({{"Maestro.xml", std::string(24 << 20, '\0')}});
    std::string lying = bomb; // the uncompressed size in the local and the central header: 100
    for (const auto& [sig, at] : {std::pair{"PK\x03\x04", 22}, {"PK\x01\x02", 24}})
        std::memcpy(&lying[lying.find(sig) + at], "\x64\0\0\0", 4);
    std::vector<ZipEntry> many;
    for (std::int64_t i = 0; i < UnzipMaxEntries; ++i)
        many.push_back({"f" + std::to_string(i) + ".xml", ""});
    const std::string most = zipOf(many);
    many.push_back({"otro.xml", ""});
    const struct {
        std::string bytes;
        std::uint64_t limit;
        int result;
        std::size_t files;
    } cases[] = {{"", UnzipLimit, UnzipNotAnArchive, 0},
                 {"<html><body>Error 500</body></html>", UnzipLimit, UnzipNotAnArchive, 0},
                 {std::string("PK\x03\x04\x14\x00", 6), UnzipLimit, UnzipNotAnArchive, 0},
                 {damaged, UnzipLimit, UnzipBadEntry, 0},
                 {zipOf({{"vacia/", "", true}}), UnzipLimit, UnzipEmpty, 0},
                 {two(600, 400), 1000, UnzipOk, 2},
                 {two(600, 401), 1000, UnzipTooLarge, 1},
                 {two(1001, 0), 1000, UnzipTooLarge, 0},
                 {two(100000, 100000), 200000, UnzipOk, 2},
                 {two(100000, 100001), 200000, UnzipTooLarge, 1},
                 {bomb, 1 << 20, UnzipTooLarge, 0},
                 {lying, 1 << 20, UnzipTooLarge, 0},
                 {most, UnzipLimit, UnzipOk, UnzipMaxEntries},
                 {zipOf(many), UnzipLimit, UnzipTooManyEntries, 0}};
    fs::remove(archive);
    empty();
    EXPECT_EQ(Unzip(archive, folder), UnzipNotAnArchive);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        empty();
        writeBytes(archive, c.bytes);
        EXPECT_EQ(Unzip(archive, folder, c.limit), c.result);
        EXPECT_EQ(tree(folder).size(), c.files);
    }
}

// An entry stored as a symbolic link becomes a plain file holding the link's text; a link
// already in the folder under an entry's name is replaced, its target left alone.
TEST_F(HostileZip, LinksAreNeitherMadeNorFollowed) {
    empty();
    std::error_code ec;
    fs::create_symlink(outside / "intacto.txt", folder / "Maestro.xml", ec);
    if (ec) GTEST_SKIP() << "no symbolic links here";
    makeZip(archive, {{"Encuesta.xml", (outside / "intacto.txt").string(), false, true},
                      {"Maestro.xml", "<nuevo/>"}});
    ASSERT_EQ(Unzip(archive, folder), UnzipOk);
    EXPECT_FALSE(fs::is_symlink(folder / "Encuesta.xml") || fs::is_symlink(folder / "Maestro.xml"));
    EXPECT_EQ(readBytes(folder / "Encuesta.xml"), (outside / "intacto.txt").string());
    EXPECT_EQ(readBytes(folder / "Maestro.xml"), "<nuevo/>");
    EXPECT_EQ(readBytes(outside / "intacto.txt"), "original");
}

} // namespace
