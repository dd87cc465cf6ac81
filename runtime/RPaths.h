// Per-user folders of the program. The application-data folder is $XDG_DATA_HOME, or
// ~/.local/share when that is unset; the program's files live under "palvor/" in it.
#pragma once

#include <filesystem>

namespace DUve {

// The per-user application-data folder; empty when it cannot be determined.
std::filesystem::path AppDataFolder();

// AppDataFolder()/palvor/<sub> (relative "<sub>" when the data folder is unknown).
std::filesystem::path PalvorFolder(const std::filesystem::path& sub);

// Creates every missing folder of `folder`; false when that fails.
bool EnsureFolder(const std::filesystem::path& folder);

}  // namespace DUve
