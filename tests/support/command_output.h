#pragma once

// Runs a shell command (a real client: curl, openssl) and gives back what it wrote.
#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace tvn::test {

struct CommandOutput {
    int exitCode = -1;  // -1 when it could not run or did not exit by itself
    std::string output; // standard output, and standard error when the command joins them
};

inline CommandOutput RunCommand(const std::string& command) {
    CommandOutput result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> chunk{};
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
        result.output.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

// `text` in single quotes for the shell.
inline std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace tvn::test
