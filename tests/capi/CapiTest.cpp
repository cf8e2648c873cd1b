// The C interface against the simulated modem and server on the virtual
// clock: statuses and messages of the failures the C++ interface throws, the
// error record as C hosts read it, out parameters, the version, the abort
// request, and the wait's state and the wake descriptor.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

#include "CWorld.h"
#include "modem/ServerNumber.h"

// Built as C without unwind tables: an exception that left the library
// through these frames would end the process.
extern "C" xq_status ThroughC_SendFile(xq_module* module, const char* file,
                                       xq_return_value* result);
extern "C" xq_status ThroughC_PackFile(xq_module* module, const char* source, const char* packed);

namespace xmodemquarvel {
namespace {

// Each row makes one call that the C++ interface would answer with an
// exception and checks the status and message the C host gets instead.
struct FailureCase {
  const char* name;
  std::function<xq_status(CWorld&, xq_return_value*)> call;  // its result, if any, in the second
  xq_status status;
  std::string message;      // "@" stands for the world's folder
  std::string source = "";  // of the error record, when the call sets it
  int error_number = 0;     // xq_last_errno()
  bool result = false;      // the call has a result, which must be XQ_RV_FALSE
};

const FailureCase kFailures[] = {
    {"PackFileOfAMissingSource",
     [](CWorld& w, auto) {
       const xq_status s = xq_pack_file(w.h, (w.dir / "absent").c_str(), (w.dir / "p").c_str());
       EXPECT_FALSE(fs::exists(w.dir / "p"));
       return s;
     },
     XQ_ERR_FILE, "Fichier introuvable : @/absent", "", ENOENT},
    {"UnPackFileWithACorruptEndBlock",
     [](CWorld& w, auto) {
       WriteFile(w.dir / "bad", Blocks(1, 'a') + std::string(128, '\xC8'));
       return xq_unpack_file(w.h, (w.dir / "bad").c_str(), (w.dir / "out").c_str());
     },
     XQ_ERR_FILE, "Argument ou appel de procédure incorrect", "", EINVAL},
    {"SendFileWithoutConnect",
     [](CWorld& w, auto r) { return xq_send_file(w.h, "PS0001", "mdp", "/dev/null", "0", r); },
     XQ_ERR_PORT, "Opération impossible : le port n'est pas ouvert", "Xmodem: SendFile", EBADF,
     true},
    {"PackFileOfAFolder",
     [](CWorld& w, auto) { return xq_pack_file(w.h, w.dir.path().c_str(), (w.dir / "p").c_str()); },
     XQ_ERR_FILE, "Impossible d'ouvrir @ : c'est un dossier", "", EISDIR},
    {"ReceiveThroughADescriptorWithoutItsName",
     [](CWorld& w, auto r) { return xq_receive_file_fd(w.h, "PS0001", "mdp", nullptr, "0", 2, r); },
     XQ_ERR_ARGUMENT, "Argument manquant : file_name", "", 0, true},
    {"AMissingArgument", [](CWorld& w, auto) { return xq_pack_file(w.h, "x", nullptr); },
     XQ_ERR_ARGUMENT, "Argument manquant : packed"},
    {"ACallbackThatThrows",
     [](CWorld& w, auto) {
       WriteFile(w.dir / "src", Blocks(3, 'a'));
       xq_set_trace(w.h, 1);
       xq_on_bloc_packed(
           w.h, [](void*, int32_t*) { throw std::runtime_error("panne de l'hôte"); }, nullptr);
       return ThroughC_PackFile(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str());
     },
     XQ_ERR_CALLBACK, "Exception dans une fonction de rappel : panne de l'hôte"},
};

class CapiFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CapiFailure, ComesBackAsAStatusWithItsFrenchMessage) {
  CWorld w;
  xq_return_value r = -1;
  EXPECT_EQ(GetParam().call(w, &r), GetParam().status);
  EXPECT_EQ(r, GetParam().result ? XQ_RV_FALSE : -1);
  std::string expected = GetParam().message;
  if (auto at = expected.find('@'); at != std::string::npos)
    expected.replace(at, 1, w.dir.path().string());
  EXPECT_EQ(xq_last_error(w.h), expected);
  EXPECT_EQ(xq_last_errno(w.h), GetParam().error_number);
  if (!GetParam().source.empty()) {
    EXPECT_EQ(w.Text(xq_error_source), GetParam().source);
  }
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// Every out parameter has a value on every status: the result XQ_RV_FALSE,
// a string "" of length 0, a flag 0, a handle NULL.
TEST(Capi, OutParametersAreWrittenOnEveryStatus) {
  CWorld w;
  // The result is written before anything is checked: here a missing user;
  // the other operations and statuses in ReentryTest and the failure table.
  xq_return_value r = -1;
  EXPECT_EQ(xq_send_file(w.h, nullptr, "p", "f", "0", &r), XQ_ERR_ARGUMENT);
  EXPECT_EQ(r, XQ_RV_FALSE);

  for (auto get : {xq_error_source, xq_error_description, xq_get_data_type, xq_get_caption,
                   xq_get_trace_text}) {
    const char* text = "unset";
    size_t length = 99;
    EXPECT_EQ(get(nullptr, &text, &length), XQ_ERR_ARGUMENT);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(length, 0u);
    length = 99;
    EXPECT_EQ(get(w.h, nullptr, &length), XQ_ERR_ARGUMENT);
    EXPECT_EQ(length, 0u);
  }
  for (auto get : {xq_get_visible, xq_port_open}) {
    int flag = 7;
    EXPECT_EQ(get(nullptr, &flag), XQ_ERR_ARGUMENT);
    EXPECT_EQ(flag, 0);
  }
  xq_wait_state wait{XQ_AWAIT_MODEM, 3, 4, 5, "x", "y"};
  EXPECT_EQ(xq_get_wait_state(nullptr, &wait), XQ_ERR_ARGUMENT);
  EXPECT_EQ(std::make_tuple(wait.awaiting, wait.attempt, wait.attempts, wait.remaining_ms,
                            std::string(wait.sent) + wait.expected),
            std::make_tuple(XQ_AWAIT_NOTHING, 0, 0, -1, ""));
  xq_module* made = reinterpret_cast<xq_module*>(&w);
  EXPECT_EQ(xq_create_hosted(nullptr, nullptr, 100, nullptr), XQ_ERR_ARGUMENT);
  EXPECT_EQ(xq_create(&made), XQ_OK);
  EXPECT_NE(made, nullptr);
  EXPECT_EQ(xq_destroy(made), XQ_OK);
}

// The number and the text that the library gives of its version agree
// (XQ_VERSION_NUMBER's rule); the package test holds them to the soname.
TEST(Capi, TheVersionNumberIsTheVersionText) {
  const int32_t number = xq_version_number();
  EXPECT_EQ(std::to_string(number / 10000) + "." + std::to_string(number / 100 % 100) + "." +
                std::to_string(number % 100),
            xq_version());
}

// A session as a C host reads it: the Visible flag, whether the port is open
// (for a clean close), and the error record after a refusal, a success, a
// refused initialisation string and a port that fails.
TEST(Capi, FlagsPortStateAndTheRecordThroughASession) {
  CWorld w;
  int flag = -1;
  for (const int set : {5, 0, -1}) {
    EXPECT_EQ(xq_set_visible(w.h, set), XQ_OK);
    EXPECT_EQ(xq_get_visible(w.h, &flag), XQ_OK);
    EXPECT_EQ(flag, set != 0 ? 1 : 0);
  }
  const auto open = [&] {
    flag = -1;
    EXPECT_EQ(xq_port_open(w.h, &flag), XQ_OK);
    return flag;
  };
  EXPECT_EQ(open(), 0);
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  EXPECT_EQ(open(), 1);
  WriteFile(w.dir / "F.TXT", Blocks(2, 'b'));
  for (const bool refused : {true, false}) {
    w.server->Script().status = refused ? std::optional<std::uint8_t>(6) : std::nullopt;
    EXPECT_EQ(w.Transfer(xq_send_file, w.dir / "F.TXT"), refused ? XQ_RV_REFUSE : XQ_RV_TRUE);
    EXPECT_EQ(w.Text(xq_error_source), "Xmodem: SendFile");
    EXPECT_EQ(w.Text(xq_error_description), refused ? "Transfert refusé, status 6" : "");
    EXPECT_EQ(w.Text(xq_get_data_type), "0");
    EXPECT_EQ(xq_last_errno(w.h), 0);
  }
  // Received back through a descriptor of the host's, which stays the host's.
  const int fd = ::open((w.dir / "copy").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  xq_return_value r = -1;
  ASSERT_EQ(xq_receive_file_fd(w.h, "PS0001", "mdp", "F.TXT", "0", fd, &r), XQ_OK);
  EXPECT_EQ(r, XQ_RV_TRUE);
  EXPECT_EQ(ReadFile(w.dir / "copy"), Blocks(2, 'b'));
  EXPECT_EQ(::close(fd), 0);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  EXPECT_EQ(open(), 0);
  // A refused initialisation string leaves the port open for another try.
  w.modem->Script().refused_commands.push_back("ATBAD");
  EXPECT_EQ(xq_connect(w.h, 0, nullptr, "ATBAD", &r), XQ_OK);
  EXPECT_NE(r, XQ_RV_TRUE);
  EXPECT_EQ(open(), 1);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  EXPECT_EQ(open(), 0);

  // The port fails: the Error callback learns why while the record holds it;
  // the record is empty on return, and the reason is the handle's.
  w.port->RefuseOpen(true);
  static std::string seen;
  xq_on_error(
      w.h,
      [](void* user, const char* text) {
        const char* why = nullptr;
        xq_error_description(static_cast<xq_module*>(user), &why, nullptr);
        seen = std::string(text) + " : " + why;
      },
      w.h);
  EXPECT_EQ(w.Connect(), XQ_RV_FALSE);
  EXPECT_EQ(seen, "Connexion impossible : Le port sim:COM1 est déjà utilisé");
  EXPECT_EQ(xq_last_error(w.h), seen);
  EXPECT_EQ(w.Text(xq_error_source) + w.Text(xq_error_description), "");
  // The handle held the clock; once freed, only the test does.
  EXPECT_EQ(xq_destroy(w.handle.release()), XQ_OK);
  EXPECT_EQ(w.clock.use_count(), 1);
}

// Each row stops an operation one way and checks how it ended.
enum class Op { kConnect, kSend, kReceive };
enum class Stop { kAbortFromHandler, kAbortFromYield, kHandlerThrows };
struct AbortCase {
  const char* name;
  Op op;
  Stop stop;
  xq_status status;
  const char* source;
};

// clang-format off
const AbortCase kAborts[] = {
    {"ConnectFromYield", Op::kConnect, Stop::kAbortFromYield, XQ_OK, "Xmodem: Connect"},
    {"SendFromHandler", Op::kSend, Stop::kAbortFromHandler, XQ_OK, "Xmodem: SendFile"},
    {"SendWhoseHandlerThrows", Op::kSend, Stop::kHandlerThrows, XQ_ERR_CALLBACK, "Xmodem: SendFile"},
    {"ReceiveFromHandler", Op::kReceive, Stop::kAbortFromHandler, XQ_OK, "Xmodem: ReceiveFile"},
    {"ReceiveFromYield", Op::kReceive, Stop::kAbortFromYield, XQ_OK, "Xmodem: ReceiveFile"},
};
// clang-format on

constexpr int kStopAfter = 5;

class CapiAbort : public ::testing::TestWithParam<AbortCase> {};

TEST_P(CapiAbort, EndsAtTheNextWaitHungUpAndAReceiveResumes) {
  const AbortCase& c = GetParam();
  CWorld w;
  const std::string content = Blocks(20, 'c');
  const fs::path local = w.dir / "FACT0001.TXT";
  if (c.op == Op::kReceive) {
    w.server->PutFile("FACT0001", content);
  } else {
    WriteFile(local, content);
  }

  bool stop_now = c.op == Op::kConnect;
  w.on_yield = [&] {
    if (stop_now && c.stop == Stop::kAbortFromYield) {
      EXPECT_EQ(xq_abort(w.h), XQ_OK);
    }
  };
  struct Context {
    xq_module* h;
    Stop stop;
    bool* stop_now;
    std::string accepted = "";
  } context{w.h, c.stop, &stop_now};
  const xq_bloc_callback on_bloc = [](void* user, int32_t* n) {
    const auto& ctx = *static_cast<Context*>(user);
    if (*n != kStopAfter) return;
    *ctx.stop_now = true;
    if (ctx.stop == Stop::kAbortFromHandler) xq_abort(ctx.h);
    if (ctx.stop == Stop::kHandlerThrows) throw std::runtime_error("arrêt");
  };
  xq_set_trace(w.h, 1);
  xq_on_bloc_sended(w.h, on_bloc, &context);
  xq_on_bloc_received(w.h, on_bloc, &context);
  xq_on_transfer_accepted(
      w.h,
      [](void* user, char direction, int64_t position) {
        static_cast<Context*>(user)->accepted += direction + std::to_string(position);
      },
      &context);

  xq_return_value result = -1;
  xq_status status = XQ_OK;
  if (c.op == Op::kConnect) {
    status = xq_connect(w.h, 3, nullptr, nullptr, &result);
  } else {
    ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
    status = c.op == Op::kSend ? ThroughC_SendFile(w.h, local.c_str(), &result)
                               : xq_receive_file(w.h, "PS0001", "mdp", local.c_str(), "0", &result);
  }
  EXPECT_EQ(status, c.status) << xq_last_error(w.h);
  EXPECT_EQ(result, XQ_RV_FALSE);
  EXPECT_EQ(w.Text(xq_error_source), c.source);
  EXPECT_EQ(w.Text(xq_error_description), "Opération interrompue");
  EXPECT_FALSE(w.port->PortOpen());
  EXPECT_FALSE(w.modem->Connected());
  EXPECT_EQ(context.accepted, c.op == Op::kConnect ? "" : c.op == Op::kSend ? "E0" : "R0");
  if (c.op == Op::kSend) {
    EXPECT_FALSE(w.server->Transfers().back().completed);
  }
  if (c.op != Op::kReceive) return;

  // The blocks received stay; a later receive asks for the rest.
  EXPECT_EQ(ReadFile(local), content.substr(0, kStopAfter * 128));
  stop_now = false;
  xq_on_bloc_received(w.h, nullptr, nullptr);
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  EXPECT_EQ(w.Transfer(xq_receive_file, local), XQ_RV_TRUE);
  EXPECT_EQ(w.server->Transfers().back().requested_position, kStopAfter);
  EXPECT_EQ(ReadFile(local), content);
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiAbort, ::testing::ValuesIn(kAborts),
                         [](const auto& info) { return std::string(info.param.name); });

// What a status line reads from the yield callback: each distinct wait of a
// dial that the modem answers after 30 s, a receive of two blocks (the second
// spoilt once: a NAK asks for it again) and the hang-up, in order, and the
// time left.
TEST(CapiWaitState, TheYieldCallbackReadsWhatIsAwaitedItsAttemptAndTheTimeLeft) {
  CWorld w({}, {.dial_delay = std::chrono::seconds(30)});
  w.server->PutFile("f", Blocks(2, 'w'));
  w.server->Faults().corrupt_frame = 2;
  std::vector<std::string> lines;
  std::vector<long long> dial_left_ms;
  w.on_yield = [&] {
    // A host built with a larger state (a later version's) gets zeros past
    // this library's fields; one built with this header, the same as
    // xq_get_wait_state().
    struct {
      xq_wait_state s;
      int64_t later = 7;
    } larger;
    ASSERT_EQ(xq_get_wait_state_sized(w.h, &larger.s, sizeof larger), XQ_OK);
    EXPECT_EQ(larger.later, 0);
    xq_wait_state s{};
    ASSERT_EQ(xq_get_wait_state(w.h, &s), XQ_OK);
    EXPECT_EQ(std::memcmp(&s, &larger.s, sizeof s), 0);
    const std::string line = std::to_string(s.awaiting) + " " + s.sent + " > " + s.expected + " " +
                             std::to_string(s.attempt) + "/" + std::to_string(s.attempts);
    if (lines.empty() || lines.back() != line) lines.push_back(line);
    EXPECT_GE(s.remaining_ms, 0) << line;
    EXPECT_LE(s.remaining_ms, 60'000) << line;
    if (std::string(s.sent).starts_with("ATDT")) dial_left_ms.push_back(s.remaining_ms);
  };
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  ASSERT_EQ(w.Transfer(xq_receive_file, w.dir / "f.txt"), XQ_RV_TRUE);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  const std::string dial = "ATDT" + std::string(kServerNumber);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"1 ATZ > OK 1/4", "3  >  0/0", "1 " + dial + " > CONNECT 1/4",
                                      "2  > NAK 1/10", "2 trame 0 > ACK 1/10", "2 EOT > ACK 1/10",
                                      "2 NAK > trame 0 ou EOT 1/10", "2 ACK > trame 1 ou EOT 1/10",
                                      "2 ACK > trame 2 ou EOT 1/10", "2 NAK > trame 2 ou EOT 2/10",
                                      "2 ACK > trame 3 ou EOT 1/10", "3  >  0/0"}));
  // The dial's minute, read as it began, counted down to the answer at 30 s.
  ASSERT_FALSE(dial_left_ms.empty());
  EXPECT_GT(dial_left_ms.front(), 59'000);
  EXPECT_EQ((dial_left_ms.back() + 999) / 1000, 30);
  xq_wait_state after{};
  after.remaining_ms = 7;
  ASSERT_EQ(xq_get_wait_state(w.h, &after), XQ_OK);
  EXPECT_EQ(std::make_tuple(after.awaiting, after.remaining_ms, std::string(after.sent)),
            std::make_tuple(XQ_AWAIT_NOTHING, -1, ""));
  EXPECT_EQ(xq_get_wait_state(w.h, nullptr), XQ_ERR_ARGUMENT);
  // A smaller state gets the fields that fit and nothing past them.
  xq_wait_state smaller{XQ_AWAIT_MODEM, 3, 4, 5, nullptr, nullptr};
  ASSERT_EQ(xq_get_wait_state_sized(w.h, &smaller, offsetof(xq_wait_state, attempts)), XQ_OK);
  EXPECT_EQ(std::tie(smaller.awaiting, smaller.attempt, smaller.attempts, smaller.remaining_ms),
            std::make_tuple(0, 0, 4, 5));
  EXPECT_EQ(xq_get_wait_state_sized(w.h, &smaller, sizeof smaller.awaiting), XQ_OK);
  EXPECT_EQ(xq_get_wait_state_sized(w.h, &smaller, sizeof smaller.awaiting - 1), XQ_ERR_ARGUMENT);
  EXPECT_STREQ(xq_last_error(w.h), "Argument manquant : size");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// With no descriptor left for the one that wakes a wait, no handle.
TEST(CapiWaitState, NoWakeDescriptorNoHandle) {
  // Their runtime needs descriptors of its own to report anything.
  if (kSanitized) GTEST_SKIP() << "not under the sanitizers";
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  // The lowest free descriptor is where the next one would go: allow none.
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  xq_module* m = reinterpret_cast<xq_module*>(0x1);
  const xq_status status = xq_create(&m);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(status, XQ_ERR_INTERNAL);
  EXPECT_EQ(m, nullptr);
  ASSERT_EQ(xq_create(&m), XQ_OK);
  xq_destroy(m);
}

}  // namespace
}  // namespace xmodemquarvel
