#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "xmodemquarvel/Enums.h"
#include "xmodemquarvel/Export.h"
#include "xmodemquarvel/HostOptions.h"

namespace xmodemquarvel {

// File exchange with the remote server through a Hayes modem, and the
// component's packed file format. All texts are UTF-8; what goes on the line is
// converted to the single-byte code page Windows-1252.
//
// Every member runs on the caller's thread and returns when its work is done;
// during every wait the host's `yield` callback runs, and so may the events.
//
// Where this object departs from the component it replaces:
// - Destroying it closes the serial port, if open, and so hangs up the modem
//   (the port drops DTR on close). The original left the port open; a host
//   still calls Disconnect first for the orderly hang-up.
// - Connect, SendFile, ReceiveFile, PackFile and UnPackFile started from an
//   event handler or the yield callback while one of them runs on the same
//   object throw std::logic_error instead of corrupting the running one.
//   Disconnect stays callable from a handler: it breaks off a transfer, which
//   then fails on its next use of the closed port.
// - Each object has its own trace window state (caption, text, visibility)
//   and its own timer; the error record is shared by the objects of a thread.
class XMODEMQUARVEL_API ModuleXmodem {
 public:
  ModuleXmodem();
  explicit ModuleXmodem(HostOptions options);
  // Closes the port if it is open (the modem hangs up), without Disconnect's
  // pauses.
  ~ModuleXmodem();
  ModuleXmodem(const ModuleXmodem&) = delete;
  ModuleXmodem& operator=(const ModuleXmodem&) = delete;

  // Properties, in interface order.
  std::string ErrorSource() const;
  std::string ErrorDescription() const;
  void Visible(bool NewValue);
  bool Visible() const;
  void Trace(bool NewValue);
  void CommPort(int32_t NewPort);
  void Settings(const std::string& NewSettings);
  std::string DataType() const;
  void DataType(const std::string& NewValue);

  // Methods, in interface order.
  void PackFile(const std::string& FileSource, const std::string& FilePacked);
  void UnPackFile(const std::string& FileSource, const std::string& FileUnpacked);
  ReturnValues Connect(int32_t Tentatives, const std::string& Prefixe = "",
                       const std::string& InitString = "");
  void Disconnect();
  ReturnValues SendFile(const std::string& UserId, const std::string& PSW,
                        const std::string& FileName, const std::string& PackType);
  ReturnValues ReceiveFile(const std::string& UserId, const std::string& PSW,
                           const std::string& FileName, const std::string& PackType);

  // Extensions for hosts without a window.
  // Selects the serial device by path (/dev/ttyUSB0, a pseudo-terminal...),
  // or a line on a terminal server by "rfc2217://HOST:PORT", with
  // "?nomodemlines" after it when that line has no CTS and CD to report (they
  // are then taken as held). Refused and reported like CommPort.
  void Device(const std::string& Path);
  // The trace window's caption and text.
  std::string Caption() const;
  std::string TraceText() const;

  // Events, raised synchronously on the caller's thread; the argument is passed
  // by reference.
  std::function<void(std::string& Description)> Error;
  std::function<void(int32_t& NumBloc)> BlocPacked;
  std::function<void(int32_t& NumBloc)> BlocUnpacked;
  std::function<void(int32_t& NumBloc)> BlocSended;
  std::function<void(int32_t& NumBloc)> BlocReceived;
  // Extension: each piece of text appended to the trace window, as it comes.
  std::function<void(const std::string& Text)> TraceAppended;

  struct Impl;

 private:
  // Lets white-box tests look at the object's private fields.
  friend struct ModuleXmodemInspector;

  std::unique_ptr<Impl> impl_;
};

}  // namespace xmodemquarvel
