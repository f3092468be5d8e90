#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tvn {

// One file of the demo site: its path relative to the shared root ('/' separators) and the
// bytes to write there.
struct DemoEntry {
    std::string path;
    std::string_view bytes;
};

// The demo site as compiled into the program, in writing order: the demo files ("BINDAT")
// that exist and are not empty, then for each template folder its ".dir" and ".file"
// ("CONTENT"). Missing resources are left out.
std::vector<DemoEntry> DemoSiteEntries();

// Writes the demo site below `root` (installed once per program version).
void CreateDemoSite(const std::string& root);

// Writes `entries` in order below `root` with WriteDemoFile.
void WriteDemoSite(const std::string& root, const std::vector<DemoEntry>& entries);

// Writes one demo file, creating its folders. An existing file of the same length is kept
// (the user's copy wins); one of another length is first renamed to the first free
// PrevEditionName, so no earlier backup is ever replaced. Errors are swallowed: the demo
// site is a courtesy, and a file that cannot be set aside is left as it is rather than
// overwritten. The new file appears whole or not at all; when it cannot be written after
// the user's edition was set aside, the edition stays in its backup and the demo file is
// missing until the next update.
void WriteDemoFile(const std::string& target, std::string_view bytes);

// The backup name of `name`: " (PrevEdition)" before its extension ("index.html" gives
// "index (PrevEdition).html"), " (PrevEdition 2)" and so on for a `number` above 1; a name
// without extension, or a dot-file such as ".pass", gets it at the end, so the backup of a
// dot-file stays hidden.
std::string PrevEditionName(const std::string& name, int number = 1);

} // namespace tvn
