// Real archives built with libzip for the unpacking and update tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vltest {

struct ZipEntry {
    std::string name;
    std::string data;
    bool folder = false;
    bool link = false; // stored with the Unix mode of a symbolic link
};

// Deflated entries in the order given; a later entry of the same name replaces the earlier one.
inline void makeZip(const std::filesystem::path& file, const std::vector<ZipEntry>& entries) {
    std::filesystem::create_directories(file.parent_path());
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
        const zip_int64_t i =
            zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        ASSERT_GE(i, 0) << zip_strerror(z) << " " << e.name;
        if (e.link) {
            ASSERT_EQ(zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0,
                                                       ZIP_OPSYS_UNIX, (S_IFLNK | 0777u) << 16),
                      0);
        }
    }
    ASSERT_EQ(zip_close(z), 0) << zip_strerror(z);
}

} // namespace vltest
