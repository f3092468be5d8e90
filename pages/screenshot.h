#pragma once

#include "http/request_context.h"

#include <string>

namespace tvn {

struct CapturedScreen;

// Answers a file below "/ScreenShot/" with a fresh PNG of the screen, fitted into the box
// the query's "width" and "height" give (never enlarged). The folder's default documents are
// pages. The picture is made off the event loop, and requests that arrive while one is being
// made share a capture. When no picture can be made (no display, a visitor from outside the
// owner's networks) the file itself is served.
StageResult HandleScreenShot(CRequestContext& context);

// The size a screen of `width` × `height` takes in a box of `boxWidth` × `boxHeight`: the
// screen's own size when either is 0 or the screen already fits, else the largest size of
// the screen's proportions inside the box (at least 1 × 1).
void FitScreenShot(int width, int height, unsigned boxWidth, unsigned boxHeight, int& fitWidth,
                   int& fitHeight);

// How many times the screen has been captured for visitors since the program started.
int ScreenCaptureCount();

// The PNG of `screen` fitted into the box; empty when it could not be made.
std::string EncodeScreenShot(const CapturedScreen& screen, unsigned boxWidth, unsigned boxHeight);

} // namespace tvn
