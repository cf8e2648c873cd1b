#pragma once

#include <string>

namespace xmodemq {

// What the server's refusal statuses mean ("mot de passe erroné" for 3), from
// 1 to 8; empty for any other status.
std::string RefusalMeaning(int status);

// A description with its refusal decoded: "Transfert refusé, status 3"
// becomes "Transfert refusé : mot de passe erroné (status 3)". Any other
// text, or an unknown status, is returned as it is. The journal stores and
// shows this form.
std::string DecodedRefusal(const std::string& description);

}  // namespace xmodemq
