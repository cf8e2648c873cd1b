#pragma once

#include <cstdint>

namespace xmodemquarvel {

// Result of Connect, SendFile, ReceiveFile and of the steps below them.
enum ReturnValues : int32_t {
  rvFalse = 0,
  rvTrue = 1,
  rvTimer = 2,
  rvCTS = 3,
  rvRefuse = 4,
};

// The server's verdict on an opening record.
enum StatusValues : int32_t {
  svAccept = 0,
  svFalseProtocol = 1,
  svFalseUser = 2,
  svFalsePassWord = 3,
  svFalseSens = 4,
  svFalseReprise = 5,
  svFileNotExists = 6,
  svAlreadyTransmited = 7,
  svFalseQualification = 8,
};

// The modem's state as the object records it.
enum ModemModeValues : int32_t {
  mmvCommande = 0,
  mmvConnecté = 1,
};

}  // namespace xmodemquarvel
