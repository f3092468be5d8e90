#pragma once

#include <string>

namespace tvn {

// Plays the sound file at `path` without waiting for it; an empty path, or a file that is
// not there or cannot be played, rings the desktop's "message-new-instant" event sound
// instead. Failures are ignored, and silent: without a sound device none of the sound
// library's complaints reach the program's output, and without the sound library (it is
// loaded with the first sound) nothing plays. Safe from any thread; returns at once,
// as the sound driver is opened and asked to play on a worker thread. A call made while an
// earlier one is still being started is dropped: a burst of notifications rings once.
void PlaySoundFileAsync(const std::string& path);

// The file name the sound library is loaded by with the first sound ("libcanberra.so.0");
// a call after that changes nothing. `fileName` must stay valid for the program's life.
void SetSoundLibraryName(const char* fileName);

} // namespace tvn
