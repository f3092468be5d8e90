// What the upload tests share: the folders that take uploads (and some that do not), the
// disk's room as the server is told it, and the names a folder shows.
#pragma once

#include "http/upload_store.h"
#include "support/server_fixture.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tvn::test {

inline bool PlentyOfRoom(const std::string&, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
    totalBytes = std::uint64_t(1) << 40;
    freeBytes = totalBytes / 2;
    return true;
}

inline bool NoRoom(const std::string&, std::uint64_t& freeBytes, std::uint64_t& totalBytes) {
    totalBytes = std::uint64_t(100) << 30;
    freeBytes = std::uint64_t(2) << 30; // 2 %: below the 5 % kept free
    return true;
}

// The names in `folder`, dot-files aside, sorted.
inline std::vector<std::string> VisibleNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.front() != '.')
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A served folder with Drop/ (takes files up to 1 MB), Plain/ (takes none), Locked/ (takes
// files behind a password), .dot/ (hidden) and Few/ (full at one file); plenty of room.
class UploadFolders : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        SetFreeSpaceProbe(&PlentyOfRoom);
        Put("Drop/.upload", "maxsize=1000000\n");
        Put("Drop/kept.txt", "kept");
        Put("Plain/file.txt", "no uploads here");
        Put("Locked/.upload", "");
        Put("Locked/.pass", "anna,pw\n");
        Put(".dot/.upload", "");
        Put("Few/.upload", "maxfiles=1\n");
        Put("Few/one.txt", "1");
    }
    void TearDown() override {
        SetFreeSpaceProbe(nullptr);
        ServerFixture::TearDown();
    }
};

} // namespace tvn::test
