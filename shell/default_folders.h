#pragma once

#include <string>

namespace tvn {

// The program folder of the shared documents: "Tarvolin" in DocumentBaseFolder(). This is
// what `uninstall` deletes.
std::string ProgramDocumentFolder();

// The default shared root: the program folder followed by "htdocs" (kDefaultRootName). This is
// what `install` creates and what `Root` defaults to.
std::string DefaultDocumentFolder();

} // namespace tvn
