#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace xmodemquarvel {

// What is left of the trace window without a window: its caption, whether the
// host shows it, and the trace text that grows by appending.
//
// Each object has its own, so that two objects on one thread are independent:
// destroying one takes nothing from the other.
struct HostForm {
  static constexpr const char* kInitialCaption = "Trace Xmodem - Quarvel";

  std::string Caption = kInitialCaption;
  bool Visible = false;
  std::string Text;
  // Told of every piece appended, for hosts that show the trace live.
  std::function<void(const std::string&)>* listener = nullptr;

  void ClearText() { Text.clear(); }
  void Append(std::string_view piece) {
    Text.append(piece);
    if (listener != nullptr && *listener) (*listener)(std::string(piece));
  }
};

}  // namespace xmodemquarvel
