#include "shell/desktop_module.h"

#include <filesystem>

namespace tvn {

std::string DesktopModulePath(const std::string& programFile, const std::string& installedFolder,
                              const std::function<bool(const std::string& path)>& exists,
                              const char* moduleName) {
    const std::filesystem::path program(programFile);
    if (!program.is_absolute() || !program.has_filename())
        return {};
    const std::filesystem::path folder = program.parent_path();
    const std::string beside = (folder / moduleName).lexically_normal().string();
    if (exists(beside))
        return beside;
    return (folder / installedFolder / moduleName).lexically_normal().string();
}

} // namespace tvn
