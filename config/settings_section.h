#pragma once

#include "config/setting_keys.h"

#include <string>

namespace tvn {

// The accessor of the one settings section of TVN.cfg. No cache: every call goes to the
// file, so a value written anywhere is seen by the next read. Reading a missing key writes
// its default back, so after one run the file lists every setting the program consulted.
class SettingsSection {
  public:
    SettingsSection();

    // The keys of the settings table (config/setting_keys.h), read and written as the raw
    // calls below do with the key's name and default. A computed default is passed in.
    int Number(const SettingKey& key) const;
    int Number(const SettingKey& key, int computed) const;
    bool Flag(const SettingKey& key) const;
    std::string Text(const SettingKey& key) const;
    std::string Text(const SettingKey& key, const std::string& computed) const;
    void Store(const SettingKey& key, int value) const;
    void Store(const SettingKey& key, const std::string& value) const;

    // The stored integer; a missing key (read as -1) writes and returns `fallback`.
    int GetInt(const char* key, int fallback) const;
    // As GetInt with the default reduced to its low byte; true when the value is not 0.
    bool GetFlag(const char* key, int fallback) const;
    void SetInt(const char* key, int value) const;
    // The stored text; an empty or missing value writes and returns `fallback`.
    std::string GetString(const char* key, const std::string& fallback) const;
    void SetString(const char* key, const std::string& value) const;

    // Full path of the settings file in use.
    static std::string FilePath();
    // Points the settings at another file (tests); empty returns to the usual place.
    static void OverrideFilePath(const std::string& path);
};

inline constexpr const char* kSettingsSectionName = "SOFTWARE\\Tarvolin\\1.0";

} // namespace tvn
