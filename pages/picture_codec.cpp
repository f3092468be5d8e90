#include "pages/picture_codec.h"

#include "platform/loadable_module.h"

namespace tvn {
namespace {

CModuleTable<PictureCodec>& Module() {
    static CModuleTable<PictureCodec> module(kPictureModuleName, kPictureEntryName,
                                             "no thumbnail is made");
    return module;
}

} // namespace

void SetPictureModuleFile(std::string path) { Module().SetFile(std::move(path)); }

void UsePictureCodec(const PictureCodec* codec) { Module().Use(codec); }

const PictureCodec* LoadedPictureCodec() { return Module().Get(); }

} // namespace tvn
