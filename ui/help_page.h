#pragma once

#include <string>

namespace tvn::ui {

// The help page of the program, compiled in.
const std::string& HelpPageText();

// Writes the help page into `folder` (made when missing, mode 0700) as "tarvolin-help.html"
// and returns its file:// URL; empty when it cannot be written.
std::string WriteHelpPage(const std::string& folder);

// The help page's URL in this user's runtime folder (the temporary folder without one).
std::string HelpPageUrl();

// The link of command "More": the URL= line of the internet shortcut `More.url` in
// `folder` (the program folder); empty when there is none.
std::string MoreLink(const std::string& folder);

} // namespace tvn::ui
