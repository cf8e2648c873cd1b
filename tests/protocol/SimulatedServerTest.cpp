// How the simulated server judges what the component asks for, through the
// component's own openings: the statuses a user rehearsing with
// `xmodemq simulate` sees.
#include "ProtocolRig.h"

namespace xmodemquarvel::testing {
namespace {

TEST(SimulatedServer, JudgesWhatTheComponentAsks) {
  // User, password, file, local blocks (-1: a send), the status answered.
  // clang-format off
  const std::tuple<const char*, const char*, const char*, int, int> cases[] = {
      {"alice", "pw", "new.dat", -1, 0}, {"bob", "pw", "new.dat", -1, 2}, {"alice", "bad", "new.dat", -1, 3},
      {"alice", "pw", "file.txt", 0, 0}, {"alice", "pw", "file.txt", 3, 0},  // resume inside the file
      {"alice", "pw", "file.txt", 5, 5},                                     // resume beyond it
      {"alice", "pw", "none.txt", 0, 6}};
  // clang-format on
  for (const auto& [user, password, file, local, status] : cases) {
    ServerRig rig;
    rig.server->Script().users = {{"alice", "pw"}};
    rig.server->PutFile("file", Pattern(128 * 4));
    const std::string path = rig.dir / file;
    if (local >= 0) WriteFile(path, Pattern(128 * static_cast<std::size_t>(local)));
    if (local < 0) WriteFile(path, Pattern(128));
    const ReturnValues result = local < 0 ? rig.module->SendFile(user, password, path, "0")
                                          : rig.module->ReceiveFile(user, password, path, "0");
    EXPECT_EQ(result, status == 0 ? rvTrue : rvRefuse) << user << " " << file << " " << local;
    EXPECT_EQ(rig.module->ErrorDescription(), status == 0 ? "" : kRefused + std::to_string(status));
  }
}

}  // namespace
}  // namespace xmodemquarvel::testing
