#pragma once

/// @file
/// Which declarations the shared library exports.

// Symbols are hidden by default; the public surface is exported on purpose.
#if defined(XMODEMQUARVEL_BUILDING) || !defined(XMODEMQUARVEL_STATIC)
/// Marks a declaration exported from the shared library. A host linking the
/// static library may define XMODEMQUARVEL_STATIC.
#define XMODEMQUARVEL_API __attribute__((visibility("default")))
#else
#define XMODEMQUARVEL_API
#endif
