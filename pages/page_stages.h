#pragma once

#include "http/content_stages.h"

namespace tvn {

// The content stages of the pages subsystem, handed to the server document at start.
class CPageStages : public IContentStages {
  public:
    bool FindThumbnail(std::string_view url, std::size_t& size) override;
    bool ReadThumbnail(std::string_view url, char* buffer, std::size_t size) override;
    void SendFolderListing(CRequestContext& context) override;
    bool HandlePageFile(CRequestContext& context) override;
    bool HandleScreenShot(CRequestContext& context) override;
    bool WrapPage(CRequestContext& context) override;
};

} // namespace tvn
