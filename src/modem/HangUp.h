#pragma once

namespace xmodemquarvel::modem {

// What a layer that has to drop the line (a failed exchange with the server)
// gets of the connection: the hang-up alone.
class HangUp {
 public:
  virtual void Disconnect() = 0;

 protected:
  ~HangUp() = default;
};

}  // namespace xmodemquarvel::modem
