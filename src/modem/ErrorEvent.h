#pragma once

#include <string>

namespace xmodemquarvel::modem {

// What Connect gets of the object to tell the host that the serial port
// failed: the Error event alone.
class ErrorEvent {
 public:
  virtual void RaiseError(const std::string& description) = 0;

 protected:
  ~ErrorEvent() = default;
};

}  // namespace xmodemquarvel::modem
