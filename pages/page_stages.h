#pragma once

#include "http/content_stages.h"
#include "pages/page_settings.h"

namespace tvn {

// The content stages of the pages subsystem, handed to the server document at start. They
// own the pages' settings, which their handlers use.
class CPageStages : public IContentStages {
  public:
    bool CopyThumbnail(std::string_view url, std::string& jpeg, std::string& picture) override;
    StageResult SendFolderListing(CRequestContext& context) override;
    StageResult HandleFile(CRequestContext& context) override;
    StageResult WrapPage(CRequestContext& context) override;

    CPageSettings& Settings() { return settings; }

  private:
    CPageSettings settings;
};

} // namespace tvn
