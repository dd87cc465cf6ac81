#include "runtime/RPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace DUve {

std::filesystem::path AppDataFolder() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg);
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || !*home) return {};
    return std::filesystem::path(home) / ".local" / "share";
}

std::filesystem::path PalvorFolder(const std::filesystem::path& sub) {
    const auto base = AppDataFolder();
    return base.empty() ? sub : base / "palvor" / sub;
}

bool EnsureFolder(const std::filesystem::path& folder) {
    if (folder.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return !ec && std::filesystem::is_directory(folder, ec);
}

}  // namespace DUve
