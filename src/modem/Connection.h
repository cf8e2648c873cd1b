#pragma once

#include <cstdint>
#include <string>

#include "component/HostForm.h"
#include "component/HostLoop.h"
#include "component/SharedFields.h"
#include "component/WaitTimer.h"
#include "modem/CommandDialogue.h"
#include "modem/ErrorEvent.h"
#include "modem/HangUp.h"
#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/SerialPort.h"

namespace xmodemquarvel::modem {

// The call: Connect opens the port, resets and initialises the modem and
// dials the server; Disconnect drops DTR and closes the port; EndAborted is
// the hang-up of an operation that an abort request ended.
class Connection final : public HangUp {
 public:
  Connection(SerialPort& modem, HostLoop& loop, WaitTimer& wait, HostForm& trace,
             SharedFields& fields, CommandDialogue& dialogue, ErrorEvent& error_event)
      : Modem(modem),
        loop_(loop),
        wait_(wait),
        trace_(trace),
        f_(fields),
        dialogue_(dialogue),
        error_event_(error_event) {}

  // Command mode, or connected once a dial has answered "CONNECT".
  ModemModeValues ModemMode = mmvCommande;

  ReturnValues Connect(int32_t Tentatives, const std::string& Prefixe,
                       const std::string& InitString);
  void Disconnect() override;
  // Hangs up as Disconnect does, without letting the line stretch it, and
  // ends the operation with rvFalse and "Opération interrompue".
  ReturnValues EndAborted();

 private:
  SerialPort& Modem;
  HostLoop& loop_;
  WaitTimer& wait_;
  HostForm& trace_;
  SharedFields& f_;
  CommandDialogue& dialogue_;
  ErrorEvent& error_event_;
};

}  // namespace xmodemquarvel::modem
