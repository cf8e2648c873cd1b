#pragma once

#include <string>

namespace xmodemquarvel::protocol {

// Takes one byte of an answer into `rx`, by the rules that depend on what `rx`
// already holds: only SOH, EOT, ACK or NAK start an answer; a control answer is
// complete on its CR, which is not kept; a frame takes any byte up to its
// 132nd and is complete, with 133 bytes, on a CR; other bytes are dropped.
// Returns true when the answer is complete. Does no I/O, so the component and
// the simulated server collect the same way.
bool CollectAnswerByte(std::string& rx, char c);

}  // namespace xmodemquarvel::protocol
