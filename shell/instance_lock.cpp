#include "shell/instance_lock.h"

#include <QDir>
#include <QLockFile>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tvn {

std::string RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        return runtime;
    return QDir::tempPath().toLocal8Bit().toStdString();
}

std::string InstanceFilePath(const std::string& suffix) {
    // The uid keeps users apart in the shared temporary folder.
    std::string path = RuntimeFolder();
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    return path + "tarvolin-" + std::to_string(::getuid()) + suffix;
}

CInstanceLock::CInstanceLock()
    : file(std::make_unique<QLockFile>(QString::fromLocal8Bit(InstanceFilePath(".lock").c_str()))) {
    // Only a dead owner makes a lock stale; a long-running instance keeps it however old.
    file->setStaleLockTime(0);
}

CInstanceLock::~CInstanceLock() = default;

bool CInstanceLock::TryLock() {
    if (file->tryLock(0))
        return true;
    return file->error() != QLockFile::LockFailedError;
}

} // namespace tvn
