#include "pages/page_stages.h"

#include "http/request_context.h"

namespace tvn {

bool CPageStages::FindThumbnail(std::string_view, std::size_t&) { return false; }

bool CPageStages::ReadThumbnail(std::string_view, char*, std::size_t) { return false; }

void CPageStages::SendFolderListing(CRequestContext& context) { context.PutErrorResponse(4404); }

// The GPS pages, the remote control and the blog arrive with their own work.
bool CPageStages::HandlePageFile(CRequestContext&) { return false; }

// The screenshot arrives with its own work.
bool CPageStages::HandleScreenShot(CRequestContext&) { return false; }

bool CPageStages::WrapPage(CRequestContext&) { return false; }

} // namespace tvn
