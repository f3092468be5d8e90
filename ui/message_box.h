#pragma once

#include <string>

namespace tvn::ui {

// Shows `text` in an error message box captioned "Tarvolin".
void ShowErrorBox(const std::string& text);
// Asks a Yes/No question; true for Yes.
bool AskYesNoBox(const std::string& text, const std::string& caption);

} // namespace tvn::ui
