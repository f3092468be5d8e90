#pragma once

#include <optional>
#include <string>

namespace tvn {

constexpr int kAttributeHidden = 0x2;
constexpr int kAttributeDirectory = 0x10;
constexpr int kInvalidAttributes = -1;
constexpr int kUnknownAttributes = -2;

// Attribute bits of `path` (following symbolic links): 0x10 for a folder, 0x2 when the last
// component begins with '.'; -1 when the path does not exist or cannot be read.
int GetFileAttributes(const std::string& path);

// Replaces every symbolic link among the components of `path`, from the left, by its
// target (a relative target is taken from the link's folder), starting again after each
// replacement. A loop or more than 40 replacements leaves `path` unchanged. The first
// `trustedPrefix` bytes are taken as they stand (a folder whose links need not be
// followed: the kernel follows them anyway).
// When `attributes` is given, it receives the attributes of the result if the walk
// learned them on its way (else kUnknownAttributes), sparing a GetFileAttributes call.
std::string ResolveShortcuts(std::string path, std::size_t trustedPrefix = 0,
                             int* attributes = nullptr);

// `path` with every link, ".", ".." and doubled '/' resolved; nullopt when it names nothing
// (a dangling link, a loop, a missing part).
std::optional<std::string> ResolveRealPath(const std::string& path);

} // namespace tvn
