#pragma once

// Archives made by the pages, read back by Python's zipfile (tests/pages/read_zip.py).
#include "support/command_output.h"

#include <sstream>
#include <string>
#include <vector>

namespace tvn::test {

// One member as zipfile saw it.
struct ReadMember {
    std::string name;
    std::string size;
    std::string flags;      // flag bits, 4 hex digits
    std::string attributes; // external attributes, 8 hex digits
    std::string head;       // its first 32 bytes in hex
};

struct ReadArchive {
    bool ok = false; // read whole, every CRC-32 right
    std::vector<ReadMember> members;
    std::string output; // what the reader said, for failure messages

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const ReadMember& member : members)
            names.push_back(member.name);
        return names;
    }
};

// `bytes` in hex, as the reader writes a member's first bytes.
inline std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes.substr(0, 32)) {
        hex.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        hex.push_back(kDigits[static_cast<unsigned char>(c) & 0xF]);
    }
    return hex;
}

// Runs the reader with `arguments` (a file, or --fetch PORT URL OUT).
inline ReadArchive ReadZipWith(const std::string& arguments) {
    const CommandOutput result = RunCommand("PYTHONIOENCODING=utf-8 python3 " +
                                            ShellQuoted(TVN_READ_ZIP) + " " + arguments + " 2>&1");
    ReadArchive archive;
    archive.output = result.output;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == "crc ok") {
            archive.ok = result.exitCode == 0;
            break;
        }
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        fields.resize(5);
        archive.members.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return archive;
}

inline ReadArchive ReadZipFile(const std::string& path) { return ReadZipWith(ShellQuoted(path)); }

} // namespace tvn::test
