// Connect: open the port, reset and initialise the modem, dial the server.
// Disconnect: drop DTR and close the port.
// EndAborted: the hang-up after an abort request.
#include "modem/Connection.h"

#include "modem/ServerNumber.h"

namespace xmodemquarvel::modem {

ReturnValues Connection::Connect(int32_t Tentatives, const std::string& Prefixe,
                                 const std::string& InitString) {
  dialogue_.AttemptLimit = Tentatives > 0 ? Tentatives : 1;
  ErrorRecord& record = f_.Error();
  record.Clear();
  try {
    ModemMode = mmvCommande;
    record.Source = "Xmodem: Connect";
    trace_.ClearText();
    Modem.Break(false);
    Modem.PortOpen(true);
    Modem.InBufferCount(0);
    Modem.RThreshold(0);
    Modem.InputLen(1);
    Modem.DTREnable(true);

    if (dialogue_.SendCommand("ATZ", "OK", 2000) != rvTrue) {
      record.Description = "ATZ - " + record.Description;
    } else {
      wait_.Pause(1000);
      if (!InitString.empty() && dialogue_.SendCommand(InitString, "OK", 2000) != rvTrue) {
        // The port stays open: the host may try another string.
        record.Description = "Erreur dans la chaine d'initialisation " + InitString;
        return f_.Result;
      }
      f_.TxBuffer = Prefixe.empty() ? "ATDT" + std::string(kServerNumber)
                                    : "ATDT" + Prefixe + "," + std::string(kServerNumber);
      if (dialogue_.SendCommand(f_.TxBuffer, "CONNECT", 60000) == rvTrue) {
        ModemMode = mmvConnecté;
        return rvTrue;
      }
    }
    Modem.PortOpen(false);
    ModemMode = mmvCommande;
    return f_.Result;
  } catch (const SerialPortError& e) {
    // The port is left as the failure found it.
    ModemMode = mmvCommande;
    record.Source = kSerialLayerSource;
    record.Description = e.Message();
    record.Number = e.code().value();
    error_event_.RaiseError("Connexion impossible");
    record.Clear();
    f_.Result = rvFalse;
    return rvFalse;
  }
}

void Connection::Disconnect() {
  // Dropping DTR is the only means of hanging up: no escape sequence is sent.
  if (Modem.PortOpen()) {
    Modem.DTREnable(false);
    wait_.Pause(500);
    Modem.PortOpen(false);
  }
  ModemMode = mmvCommande;
  wait_.Pause(1000);
}

// The hang-up is Disconnect's, with its pauses, and cannot be aborted in turn.
// A failure of the port meanwhile is not reported: the operation ends aborted
// all the same, and the port is closed if it can be.
ReturnValues Connection::EndAborted() {
  // The port's own waits give up at once meanwhile: a line that does not take
  // the hang-up's bytes cannot stretch it.
  struct HangingUp {
    explicit HangingUp(HostLoop& loop_) : loop(loop_) { loop.HangingUp(true); }
    ~HangingUp() { loop.HangingUp(false); }
    HostLoop& loop;
  } hanging_up(loop_);
  try {
    Disconnect();
  } catch (const SerialPortError&) {
    try {
      Modem.PortOpen(false);
    } catch (const SerialPortError&) {
    }
    ModemMode = mmvCommande;
  }
  f_.Error().Description = "Opération interrompue";
  f_.Result = rvFalse;
  return f_.Result;
}

}  // namespace xmodemquarvel::modem
