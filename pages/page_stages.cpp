#include "pages/page_stages.h"

#include "http/request_context.h"
#include "pages/blog.h"
#include "pages/folder_listing.h"
#include "pages/folder_query.h"
#include "pages/folder_search.h"
#include "pages/gps_pages.h"
#include "pages/page_wrap.h"
#include "pages/remote_control.h"
#include "pages/screenshot.h"
#include "pages/thumbnail_cache.h"

namespace tvn {

bool CPageStages::CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) {
    return tvn::CopyThumbnail(url, jpeg, picture);
}

StageResult CPageStages::SendFolderListing(CRequestContext& context) {
    switch (FolderAskOf(context.request)) {
    case FolderAsk::kListing:
        return tvn::SendFolderListing(context);
    case FolderAsk::kSearch:
        return SendFolderSearch(context, context.request.Param("search"));
    }
    return tvn::SendFolderListing(context);
}

namespace {

// A page handler: the files it is asked about, and what it does with them.
struct PageHandler {
    StageResult (*handle)(CRequestContext&, CPageSettings&);
    bool pageFilesOnly; // only .htm, .html and .txt targets; else every file
};

// A handler that needs nothing of the pages' settings.
template <StageResult (*Handle)(CRequestContext&)>
StageResult WithoutSettings(CRequestContext& context, CPageSettings&) {
    return Handle(context);
}

// The page handlers in their order. The GPS pages come first: their folders are theirs
// whatever the page is called. A handler for another extension checks it itself.
constexpr PageHandler kPageHandlers[] = {
    {&HandleGpsPage, true},
    {&WithoutSettings<&HandleRemoteControl>, true},
    {&HandleBlog, true},
    {&WithoutSettings<&HandleScreenShot>, false},
};

} // namespace

StageResult CPageStages::HandleFile(CRequestContext& context) {
    const bool pageFile = context.IsPageFile();
    for (const PageHandler& handler : kPageHandlers) {
        if (handler.pageFilesOnly && !pageFile)
            continue;
        const StageResult result = handler.handle(context, settings);
        if (result != StageResult::kGoOn)
            return result;
    }
    return StageResult::kGoOn;
}

StageResult CPageStages::WrapPage(CRequestContext& context) { return tvn::WrapPage(context); }

} // namespace tvn
