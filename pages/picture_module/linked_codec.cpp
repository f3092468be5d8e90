// Linked into a program (the tests, the fuzz harness), the decoders are used from the start
// and the module is never looked for.
#include "pages/picture_codec.h"

namespace {

const bool linkedIn = (tvn::PictureModule().Use(TvnPictureCodec()), true);

} // namespace
