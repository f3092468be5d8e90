#pragma once

// The pages that show where the server is: page files below "/FindMe/" and "/ZadiZo/" show
// the GPS receiver's current fix, those below "/ZirarUd/" the location history.
#include "http/request_context.h"
#include "pages/page_settings.h"

namespace tvn {

// What the pages show while there is no receiver at all: the text the receiver shows while
// it searches, and its period while searching.
inline constexpr const char* kGpsSearchingText = "Looking for GPS hardware..........";
inline constexpr int kGpsSearchingPeriodMs = 1000;

// The stage for page files: goes on for URLs outside the three folders. For a page inside
// one (default documents too), starts the pages' receiver, marks the page expired after one
// polling period and frames it with the fix or the history and the map key; returns what
// WrapPage returns (kGoOn when the page goes out unframed).
StageResult HandleGpsPage(CRequestContext& context, CPageSettings& pages);

} // namespace tvn
