#include "shell/default_folders.h"

#include "platform/resources.h"
#include "platform/system_paths.h"

namespace tvn {

std::string ProgramDocumentFolder() { return JoinPath(DocumentBaseFolder(), "Tarvolin"); }

std::string DefaultDocumentFolder() {
    return JoinPath(ProgramDocumentFolder(), LoadString(StringId::kDefaultRootName));
}

} // namespace tvn
