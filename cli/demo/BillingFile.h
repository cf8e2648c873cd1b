#pragma once

#include <string>

namespace xmodemq {

// A billing-style file as the demo sends it: fixed-width records of kRecord
// characters (126 of digits and spaces, then CR LF), the same for a seed.
std::string BillingFile(int records, unsigned seed);

}  // namespace xmodemq
