#pragma once

/// @file
/// The library's version, for C and C++ hosts.

/// Major version: changes when the interfaces break.
#define XMODEMQUARVEL_VERSION_MAJOR 1
/// Minor version: changes when the interfaces grow.
#define XMODEMQUARVEL_VERSION_MINOR 0
/// Patch version.
#define XMODEMQUARVEL_VERSION_PATCH 0
/// "MAJOR.MINOR.PATCH".
#define XMODEMQUARVEL_VERSION_STRING "1.0.0"

#ifdef __cplusplus
namespace xmodemquarvel {
/// Library title as hosts see it.
inline constexpr const char* kLibraryTitle = "Protocole Xmodem CNAMTS - Version Quarvel";
}  // namespace xmodemquarvel
#endif
