#pragma once
// Zip archives made for the tests, with entries a publisher would never put
// in a package when asked to.

#include <zip.h>

#include <string>
#include <vector>

namespace ot::test {

struct ZipEntry {
    std::string Name;
    std::string Content;
    unsigned Mode = 0100644; // file type and permission bits; 0120777 for a link
};

// Writes the archive; false when libzip refuses.
inline bool MakeZip(const std::string& file, const std::vector<ZipEntry>& entries) {
    int error = 0;
    zip_t* z = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!z)
        return false;
    for (const auto& e : entries) {
        zip_source_t* src = zip_source_buffer(z, e.Content.data(), e.Content.size(), 0);
        const zip_int64_t index =
            src ? zip_file_add(z, e.Name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0 || zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(index), 0,
                                                          ZIP_OPSYS_UNIX, e.Mode << 16) != 0) {
            zip_discard(z);
            return false;
        }
    }
    return zip_close(z) == 0;
}

} // namespace ot::test
