#pragma once

#include "http/request_context.h"
#include "pages/page_settings.h"

namespace tvn {

// A page file whose URL path begins with "/Blog/" (and that is no default document) is a
// post, and its lines are its comments. With a non-empty "comment" parameter the comment is
// appended to the post and the browser is sent back to the post (302); otherwise the lines
// are shown through the folder's ".blog" page, or the post is framed as an ordinary page
// when the folder has none. A stored comment plays the pages' BlogSound and makes the post
// their last post. Returns kGoOn for other files, a default document that is not framed, an
// empty post and a post too large to frame.
StageResult HandleBlog(CRequestContext& context, CPageSettings& pages);

} // namespace tvn
