#pragma once

#include <optional>
#include <string>

namespace tvn {

// Folder of the program: U3_DEVICE_EXEC_PATH when set, else the folder of /proc/self/exe.
// Never ends in '/' (unless it is "/").
std::string ExecutableFolder();

// Folder of TVN.cfg: U3_APP_DATA_PATH, else the executable folder when writable, else
// $XDG_CONFIG_HOME/tarvolin (created).
std::string SettingsFolder();

// Folder of the default log files: the executable folder when writable, else
// $XDG_STATE_HOME/tarvolin (created).
std::string LogFolder();

// Folder of what the program keeps only to be faster (thumbnails): $XDG_CACHE_HOME/tarvolin
// when that is a full path, else ~/.cache/tarvolin. Not created here: its user first makes
// sure that it does not lie in the shared folder.
std::string CacheFolder();

// Folder that holds the program folder "Tarvolin" of the default shared documents:
// U3_DEVICE_DOCUMENT_PATH, else the executable folder when writable, else the documents folder.
std::string DocumentBaseFolder();

// The user's documents folder (XDG documents), without a trailing '/'; nothing when unknown.
std::optional<std::string> DocumentsFolder();

// The mount point that holds `path` (the longest mount point that is a prefix of it).
std::string MountPointOf(const std::string& path);

// True when `path` lies on a removable, network or optical mount.
bool IsPortableMount(const std::string& path);

// Joins a folder and a name with one '/', added only when the folder does not end in one.
std::string JoinPath(const std::string& folder, const std::string& name);

} // namespace tvn
