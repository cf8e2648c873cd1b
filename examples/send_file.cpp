// Sends one file to the server through a modem, the way a billing program
// would: connect, send, hang up, and report what the component said.
//
//   XMODEMQ_PASSWORD=... send_file /dev/ttyUSB0 USER01 FACT0001.DAT

#include <cstdlib>
#include <iostream>
#include <string>

#include <xmodemquarvel/xmodemquarvel.h>

int main(int argc, char** argv) {
  using namespace xmodemquarvel;
  if (argc != 4) {
    std::cerr << "usage: send_file DEVICE USER FILE (password in XMODEMQ_PASSWORD)\n";
    return 2;
  }
  const char* password = std::getenv("XMODEMQ_PASSWORD");
  if (password == nullptr) {
    std::cerr << "XMODEMQ_PASSWORD is not set\n";
    return 2;
  }

  ModuleXmodem modem;  // POSIX serial port, monotonic clock
  bool refused = false;
  modem.Error = [&refused](std::string& text) {
    std::cerr << text << "\n";
    refused = true;
  };
  modem.Device(argv[1]);
  modem.Settings("9600,N,8,1");
  if (refused) return 2;

  // Progress: one event per acknowledged 128-byte block while Trace is on.
  modem.Trace(true);
  modem.BlocSended = [](int32_t& block) { std::cerr << "\rbloc " << block << std::flush; };

  if (modem.Connect(3) != rvTrue) {
    std::cerr << modem.ErrorSource() << ": " << modem.ErrorDescription() << "\n";
    modem.Disconnect();
    return 1;
  }
  const ReturnValues sent = modem.SendFile(argv[2], password, argv[3], "0");
  std::cerr << "\n";
  if (sent != rvTrue) std::cerr << modem.ErrorSource() << ": " << modem.ErrorDescription() << "\n";
  modem.Disconnect();
  // rvFalse is 0, which a shell would read as success.
  if (sent == rvTrue) return 0;
  return sent == rvFalse ? 1 : static_cast<int>(sent);
}
