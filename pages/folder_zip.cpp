// A folder as one ZIP download: the walk that decides its members, off the main thread, and
// the answer whose body the archive stream makes while it is sent.
#include "pages/folder_zip.h"

#include "http/http_svr_doc.h"
#include "platform/file_attributes.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <sys/stat.h>

namespace tvn {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// True when `path` is `folder` or lies below it (both without a trailing '/', "/" aside).
bool AtOrBelow(std::string_view path, std::string_view folder) {
    if (folder == "/")
        return path.starts_with('/');
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// True when a '/'-separated part of `path` begins with '.'.
bool HasDotPart(std::string_view path) {
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (path[at] == '.' && (at == 0 || path[at - 1] == '/'))
            return true;
    }
    return false;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80   ? 1
                           : lead < 0xC2 ? 0
                           : lead < 0xE0 ? 2
                           : lead < 0xF0 ? 3
                           : lead < 0xF5 ? 4
                                         : 0;
        if (length == 0 || i + static_cast<std::size_t>(length) > text.size())
            return false;
        for (int k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80)
                return false;
        }
        const auto second = length > 1 ? static_cast<unsigned char>(text[i + 1]) : 0x80;
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
            (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
            return false;
        i += static_cast<std::size_t>(length);
    }
    return true;
}

// A name an extractor takes as one plain name: no control bytes, and no '\', which some
// read as a separator (and so as a way out of the folder they extract into).
bool NameFits(std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == '\\';
    });
}

class CZipWalk {
  public:
    CZipWalk(const ZipWalkRules& walkRules, std::vector<ZipMember>& into)
        : rules(walkRules), members(into),
          settings(rules.settings.empty() ? std::string() : WithoutTrailingSlash(rules.settings)) {}

    bool Run(const std::string& folder) {
        top = WithoutTrailingSlash(ResolveRealPath(folder).value_or(folder));
        share = WithoutTrailingSlash(ResolveRealPath(rules.share).value_or(rules.share));
        std::string real = top;
        AddTrailingSlash(real);
        return Walk(folder, real, std::string(), 0);
    }

  private:
    // Adds the members below `folder` (as reached, ending in '/'), whose links resolved are
    // `real` (ending in '/'), their names behind `prefix`; false when over the bounds.
    bool Walk(const std::string& folder, const std::string& real, const std::string& prefix,
              int depth) {
        std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
        if (!dir)
            return true; // unreadable: nothing of it is shown either
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (entry->d_name[0] != '.' && NameFits(entry->d_name))
                names.emplace_back(entry->d_name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (!Visit(::dirfd(dir.get()), folder, real, prefix, name, depth))
                return false;
        }
        return true;
    }

    bool Visit(int folderFd, const std::string& folder, const std::string& real,
               const std::string& prefix, const std::string& name, int depth) {
        struct stat st {};
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return true;
        const bool link = S_ISLNK(st.st_mode);
        std::string target = real + name;
        if (link) {
            std::optional<std::string> resolved = ResolveRealPath(folder + name);
            if (!resolved || !LinkLeadsToShown(*resolved) || ::stat(resolved->c_str(), &st) != 0)
                return true;
            target = std::move(*resolved);
        }
        if (!settings.empty() && AtOrBelow(target, settings))
            return true;
        ZipMember member{prefix + name, std::string(), 0, st.st_mtim.tv_sec};
        if (S_ISDIR(st.st_mode)) {
            // A link to the folder being walked, or to one around it, would never end.
            if (link && AtOrBelow(WithoutTrailingSlash(real), target))
                return true;
            std::string below = folder + name + "/";
            AddTrailingSlash(target);
            if (!Admits(below) || !Admits(target))
                return true;
            if (depth >= kMaxZipDepth)
                return false;
            member.name.push_back('/');
            const std::string memberPrefix = member.name;
            return Add(std::move(member)) && Walk(below, target, memberPrefix, depth + 1);
        }
        if (!S_ISREG(st.st_mode))
            return true; // pipes, sockets and devices have no bytes to keep
        // A linked file is guarded by the folder it really lives in, as a request for it is.
        if (link && !Admits(target.substr(0, target.rfind('/') + 1)))
            return true;
        member.path = folder + name;
        member.size = static_cast<std::uint64_t>(st.st_size);
        member.executable = (st.st_mode & 0111) != 0;
        return Add(std::move(member));
    }

