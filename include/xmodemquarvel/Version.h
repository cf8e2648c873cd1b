#pragma once

/// @file
/// The library's version, for C and C++ hosts: the one place it is written
/// (the build reads it from here). These macros say which version a host was
/// compiled against; xq_version() and xq_version_number() say which library
/// it runs with.

/// Major version: changes when the binary interface breaks; it is the shared
/// library's (libxmodemquarvel.so.MAJOR).
#define XMODEMQUARVEL_VERSION_MAJOR 2
/// Minor version: changes when the interfaces grow.
#define XMODEMQUARVEL_VERSION_MINOR 0
/// Patch version.
#define XMODEMQUARVEL_VERSION_PATCH 0
/// "MAJOR.MINOR.PATCH".
#define XMODEMQUARVEL_VERSION_STRING "2.0.0"

#ifdef __cplusplus
namespace xmodemquarvel {
/// Library title as hosts see it.
inline constexpr const char* kLibraryTitle = "Protocole Xmodem CNAMTS - Version Quarvel";
}  // namespace xmodemquarvel
#endif
