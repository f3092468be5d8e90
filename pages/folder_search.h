#pragma once

#include "http/request_context.h"
#include "pages/folder_listing.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// Finding names below a folder ("/Folder/?search=words"): the folder's subfolders are walked
// off the main thread, and the names that hold every word are listed through the folder's
// own template, each by its path below the folder.

// The words of `text` (the decoded value of `search`): split at spaces, each case-folded
// (Unicode case folding, so "ÄRGER" and "ärger" are one word), each once, in their order.
// Empty when `text` holds no word.
std::vector<std::string> SearchWords(std::string_view text);

// True when the file name `name` holds every one of `words` (from SearchWords), without
// regard to case.
bool NameHoldsWords(std::string_view name, const std::vector<std::string>& words);

// How far one search may go.
struct SearchBounds {
    std::size_t hits = 500;      // names listed; one more ends the search
    std::size_t visited = 50000; // entries of folders looked at
    std::chrono::milliseconds time{2000};
    int depth = 64; // folders below the folder searched
};

// Everything a search needs, taken from the request on the main thread.
struct SearchPlan {
    std::string folder;    // the local path of the folder searched, ending in '/'
    std::string shareRoot; // the shared folder's real path: a link that leaves it is not entered
    std::string settingsFolder; // never looked into (empty: none inside the share)
    // The visitor's credentials as a ".pass" line; nothing enters no protected folder.
    std::optional<std::string> passLine;
    std::vector<std::string> words;
    SearchBounds bounds;
    // The clock the time bound is read from.
    std::function<std::chrono::steady_clock::time_point()> now = [] {
        return std::chrono::steady_clock::now();
    };
};

// How a search ended: every folder was looked at, or a bound cut it short.
enum class SearchEnd { kComplete, kHitBound, kVisitBound, kTimeBound, kDepthBound };

// Walks the folders below `plan.folder`, nearest first, and puts every folder, file and
// picture whose name holds the words into `scan` (in name order of their paths, compared
// without regard to case; a hit's link and shown name are its path below the folder), the
// pictures also into `scan.pictures` for their thumbnails. Hidden names (a leading dot, and
// the default documents a listing leaves out), folders protected by a ".pass" that
// `plan.passLine` does not satisfy, files whose real folder is such a folder, the settings
// folder, links that leave the share and folders already walked (link loops) are not entered
// and not listed. Runs on any thread; returns how the walk ended.
SearchEnd SearchBelow(const SearchPlan& plan, FolderScan& scan);

// The search box of a listing (what a <searcharea> pair becomes): a GET form for the folder
// `urlBase` holding `words` as typed, then `note` (plain text) when it is not empty.
std::string MakeSearchArea(std::string_view urlBase, std::string_view words, std::string_view note);

// Answers a search below the request's folder for `text` (the decoded value of `search`, which
// holds at least one word): the folder's template with the hits in place of its entries,
// never kept as the folder's listing. The walk and the thumbnails are made off the main thread.
StageResult SendFolderSearch(CRequestContext& context, std::string_view text);

} // namespace tvn
