#pragma once

#include <netdb.h>

#include <memory>
#include <string>

#include "platform/PortWait.h"

namespace xmodemquarvel {

// The addresses of a TCP service, freed with the list.
using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

// The addresses of `host`:`port`. A numeric address is read at once; a name
// is resolved on a thread of its own, because the system's resolver cannot be
// interrupted and may take its time: the caller waits for it through `wait`,
// so the host's yield runs and an abort ends the wait at once (the lookup then
// finishes alone and is forgotten). Refuses with a SerialPortError when the
// name is unknown or the resolver has not answered by `deadline`.
AddressList ResolveTcp(const std::string& host, const std::string& port, PortWait& wait,
                       Clock::TimePoint deadline);

}  // namespace xmodemquarvel
