#include <gtest/gtest.h>

#include "core/paths.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "support/tempdir.h"

namespace fs = std::filesystem;

namespace {

TEST(Paths, ResolvesAnySpellingToTheExistingEntry) {
    vltest::TempDir dir;
    dir.write("quiroles/Velantia/Recibido/Maestro.xml", "x");
    const vl::Paths p(dir.path());
    EXPECT_EQ(p.product("recibido\\maestro.XML"),
              dir.path() / "quiroles/Velantia/Recibido/Maestro.xml");
    EXPECT_EQ(p.at("QUIROLES/velantia/RECIBIDO"), dir.path() / "quiroles/Velantia/Recibido");
    // A new file keeps the spelling asked for, in the existing folder.
    EXPECT_EQ(p.product("recibido\\Software.zip"),
              dir.path() / "quiroles/Velantia/Recibido/Software.zip");
    // Nothing below a missing folder is looked up.
    EXPECT_EQ(p.product("Nueva/Dentro/a.txt"), dir.path() / "quiroles/Velantia/Nueva/Dentro/a.txt");
    EXPECT_EQ(p.pageFolder("3"), dir.path() / "quiroles/Velantia/htm3");
    EXPECT_EQ(p.orbal("basea"), dir.path() / "quiroles/orbal-5/basea");
    // Windows-1252 names, the euro sign too: "PEÑA " finds "Peña ", and a new
    // file below it is stored under the name the program spelled.
    const std::string pena = "Pe\xF1"
                             "a \x80";
    fs::create_directories(dir.path() / vl::pathFromCp1252("quiroles/" + pena));
    const fs::path note = p.at("QUIROLES/PE\xD1"
                               "A \x80/Nota \xE9.txt");
    EXPECT_EQ(note, dir.path() / vl::pathFromCp1252("quiroles/" + pena + "/Nota \xE9.txt"));
    ASSERT_TRUE(vl::writeFileBytes(note, "n"));
    const fs::directory_iterator stored(note.parent_path());
    EXPECT_EQ(vl::nameInCp1252(stored->path().filename()), "Nota \xE9.txt");
}

TEST(Paths, DriveRootFromExecutableFolder) {
    vl::unsetEnvironment("VELANTIA_ROOT");
    EXPECT_EQ(vl::driveRoot("/srv/farmacia/QUIROLES/velantia"), fs::path("/srv/farmacia"));
    EXPECT_EQ(vl::driveRoot("/srv/farmacia/quiroles/Velantia/"), fs::path("/srv/farmacia"));
    EXPECT_EQ(vl::driveRoot("/usr/local/bin"), fs::path("/"));
    vl::setEnvironment("VELANTIA_ROOT", "/tmp/raiz");
    EXPECT_EQ(vl::driveRoot("/usr/local/bin"), fs::path("/tmp/raiz"));
    if (fs::path("C:/").has_root_name()) {
        // Letters of the code page outside ASCII ("\x80" is the euro sign) arrive whole.
        vl::setEnvironment("VELANTIA_ROOT", "C:\\Farmacia \x80uro");
        EXPECT_EQ(vl::driveRoot("C:\\bin"), fs::path(L"C:\\Farmacia \u20ACuro"));
    }
    vl::unsetEnvironment("VELANTIA_ROOT");
}

TEST(Paths, FileUrl) {
    // Where paths have drive letters (Windows), the drive leads the address.
    if (fs::path("C:/").has_root_name()) {
        EXPECT_EQ(vl::Paths::fileUrl("C:\\a\\quiroles\\Velantia\\htm1\\informa.htm"),
                  "file:///C:/a/quiroles/Velantia/htm1/informa.htm");
        EXPECT_EQ(vl::Paths::fileUrl("D:/x/../htm1/informa.htm"), "file:///D:/htm1/informa.htm");
    } else {
        EXPECT_EQ(vl::Paths::fileUrl("/a/quiroles/Velantia/htm1/informa.htm"),
                  "file:///a/quiroles/Velantia/htm1/informa.htm");
    }
}

TEST(Paths, MakeDirOneLevelOnly) {
    vltest::TempDir dir;
    vl::makeDirOneLevel(dir.path() / "a");
    vl::makeDirOneLevel(dir.path() / "a");       // existing: quiet
    vl::makeDirOneLevel(dir.path() / "x" / "y"); // missing parent: quiet, nothing made
    EXPECT_TRUE(fs::is_directory(dir.path() / "a"));
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

TEST(FileIo, AtomicWriteReplacesAndLeavesNoTemporary) {
    vltest::TempDir dir;
    const auto f = dir.write("datos/f.txt", "viejo");
    ASSERT_TRUE(vl::writeFileAtomic(f, "nuevo\r\n"));
    EXPECT_EQ(vltest::readBytes(f), "nuevo\r\n");
    int entries = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(dir.path() / "datos"))
        ++entries;
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(vl::writeFileAtomic(dir.path() / "no/existe/f.txt", "x"));
    EXPECT_EQ(vl::fileSizeOrZero(f), 7u);
    EXPECT_EQ(vl::fileSizeOrZero(dir.path() / "nada"), 0u);
}

TEST(FileIo, SplitLines) {
    using V = std::vector<std::string>;
    EXPECT_EQ(vl::splitLines("a\r\nb\r\n"), (V{"a", "b"}));
    EXPECT_EQ(vl::splitLines("a\nb"), (V{"a", "b"}));
    EXPECT_EQ(vl::splitLines("a\r\n\r\nc\r"), (V{"a", "", "c"}));
    EXPECT_EQ(vl::splitLines(""), V{});
}

} // namespace
