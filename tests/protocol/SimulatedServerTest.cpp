// How the simulated server judges what the component asks for, through the
// component's own openings: the statuses a user rehearsing with
// `xmodemq simulate` sees.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// With resume_sends, a send resumes after the blocks of a send that did not
// end, and only those: one whose end arrived was taken in, and the next send
// of that name starts from its first block. In a folder, every server on it
// tells a file taken in (0400) from the blocks of a send that did not end.
TEST(SimulatedServer, ResumesOnlyASendThatDidNotEnd) {
  for (const bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "folder" : "memory");
    ServerRig first, other;
    ServerRig& second = folder ? other : first;
    const std::string store = first.dir / "store";
    ::mkdir(store.c_str(), 0700);
    const int fd = ::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    if (folder) {
      first.server->UseFolder(fd);
      second.server->UseFolder(fd);
    }
    ::close(fd);
    first.server->Script().resume_sends = second.server->Script().resume_sends = true;
    first.server->PutFile("f", Pattern(128 * 3));
    EXPECT_EQ(second.server->Held("f"), 3);
    const std::string v1 = Pattern(128 * 10), v2 = Pattern(128 * 6, 9);
    EXPECT_EQ(first.Send("f.dat", v1), rvTrue);
    EXPECT_EQ(first.accepted.back().substr(0, 3), "E3 ");
    EXPECT_EQ(second.server->Held("f"), 0) << "taken in";
    EXPECT_EQ(second.server->File("f"), v1);
    EXPECT_EQ(second.Send("f.dat", v2), rvTrue);
    EXPECT_EQ(second.accepted.back().substr(0, 3), "E0 ");
    EXPECT_EQ(first.server->File("f"), v2);
    if (folder) {
      struct stat st {};
      ASSERT_EQ(::stat((store + "/f").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0400u);
    }
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
