#pragma once

#include <string>

namespace tvn {

// The drive-independent form of a path for the settings file: "Portable:" + the rest when
// the path lies on the removable mount that holds the program, "Personal:" + the rest when
// it lies below the documents folder (compared without regard to case), else unchanged.
std::string ToStoredPath(const std::string& path);

// The inverse of ToStoredPath on this computer.
std::string FromStoredPath(const std::string& stored);

// Packs a dotted version a.b.c.d as ((a*256+b)*256+c)*256+d, b, c and d taken modulo 256.
int PackVersion(const std::string& dotted);

inline constexpr const char* kProgramVersion = "3.1.2.47";

} // namespace tvn
