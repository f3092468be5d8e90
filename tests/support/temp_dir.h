#pragma once

// A fresh temporary folder per test, removed with everything in it when the test ends, and
// byte-exact file helpers.
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace tvn::test {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tvn-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Valid() const { return !path.empty(); }
    const std::string& Path() const { return path; }
    // The path of `relative` inside the folder.
    std::string operator/(std::string_view relative) const {
        return path + "/" + std::string(relative);
    }

  private:
    std::string path;
};

// Writes `bytes` to `path` exactly, creating the folders on the way; false on failure.
inline bool WriteFile(const std::string& path, std::string_view bytes) {
    std::error_code ec;
    const std::filesystem::path p(path);
    if (p.has_parent_path())
        std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The whole content of `path`; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sets the last-write time of `path` to `seconds` and `nanoseconds` (the access time stays);
// false when that fails.
inline bool SetModified(const std::string& path, std::int64_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// `count` bytes of a pattern that repeats only every 251 bytes, so that a lost, doubled
// or shifted piece of a copy shows up in a comparison.
inline std::string PatternBytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) % 251);
    return bytes;
}

} // namespace tvn::test
