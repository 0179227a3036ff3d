#pragma once
// A temporary program directory made the program's layout for the lifetime
// of the object, removed afterwards.

#include "common/AppPaths.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace ot::test {

class TStoreTestDir {
public:
    TStoreTestDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ot-store-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        FRoot = tmpl;
        SetAppPaths(TAppPaths::FromProgramDir(FRoot.string()));
    }
    ~TStoreTestDir() {
        std::error_code ec;
        std::filesystem::remove_all(FRoot, ec);
    }
    TStoreTestDir(const TStoreTestDir&) = delete;
    TStoreTestDir& operator=(const TStoreTestDir&) = delete;

    const std::filesystem::path& Root() const { return FRoot; }

private:
    std::filesystem::path FRoot;
};

} // namespace ot::test
