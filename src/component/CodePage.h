#pragma once

// The conversions between UTF-8 and the line's code page, Utf8ToCp1252 and
// Cp1252ToUtf8, are public: hosts check their texts with them.
#include "xmodemquarvel/LineText.h"
