#include "pages/page_stages.h"

#include "http/request_context.h"
#include "pages/folder_listing.h"
#include "pages/page_wrap.h"
#include "pages/thumbnail_cache.h"

namespace tvn {

bool CPageStages::CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) {
    return tvn::CopyThumbnail(url, jpeg, picture);
}

void CPageStages::SendFolderListing(CRequestContext& context) { tvn::SendFolderListing(context); }

// TODO(gps), TODO(remote), TODO(blog): the GPS pages, the remote control and the blog, in
// this order.
StageResult CPageStages::HandlePageFile(CRequestContext&) { return StageResult::kGoOn; }

// TODO(screenshot): the screenshot, which waits for its capture through Park.
StageResult CPageStages::HandleScreenShot(CRequestContext&) { return StageResult::kGoOn; }

StageResult CPageStages::WrapPage(CRequestContext& context) { return tvn::WrapPage(context); }

} // namespace tvn
