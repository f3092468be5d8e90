#pragma once

#include <cstddef>

namespace tvn::detail {

// One file compiled into the program; `path` is relative to resources/ ("CONTENT/styles.css").
struct EmbeddedResource {
    const char* path;
    const char* begin;
    const char* end;
};

extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

} // namespace tvn::detail
