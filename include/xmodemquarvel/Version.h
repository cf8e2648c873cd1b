#pragma once

#define XMODEMQUARVEL_VERSION_MAJOR 1
#define XMODEMQUARVEL_VERSION_MINOR 0
#define XMODEMQUARVEL_VERSION_PATCH 0
#define XMODEMQUARVEL_VERSION_STRING "1.0.0"

namespace xmodemquarvel {
// Library title as hosts see it.
inline constexpr const char* kLibraryTitle = "Protocole Xmodem CNAMTS - Version Quarvel";
}  // namespace xmodemquarvel
