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

// The GPS pages, the remote control and the blog arrive with their own work.
bool CPageStages::HandlePageFile(CRequestContext&) { return false; }

// The screenshot arrives with its own work.
bool CPageStages::HandleScreenShot(CRequestContext&) { return false; }

bool CPageStages::WrapPage(CRequestContext& context) { return tvn::WrapPage(context); }

} // namespace tvn
