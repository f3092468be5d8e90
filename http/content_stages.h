#pragma once

#include <string>
#include <string_view>

namespace tvn {

class CRequestContext;

// The stages of a GET that generate content: thumbnails, listings, page handlers and the
// page frame. The pages subsystem provides them; without them folders answer 404 and
// every file goes out as it is.
class IContentStages {
  public:
    virtual ~IContentStages() = default;

    // True when `url` names a cached thumbnail: `jpeg` then holds its bytes and `picture`
    // the local path of the picture it shows.
    virtual bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) = 0;
    // Answers a folder request completely.
    virtual void SendFolderListing(CRequestContext& context) = 0;
    // The page handlers (GPS pages, remote control, blog) in their order; true when one
    // wrote a complete answer.
    virtual bool HandlePageFile(CRequestContext& context) = 0;
    // The screenshot handler (any extension); true when it answered.
    virtual bool HandleScreenShot(CRequestContext& context) = 0;
    // Frames a page file with its folder's template; true when it answered.
    virtual bool WrapPage(CRequestContext& context) = 0;
};

} // namespace tvn
