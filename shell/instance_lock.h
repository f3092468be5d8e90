#pragma once

#include <memory>
#include <string>

class QLockFile;

namespace tvn {

// The per-user folder of the single-instance lock and the command socket: XDG_RUNTIME_DIR
// when it names a folder, else the temporary folder.
std::string RuntimeFolder();

// Full path of the per-user runtime file "tarvolin-<uid><suffix>" in RuntimeFolder().
std::string InstanceFilePath(const std::string& suffix);

// The single-instance rule: a per-user lock file held from start to exit. A lock left by a
// process that has died is taken over.
class CInstanceLock {
  public:
    CInstanceLock();
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // Takes the lock. False only when another running process holds it; a lock that cannot
    // be made at all (no writable folder) does not count as another instance.
    bool TryLock();

  private:
    std::unique_ptr<QLockFile> file;
};

} // namespace tvn
