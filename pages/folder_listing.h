#pragma once

#include "http/request_context.h"
#include "pages/thumbnail_cache.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// What an entry is, as far as its name tells (for icons); None for the empty-folder message.
enum class EntryKind : unsigned char {
    None,
    Folder,
    Picture,
    Audio,
    Video,
    Document,
    Archive,
    Text,
    Other
};

// One entry of a listing: the name shown (HTML, or a thumbnail tag for pictures) and the
// link text, relative to the folder's URL; a picture's tag of the built-in listing, for
// templates that show it. Kind, size and date are read only for templates
// that show them (FolderScan::withDetails).
struct ListingEntry {
    std::string name;
    std::string link;
    bool linkIsName = true; // the link is a file name, percent-encoded into the page
    EntryKind kind = EntryKind::None;
    long long size = -1;     // bytes of a file; -1 for folders and when not read
    long long modified = -1; // seconds since the epoch; -1 when not read
    std::string thumbnail{}; // the picture's sharp tag (MakeThumbnailTags), when asked for
};

struct ListingEntries {
    std::vector<ListingEntry> folders;
    std::vector<ListingEntry> files;
    std::vector<ListingEntry> pictures;
    // An entry shown with its size and date is a file with more than one name (a hard link):
    // written through a name in another folder, it changes with no sign in this one.
    bool linkedElsewhere = false;
};

// A folder read for a listing: its entries, and its pictures, whose thumbnail tags are put
// into `entries.pictures` (in the same order) once they are made.
struct FolderScan {
    ListingEntries entries;
    std::vector<PictureRef> pictures;
    // Set before ScanFolder: also read each entry's kind, size and modification time (one
    // stat call per entry, which a listing of bare names does without).
    bool withDetails = false;
};

// Reads the folder `folderPath` (ending in '/') into the three lists of `scan.entries`, in
// name order compared without regard to case, and its pictures into `scan.pictures`;
// `isRoot` leaves out "." and "..". Returns the count of counted entries (default documents
// count but are not listed); an empty folder gets the empty-folder message, which names the
// folder by its URL path `folderUrl`, as its one file entry. The entries of the pictures
// name nothing until PutThumbnailTags.
int ScanFolder(const std::string& folderPath, std::string_view folderUrl, bool isRoot,
               FolderScan& scan);
// Puts the tags made for `scan.pictures` into the picture entries, and their sharp tags
// when they were asked for.
void PutThumbnailTags(FolderScan& scan, std::vector<std::string> tags,
                      std::vector<std::string> sharpTags = {});

// A listing page on its way: the template being filled, the folder's URL path (ending in
// '/'), what the folder was read into, the thumbnails' tags once made, and what takes the
// place of the template's <uploadarea> and <searcharea> pairs.
struct ListingPage {
    FolderScan scan;
    std::string text;
    std::string urlBase;
    std::vector<std::string> tags;
    bool sharp = false;                 // the template shows %THUMBNAIL%
    std::vector<std::string> sharpTags; // then its tags
    bool uploadArea = false;            // the template holds an <uploadarea> pair
    std::string area;                   // what takes its place
    std::string searchArea;             // what takes the place of a <searcharea> pair
};

// Begins the page of the request's folder (`folderRequest`) or of the page's folder from the
// template `text`: the URL path, whether the template shows details, the upload area and the
// empty search box, all read on this thread; the folder itself is not read yet. `folder`
// receives the folder's local path, ending in '/'.
std::shared_ptr<ListingPage> BeginListingPage(const CRequestContext& context, std::string text,
                                              bool folderRequest, std::string& folder);
// Puts the thumbnail tags into the entries and fills the page's sections and pairs from them.
// Returns true when the text held a <searcharea> pair, which now holds `page.searchArea`.
bool CompleteListingPage(ListingPage& page);
// Answers with the listing page `text`: 200, text/html, its length.
void PutListing(CRequestContext& done, std::string text);

// Fills the first <diritem>, <fileitem> and <pictitem> sections of `text` with the entries
// of the request's folder (`folderRequest`) or of the page's folder, and every <pathitem>
// section with the folders of that folder's URL path, the <searcharea> pair with the search box,
// then calls `finish(context, text)`. When
// pictures of the folder still need their thumbnails, the request is parked while they are made off
// the main thread, and `finish` runs when it resumes.
StageResult FillListingSectionsThen(CRequestContext& context, std::string text, bool folderRequest,
                                    std::function<void(CRequestContext&, std::string&)> finish);

// FillListingSectionsThen whose `finish` also learns what the folder was read into (for
// whether the page may be kept).
using ListingFinish = std::function<void(CRequestContext&, std::string&, const ListingEntries&)>;
StageResult FillListingSectionsThen(CRequestContext& context, std::string text, bool folderRequest,
                                    ListingFinish finish);

// The template `name` for the request: the file in the request's folder (an empty file is
// an empty template), else the built-in resource; nothing when neither exists.
std::optional<std::string> LookUpTemplate(const CRequestContext& context, std::string_view name);

// The listing template of the request's folder: its ".dir" (an empty one is the plain list of
// links), else the built-in one; nothing when neither exists.
std::optional<std::string> FolderTemplate(const CRequestContext& context);

// The kind of a file by its name's ending, without regard to case; Other for endings not known.
EntryKind KindOfFileName(std::string_view name);

// Answers a folder request with its listing.
StageResult SendFolderListing(CRequestContext& context);

} // namespace tvn
