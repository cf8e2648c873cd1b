#pragma once

// Symbols are hidden by default; the public surface is exported on purpose.
#if defined(XMODEMQUARVEL_BUILDING) || !defined(XMODEMQUARVEL_STATIC)
#define XMODEMQUARVEL_API __attribute__((visibility("default")))
#else
#define XMODEMQUARVEL_API
#endif
