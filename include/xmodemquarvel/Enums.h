#pragma once

#include <cstdint>

/// @file
/// The component's three enums. Their values never change: hosts store them,
/// compare them and pass them across the C interface as plain numbers.

namespace xmodemquarvel {

/// Result of Connect, SendFile, ReceiveFile and of the steps below them.
enum ReturnValues : int32_t {
  rvFalse = 0,   ///< failure: no answer, ten attempts, a wrong count, an abort...
  rvTrue = 1,    ///< success
  rvTimer = 2,   ///< a modem answer timed out (never returned by a public member)
  rvCTS = 3,     ///< line or modem fault: CTS low, carrier lost, "ERROR", no dial tone
  rvRefuse = 4,  ///< the server refused the transfer
};

/// The server's verdict on an opening record ("Transfert refusé, status N").
enum StatusValues : int32_t {
  svAccept = 0,              ///< accepted
  svFalseProtocol = 1,       ///< protocol version refused
  svFalseUser = 2,           ///< unknown user
  svFalsePassWord = 3,       ///< wrong password
  svFalseSens = 4,           ///< direction refused
  svFalseReprise = 5,        ///< resume position refused
  svFileNotExists = 6,       ///< no such file on the server
  svAlreadyTransmited = 7,   ///< the file was already sent
  svFalseQualification = 8,  ///< qualification refused
};

/// The modem's state as the object records it.
enum ModemModeValues : int32_t {
  mmvCommande = 0,  ///< command mode
  mmvConnecté = 1,  ///< connected to the server
};

}  // namespace xmodemquarvel
