#pragma once

#include <QIcon>
#include <QPixmap>

namespace tvn::ui {

// The pictures of the tray menu and the windows, 16 pixels wide each, side by side in one
// strip: 0 the program, 1 Enable, 2 Open, 3 Exit, 4 About, 5 Help, 6 More.
inline constexpr int kPictureSize = 16;
inline constexpr int kPictureCount = 7;
inline constexpr int kPictureProgram = 0;
inline constexpr int kPictureEnable = 1;
inline constexpr int kPictureAbout = 4;
inline constexpr int kPictureHelp = 5;
inline constexpr int kPictureMore = 6;

// The strip, drawn once on first use (kPictureCount * 16 by 16 pixels, transparent
// background).
const QPixmap& PictureStrip();

// Picture `index` of the strip; a null icon for an index outside it (an item without one).
QIcon StripPicture(int index);

// The program's icon at 16, 32 and 64 pixels, for the tray and the window frames.
QIcon ProgramIcon();

} // namespace tvn::ui
