#include "config/settings_section.h"

#include "platform/ini_file.h"
#include "platform/system_paths.h"

#include <mutex>

namespace tvn {
namespace {

std::mutex pathLock;
std::string filePath; // chosen by the first SettingsSection of the process

} // namespace

SettingsSection::SettingsSection() {
    std::lock_guard guard(pathLock);
    if (filePath.empty())
        filePath = JoinPath(SettingsFolder(), "TVN.cfg");
}

std::string SettingsSection::FilePath() {
    std::lock_guard guard(pathLock);
    return filePath;
}

void SettingsSection::OverrideFilePath(const std::string& path) {
    std::lock_guard guard(pathLock);
    filePath = path;
}

int SettingsSection::GetInt(const char* key, int fallback) const {
    const std::string file = FilePath();
    if (ini::ReadInt(file, kSettingsSectionName, key, -1) == -1) {
        SetInt(key, fallback);
        return fallback;
    }
    return ini::ReadInt(file, kSettingsSectionName, key, fallback);
}

bool SettingsSection::GetFlag(const char* key, int fallback) const {
    return GetInt(key, fallback & 0xFF) != 0;
}

void SettingsSection::SetInt(const char* key, int value) const {
    // A failed write is ignored: the next read finds the key missing again.
    ini::WriteString(FilePath(), kSettingsSectionName, key, std::to_string(value));
}

std::string SettingsSection::GetString(const char* key, const std::string& fallback) const {
    std::string value = ini::ReadString(FilePath(), kSettingsSectionName, key, "");
    if (value.empty()) {
        SetString(key, fallback);
        return fallback;
    }
    return value;
}

void SettingsSection::SetString(const char* key, const std::string& value) const {
    ini::WriteString(FilePath(), kSettingsSectionName, key, value);
}

} // namespace tvn
