#pragma once

/// @file
/// The whole C++ interface in one include.

#include "xmodemquarvel/Clock.h"
#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/HostOptions.h"
#include "xmodemquarvel/ModuleXmodem.h"
#include "xmodemquarvel/SerialPort.h"
#include "xmodemquarvel/Version.h"
#include "xmodemquarvel/WaitState.h"
