#include "pages/folder_query.h"

namespace tvn {

FolderAsk FolderAskOf(const CRequest& request) {
    // "?search=" or one of spaces only finds nothing to look for: the folder is listed.
    const std::string& words = request.Param("search");
    if (words.find_first_not_of(" \t") != std::string::npos)
        return FolderAsk::kSearch;
    return FolderAsk::kListing;
}

} // namespace tvn
