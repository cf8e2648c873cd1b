// Any bytes as the opening record that a client sends the simulated server,
// its control part made valid so that every field is read, with the server's
// files in a folder: the server judges it with a status and answers; a name
// that no file may have (empty, hidden, a path, a NUL or another control
// byte) is refused, and nothing appears beside the store's folder.
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"
#include "protocol/OpeningRecord.h"
#include "support/SimulatedWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace xmodemquarvel;
  namespace fs = std::filesystem;
  std::string record(reinterpret_cast<const char*>(data), size < 128 ? size : 128);
  record.resize(128, ' ');
  protocol::ApplyControlPart(record);
  testing::SimulatedLine line;
  line.AddServer();
  const fs::path store = line.dir / "store";
  fs::create_directories(store);
  const int folder = ::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) std::abort();
  line.server->UseFolder(folder);
  ::close(folder);
  line.server->PutFile("FACT0001", sim::Pattern(128 * 3));
  line.port->AttachPeer(line.server.get());
  line.port->PortOpen(true);
  line.port->InputLen(1);
  line.server->Start();
  line.server->OnHostBytes(protocol::BuildFrame(0, record) + '\r');
  const auto& transfers = line.server->Transfers();
  if (transfers.size() > 1) std::abort();
  if (!transfers.empty() && transfers[0].status == 0) {
    const std::string& name = transfers[0].base_name;
    if (name.empty() || name[0] == '.' || name.find_first_of("/\\") != std::string::npos)
      std::abort();
    for (const char c : name)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  }
  for (const auto& entry : fs::directory_iterator(line.dir.path()))
    if (entry.path() != store) std::abort();
  line.port->AttachPeer(nullptr);
  return 0;
}
