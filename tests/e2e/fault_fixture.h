#pragma once

#include "startup_fixture.h"
// The built program under faults of its surroundings: a full or read-only disk, a shared
// folder that goes away, descriptors running out, clients that trickle or sit idle. The
// fixture starts the program with its output in files, mounts small file systems (root
// only) and tells whether what the program stored is still whole.

#include "config/stored_path.h"
#include "platform/resources.h"

#include <QProcess>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/mount.h>
#include <thread>
#include <vector>

namespace tvn::test {

inline bool IsRoot() { return ::geteuid() == 0; }

// The status line of an answer ("HTTP/1.0 200 OK"), empty when there was none.
inline std::string StatusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

// The body of an answer, after its head.
inline std::string Body(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// The lines of `text` split at LF, a CR before it dropped; an empty last piece is left out.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

// The lowest port the kernel gives a client that binds none (every client of these tests).
inline int LowestClientPort() {
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    return low;
}

// The access log's lines that are not whole entries. Every entry begins with a line end and
// reads "METHOD URL ADDRESS:PORT" (the address is empty for a relayed request); a write cut
// short leaves a line that ends early (a port too short to be a client's), and the next
// entry then starts behind it.
inline std::vector<std::string> MalformedLogLines(const std::string& log) {
    static const std::regex kEntry(R"(^(GET|HEAD|POST) /\S* (127\.0\.0\.\d{1,3}:(\d{1,5}))?$)");
    const int lowest = LowestClientPort();
    std::vector<std::string> bad;
    if (!log.empty() && log.front() != '\n')
        bad.push_back("(the log does not begin with a line end)");
    for (const std::string& line : Lines(log)) {
        std::smatch entry;
        if (!line.empty() && (!std::regex_match(line, entry, kEntry) ||
                              (entry[3].matched && std::stoi(entry[3]) < lowest)))
            bad.push_back(line);
    }
    return bad;
}

// The settings file's lines that are not what a whole settings file holds: one section
// header, then `key=value` lines; empty when the file is whole. An empty file is not.
inline std::vector<std::string> MalformedSettingsLines(const std::string& text) {
    if (text.empty())
        return {"(the settings file is empty)"};
    std::vector<std::string> bad;
    if (text.back() != '\n')
        bad.push_back("(the last line has no line end)");
    const auto lines = Lines(text);
    if (lines.empty() || lines.front() != "[SOFTWARE\\Tarvolin\\1.0]")
        bad.push_back("(the section header is not the first line)");
    static const std::regex kSetting(R"(^[^=\[][^=]*=.*$)"); // keys may hold spaces
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (!std::regex_match(lines[i], kSetting))
            bad.push_back(lines[i]);
    }
    return bad;
}

// A tmpfs of `bytes` mounted on a folder for the life of the object (root only).
class ScopedTmpfs {
  public:
    ScopedTmpfs(const std::string& folder, std::size_t bytes) : path(folder) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        mounted =
            ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~ScopedTmpfs() {
        if (mounted)
            ::umount2(path.c_str(), MNT_DETACH);
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool Mounted() const { return mounted; }
    // Makes the file system read-only, or writable again; false on failure.
    bool SetReadOnly(bool readOnly) const {
        const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
        return ::mount("tmpfs", path.c_str(), "tmpfs", flags, nullptr) == 0;
    }

  private:
    std::string path;
    bool mounted = false;
};

// Fills the file system that holds `file` by writing into that file until no byte fits
// more; the bytes written.
inline std::size_t FillDisk(const std::string& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    std::size_t total = 0;
    const std::string block(4096, 'f');
    for (std::size_t size = block.size(); size > 0;) {
        const ssize_t n = ::write(fd, block.data(), size);
        if (n > 0)
            total += static_cast<std::size_t>(n);
        else
            size /= 2; // the last pages: smaller and smaller pieces, down to no byte
    }
    ::close(fd);
    return total;
}

class FaultTest : public StartupTest {
  protected:
    // The demo site is not installed: the settings say it is there already.
    void WriteFaultSettings(std::map<std::string, std::string> extra = {}) const {
        extra.emplace("CreateDemo", std::to_string(PackVersion(kProgramVersion)));
        extra.emplace("LogFileName", Path("tvn.log"));
        WriteSettings(extra);
    }

    // Copies a few of the demo's photos into `folder`; false when they are not compiled in.
    static bool CopyDemoPhotos(const std::string& folder) {
        for (const char* name : {"sea.jpg", "road.jpg", "lake.jpg"}) {
            const auto photo = FindResource("BINDAT", std::string("demo/PhotoAlbum/") + name);
            if (!photo)
                return false;
            WriteFileBytes(folder + "/" + name, std::string(*photo));
        }
        return true;
    }

    // Starts `program` (the built program unless told) with `arguments`, its output into
    // files of the test folder, and waits until it listens on the port.
    std::unique_ptr<QProcess> Launch(const QString& program = TVN_PROGRAM,
                                     const QStringList& arguments = {}) const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(Environment());
        process->setWorkingDirectory(QString::fromStdString(base));
        process->setStandardOutputFile(QString::fromStdString(Path("program.out")),
                                       QIODevice::Append);
        process->setStandardErrorFile(QString::fromStdString(Path("program.err")),
                                      QIODevice::Append);
        process->setStandardInputFile(QProcess::nullDevice());
        process->start(program, arguments);
        process->waitForStarted(kWaitMs);
        return process;
    }

    // Ends `process` with SIGTERM; true when it ended on its own.
    static bool Stop(QProcess& process) {
        if (process.state() == QProcess::NotRunning)
            return false;
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        return Wait(process).exited;
    }

    std::string ProgramOutput() const {
        return "program output:\n" + ReadFileBytes(Path("program.out")).value_or("") +
               ReadFileBytes(Path("program.err")).value_or("");
    }

    // The thumbnail addresses ("/Thumbnail__...") a listing shows.
    static std::vector<std::string> ThumbnailUrls(const std::string& listing) {
        std::vector<std::string> urls;
        static const std::regex kThumb(R"re(src="(/Thumbnail__[0-9A-F]{8})")re");
        for (std::sregex_iterator it(listing.begin(), listing.end(), kThumb), end; it != end; ++it)
            urls.push_back((*it)[1]);
        return urls;
    }
};

} // namespace tvn::test
