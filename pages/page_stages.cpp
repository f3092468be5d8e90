#include "pages/page_stages.h"

#include "http/request_context.h"
#include "pages/blog.h"
#include "pages/folder_listing.h"
#include "pages/gps_pages.h"
#include "pages/page_wrap.h"
#include "pages/remote_control.h"
#include "pages/screenshot.h"
#include "pages/thumbnail_cache.h"

namespace tvn {

bool CPageStages::CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) {
    return tvn::CopyThumbnail(url, jpeg, picture);
}

void CPageStages::SendFolderListing(CRequestContext& context) { tvn::SendFolderListing(context); }

// The GPS pages come first: their folders are theirs whatever the page is called.
StageResult CPageStages::HandlePageFile(CRequestContext& context) {
    if (HandleGpsPage(context) == StageResult::kAnswered)
        return StageResult::kAnswered;
    if (HandleRemoteControl(context) == StageResult::kAnswered)
        return StageResult::kAnswered;
    return HandleBlog(context);
}

StageResult CPageStages::HandleScreenShot(CRequestContext& context) {
    return tvn::HandleScreenShot(context);
}

StageResult CPageStages::WrapPage(CRequestContext& context) { return tvn::WrapPage(context); }

} // namespace tvn
