// Whole-file read-only mappings: what can be mapped and what cannot.
#include "platform/memory_mapped_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace tvn {
namespace {

TEST(MemoryMappedFile, WhatCanBeMapped) {
    test::TempDir temp;
    const std::string bytes = test::PatternBytes(70000);
    test::WriteFile(temp / "file", bytes);
    test::WriteFile(temp / "empty", "");
    ::mkdir((temp / "folder").c_str(), 0755);
    ::mkfifo((temp / "pipe").c_str(), 0644); // must not block: nobody writes to it
    struct Case {
        std::string name;
        bool mapped;
    };
    const Case cases[] = {
        {"file", true},    {"empty", false}, // an empty file cannot be mapped
        {"folder", false}, {"pipe", false},  {"missing", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CMemoryMappedFile mapping;
        EXPECT_EQ(mapping.MapPath(temp / c.name), c.mapped);
        if (c.mapped) {
            EXPECT_TRUE(mapping.View() == bytes);
        } else {
            EXPECT_TRUE(mapping.View().empty());
        }
    }
}

// Mapping again replaces the old view.
TEST(MemoryMappedFile, RemapReplacesTheView) {
    test::TempDir temp;
    test::WriteFile(temp / "a", "first");
    test::WriteFile(temp / "b", "second file");
    CMemoryMappedFile mapping;
    ASSERT_TRUE(mapping.MapPath(temp / "a"));
    ASSERT_TRUE(mapping.MapPath(temp / "b"));
    EXPECT_EQ(mapping.View(), "second file");
}

} // namespace
} // namespace tvn
