#include "pages/picture_codec.h"

#include "platform/loadable_module.h"

namespace tvn {

CModuleTable<PictureCodec>& PictureModule() {
    static CModuleTable<PictureCodec> module(kPictureModuleName, kPictureEntryName,
                                             "no thumbnail is made");
    return module;
}

} // namespace tvn
