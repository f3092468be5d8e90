#pragma once

#include "http/request.h"

#include <string_view>

namespace tvn {

// What the query of a folder's URL asks for. Every query word a folder answers to is told
// apart here, in one place; any other query gets the listing, as it always did.
enum class FolderAsk {
    kListing, // the folder's listing
    kSearch,  // "search=words" with at least one word: the names below the folder
};

// What `request` (a folder request) asks of its folder.
FolderAsk FolderAskOf(const CRequest& request);

} // namespace tvn
