#pragma once

#include <cstdint>
#include <string>

#include "platform/LineSettings.h"

namespace xmodemquarvel {

// The refusals that every serial port makes alike, each with the serial
// layer's own French text, as a SerialPortError.
[[noreturn]] void FailPort(int err, const std::string& message);
// The port cannot be changed while it is open.
void RefuseSelectionWhileOpen(bool open);
// Port numbers run from 1 to 255.
void RefuseBadPortNumber(int32_t port);
void RefuseEmptyDevice(const std::string& path);
LineSettings ParseSettingsOrRefuse(const std::string& text);
// Input, output and the modem lines need an open port.
void RefuseUnlessOpen(bool open);

}  // namespace xmodemquarvel
