#pragma once

namespace xmodemquarvel::protocol {

// What the transfers get of the object to tell the host how they go: its
// events alone. `sens` is 'E' for a send, 'R' for a receive.
class TransferEvents {
 public:
  // A data block went (acknowledged) or came (written): BlocSended or
  // BlocReceived with the block counter, while tracing is on.
  virtual void BlockMoved(char sens) = 0;
  // The server accepted the transfer, before the first data frame:
  // TransferAccepted. Throws to end the transfer there (an abort request).
  virtual void Accepted(char sens) = 0;

 protected:
  ~TransferEvents() = default;
};

}  // namespace xmodemquarvel::protocol
