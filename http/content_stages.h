#pragma once

#include "http/request_context.h"

#include <string>
#include <string_view>

namespace tvn {

// The stages of a GET that generate content: thumbnails, listings, page handlers and the
// page frame. The pages subsystem provides them; without them folders answer 404 and
// every file goes out as it is. A stage that must wait for slow work parks the request
// (CRequestContext::Park) and returns kWaiting; its resume then says what it did.
class IContentStages {
  public:
    virtual ~IContentStages() = default;

    // True when `url` names a cached thumbnail: `jpeg` then holds its bytes and `picture`
    // the local path of the picture it shows.
    virtual bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) = 0;
    // Answers a folder request completely (kAnswered), or waits for it (kWaiting).
    virtual StageResult SendFolderListing(CRequestContext& context) = 0;
    // The page handlers in their order, on a file target: the first that answers or waits
    // ends the stage. The table is kPageHandlers in pages/page_stages.cpp.
    virtual StageResult HandleFile(CRequestContext& context) = 0;
    // Frames a page file with its folder's template.
    virtual StageResult WrapPage(CRequestContext& context) = 0;
};

} // namespace tvn
