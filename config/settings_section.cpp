#include "config/settings_section.h"

#include "platform/ini_file.h"
#include "platform/system_paths.h"

#include <cassert>
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

int SettingsSection::Number(const SettingKey& key) const {
    assert(key.type == SettingType::kNumber && !key.computed);
    return GetInt(key.name, key.number);
}

int SettingsSection::Number(const SettingKey& key, int computed) const {
    assert(key.type == SettingType::kNumber && key.computed);
    return GetInt(key.name, computed);
}

bool SettingsSection::Flag(const SettingKey& key) const {
    assert(key.type == SettingType::kFlag);
    return GetFlag(key.name, key.number);
}

std::string SettingsSection::Text(const SettingKey& key) const {
    assert(key.type == SettingType::kText && !key.computed);
    return GetString(key.name, key.text);
}

std::string SettingsSection::Text(const SettingKey& key, const std::string& computed) const {
    assert(key.type == SettingType::kText && key.computed);
    return GetString(key.name, computed);
}

void SettingsSection::Store(const SettingKey& key, int value) const {
    assert(key.type != SettingType::kText);
    SetInt(key.name, value);
}

void SettingsSection::Store(const SettingKey& key, const std::string& value) const {
    assert(key.type == SettingType::kText);
    SetString(key.name, value);
}

} // namespace tvn
