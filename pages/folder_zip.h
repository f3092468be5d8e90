#pragma once

#include "http/request_context.h"
#include "pages/zip_archive.h"

#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// What the walk below a folder leaves out, decided on the main thread before it starts.
struct ZipWalkRules {
    std::string share;    // the shared folder as configured (its links are resolved on the walk)
    std::string settings; // the settings folder when the share holds it, else empty
    CFolderAdmission admission;
};

// The bounds of one archive: its list of members stays in memory while it is sent.
constexpr std::size_t kMaxZipMembers = 200000;
constexpr std::size_t kMaxZipNameBytes = std::size_t(32) << 20;
constexpr int kMaxZipDepth = 64;

// The members of the archive of `folder` (a local path ending in '/'), depth first in byte
// order of the names, each subfolder as a member of its own, with what a listing hides for
// what it is left out (names beginning with '.', the settings folder, subfolders whose
// ".pass" the request's credentials do not pass) and names with control bytes or '\'. The
// default documents a listing leaves out are in: a request for them gets them.
// A link is followed when it leads to a place inside the shared folder or inside `folder`
// and is guarded there as a request for it would be; a link that leaves them, or to a
// folder around it (a loop), is left out. False when the folder holds more than the bounds.
bool CollectZipMembers(const std::string& folder, const ZipWalkRules& rules,
                       std::vector<ZipMember>& members);

// True when the request's query holds the word "zip" ("?zip", "?a=b&zip").
bool AsksForZip(const CRequest& request);

// The Content-Disposition of a download named `name` (RFC 6266): a plain ASCII filename
// for old clients, and the name itself in UTF-8 as filename*.
std::string AttachmentDisposition(std::string_view name);

// Answers a folder request with the folder as one ZIP archive: the walk runs off the main
// thread, then a 200 whose Content-Length is the archive's and whose body is made while it
// is sent (503 when the folder is over the bounds).
StageResult SendFolderZip(CRequestContext& context);

} // namespace tvn