    // A link's target is shown when it lies inside the shared folder or the folder being
    // zipped, and no part of its path below that place is hidden.
    bool LinkLeadsToShown(const std::string& target) const {
        const std::string* base = AtOrBelow(target, share) ? &share
                                  : AtOrBelow(target, top) ? &top
                                                           : nullptr;
        if (!base)
            return false;
        const std::size_t skip = *base == "/" ? 0 : base->size();
        return !HasDotPart(std::string_view(target).substr(std::min(skip + 1, target.size())));
    }

    bool Admits(const std::string& folder) {
        const auto known = admitted.find(folder);
        if (known != admitted.end())
            return known->second;
        const bool admits = rules.admission.Admits(folder);
        admitted.emplace(folder, admits);
        return admits;
    }

    bool Add(ZipMember member) {
        nameBytes += member.name.size() + member.path.size();
        if (members.size() >= kMaxZipMembers || nameBytes > kMaxZipNameBytes ||
            member.name.size() > 0xFFFF)
            return false;
        member.utf8 = IsUtf8(member.name);
        members.push_back(std::move(member));
        return true;
    }

    const ZipWalkRules& rules;
    std::vector<ZipMember>& members;
    std::string settings; // without its trailing '/'
    std::string top;      // the folder being zipped, links resolved, without its trailing '/'
    std::string share;    // the shared folder, the same way
    std::size_t nameBytes = 0;
    std::map<std::string, bool> admitted; // folders whose ".pass" was looked at
};

// The download's name: the folder's own, or the server's at the root.
std::string ArchiveName(std::string_view urlPath, std::string_view hostName) {
    while (!urlPath.empty() && urlPath.back() == '/')
        urlPath.remove_suffix(1);
    std::string name(urlPath.substr(urlPath.rfind('/') + 1));
    if (name.empty())
        name = hostName;
    return name + ".zip";
}

} // namespace

bool CollectZipMembers(const std::string& folder, const ZipWalkRules& rules,
                       std::vector<ZipMember>& members) {
    members.clear();
    CZipWalk walk(rules, members);
    return walk.Run(folder);
}

bool AsksForZip(const CRequest& request) {
    const std::string_view query = request.query;
    for (std::size_t at = 0; at <= query.size();) {
        const std::size_t amp = std::min(query.find('&', at), query.size());
        if (query.substr(at, amp - at) == "zip")
            return true;
        at = amp + 1;
    }
    return false;
}

std::string AttachmentDisposition(std::string_view name) {
    std::string value = "attachment; filename=\"";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 && u < 0xC0)
            continue; // one '_' for a character of several bytes
        value.push_back(u < 0x20 || u >= 0x7F || c == '"' || c == '\\' || c == '%' ? '_' : c);
    }
    value.append("\"; filename*=UTF-8''");
    constexpr std::string_view kAttrChars = "!#$&+-.^_`|~";
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
            kAttrChars.find(c) != std::string_view::npos) {
            value.push_back(c);
        } else {
            value.push_back('%');
            value.push_back(kHex[u >> 4]);
            value.push_back(kHex[u & 0xF]);
        }
    }
    return value;
}

StageResult SendFolderZip(CRequestContext& context) {
    CRequest& request = context.request;
    AddTrailingSlash(request.localPath);
    const CHttpSvrDoc& doc = context.Doc();
    struct Job {
        std::string folder;
        ZipWalkRules rules;
        std::vector<ZipMember> members;
        std::uint64_t length = 0;
        bool whole = false; // the walk ended within the bounds
    };
    auto job = std::make_shared<Job>(
        Job{request.localPath,
            {doc.Root(), doc.ShareHoldsSettings() ? doc.SettingsFolderPath() : std::string(),
             context.FolderAdmission()},
            {},
            0,
            false});
    std::string name =
        ArchiveName(request.urlPath.empty() ? request.url : request.urlPath, doc.HostName());
    // Reading a tree of folders takes its time: other visitors are served meanwhile.
    return context.Park(
        [job] {
            job->whole = CollectZipMembers(job->folder, job->rules, job->members);
            if (job->whole)
                job->length = LayOutZip(job->members);
        },
        [job, name = std::move(name)](CRequestContext& done) {
            CAnswer& answer = done.answer;
            if (!job->whole) {
                answer.StartError(HttpStatus::kServiceUnavailable);
                return StageResult::kAnswered;
            }
            answer.Start(HttpStatus::kOk);
            answer.AddHeader("Content-Type", "application/zip");
            answer.AddHeader("Content-Disposition", AttachmentDisposition(name));
            answer.AddHeaderNumber("Content-Length", static_cast<long long>(job->length));
            answer.SetSource(std::make_unique<CZipStream>(std::move(job->members), job->length));
            return StageResult::kAnswered;
        });
}

} // namespace tvn
