// How the simulated server judges what the component asks for, through the
// component's own openings: the statuses a user rehearsing with
// `xmodemq simulate` sees.
#include "ProtocolRig.h"
#include "protocol/ControlDigits.h"
#include "protocol/OpeningRecord.h"

namespace xmodemquarvel::testing {
namespace {

TEST(SimulatedServer, JudgesWhatTheComponentAsks) {
  // User, password, file, local blocks (-1: a send), the status answered.
  // clang-format off
  const std::tuple<const char*, const char*, const char*, int, int> cases[] = {
      {"alice", "pw", "new.dat", -1, 0}, {"bob", "pw", "new.dat", -1, 2}, {"alice", "bad", "new.dat", -1, 3},
      {"alice", "pw", "file.txt", 0, 0}, {"alice", "pw", "file.txt", 3, 0},  // resume inside the file
      {"alice", "pw", "file.txt", 5, 5},                                     // resume beyond it
      {"alice", "pw", "none.txt", 0, 6},
      // A hidden name is never stored nor served, even when the server holds it.
      {"alice", "pw", ".profile.x", -1, 8}, {"alice", "pw", ".hidden.txt", 0, 6}};
  // clang-format on
  for (const auto& [user, password, file, local, status] : cases) {
    ServerRig rig;
    rig.server->Script().users = {{"alice", "pw"}};
    rig.server->PutFile("file", Pattern(128 * 4));
    rig.server->PutFile(".hidden", Pattern(128 * 4));
    const std::string path = rig.dir / file;
    WriteFile(path, Pattern(128 * static_cast<std::size_t>(local < 0 ? 0 : local)));
    const ReturnValues result = local < 0 ? rig.module->SendFile(user, password, path, "0")
                                          : rig.module->ReceiveFile(user, password, path, "0");
    EXPECT_EQ(result, status == 0 ? rvTrue : rvRefuse) << user << " " << file << " " << local;
    EXPECT_EQ(rig.module->ErrorDescription(), status == 0 ? "" : kRefused + std::to_string(status));
    EXPECT_EQ(rig.accepted.size(), status == 0 ? 1u : 0u) << "a refusal is no acceptance";
  }
}

// A name that holds a path or a byte no file name holds (a NUL, a control
// character), which only another client can put in the record, is refused whatever status the
// server is told to answer: a send is a wrong qualification (8), a receive a file that does not
// exist (6).
TEST(SimulatedServer, RefusesANameThatHoldsAPath) {
  ServerRig sent;
  ASSERT_EQ(sent.Send("x.dat", Pattern(128)), rvTrue);
  for (const std::string& name : std::initializer_list<std::string>{
           "../x", "a/b", "..\\x", "sub\\x", std::string("\0X", 2), "A\x01B", "A\x1b[2J"}) {
    for (const char sens : {'E', 'R'}) {
      SCOPED_TRACE(std::string(name) + " " + sens);
      std::string record = sent.server->Transfers().back().record;
      record.replace(84, 17, (name + std::string(17, ' ')).substr(0, 17));
      record[OpeningRecord::kStatusAt + 1] = sens;
      protocol::ApplyControlPart(record);
      ServerRig rig;
      rig.server->Script().status = 0;
      rig.server->PutFile(name, Pattern(128));
      rig.server->OnHostBytes(LineFrame(0, record));
      EXPECT_EQ(rig.server->Transfers().at(0).status, sens == 'E' ? 8 : 6);
    }
  }
}

}  // namespace
}  // namespace xmodemquarvel::testing
