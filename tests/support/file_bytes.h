#pragma once

// Whole files as bytes, for the suites that start the program or its shell.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace tvn::test {

// The bytes of the file at `path`; nothing when it cannot be opened.
inline std::optional<std::string> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes `bytes` as the whole file at `path`, making its folders first.
inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace tvn::test
