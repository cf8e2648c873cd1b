#pragma once

// ByteSink, where the packer and the unpacker hand their output, is public:
// hosts give their own to PackStream and UnpackStream.
#include "xmodemquarvel/Packing.h"
