// The C interface against the simulated modem and server on the virtual
// clock: statuses and messages of the failures the C++ interface throws, the
// error record as C hosts read it, and the abort request.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capi/Handle.h"
#include "sim/SimulatedModem.h"
#include "sim/SimulatedSerialPort.h"
#include "sim/SimulatedServer.h"

// Built as C without unwind tables: an exception that left the library
// through these frames would end the process.
extern "C" xq_status ThroughC_SendFile(xq_module* module, const char* file,
                                       xq_return_value* result);
extern "C" xq_status ThroughC_PackFile(xq_module* module, const char* source, const char* packed);

namespace xmodemquarvel {
namespace {

namespace fs = std::filesystem;

const char* const kBusy = "Appel impossible depuis une fonction de rappel de ce module";

std::string Blocks(int count, char seed) {
  std::string out;
  for (int i = 0; i < count * 128; ++i) out.push_back(static_cast<char>(seed + i % 97));
  return out;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A C handle on a simulated port, with the modem and the server behind it.
struct CWorld {
  explicit CWorld(sim::ServerScript script = {}) {
    auto owned = std::make_unique<sim::SimulatedSerialPort>(clock);
    port = owned.get();
    server = std::make_unique<sim::SimulatedServer>(*port, std::move(script));
    modem = std::make_unique<sim::SimulatedModem>(*port);
    modem->AttachServer(server.get());
    port->AttachPeer(modem.get());
    HostOptions options;
    options.clock = clock;
    options.port = std::move(owned);
    handle = capi::NewHandle(
        std::move(options), [](void* self) { static_cast<CWorld*>(self)->OnYield(); }, this);
    h = handle.get();
    std::string pattern = (fs::temp_directory_path() / "xq-capi-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = pattern;
  }
  ~CWorld() { fs::remove_all(dir); }

  void OnYield() {
    if (on_yield) on_yield();
  }
  std::string Text(xq_status (*get)(xq_module*, const char**, size_t*)) {
    const char* text = nullptr;
    size_t length = 0;
    EXPECT_EQ(get(h, &text, &length), XQ_OK);
    return {text, length};
  }
  xq_return_value Connect() {
    xq_return_value result = -1;
    EXPECT_EQ(xq_connect(h, 3, nullptr, nullptr, &result), XQ_OK) << xq_last_error(h);
    return result;
  }

  std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
  sim::SimulatedSerialPort* port = nullptr;
  std::unique_ptr<sim::SimulatedServer> server;
  std::unique_ptr<sim::SimulatedModem> modem;
  std::unique_ptr<xq_module> handle;
  xq_module* h = nullptr;
  std::function<void()> on_yield;
  fs::path dir;
};

// Each row makes one call that the C++ interface would answer with an
// exception and checks the status and message the C host gets instead.
struct FailureCase {
  const char* name;
  std::function<xq_status(CWorld&, std::string& message)> call;
  xq_status status;
  std::string message;  // "@" stands for the world's folder
};

const FailureCase kFailures[] = {
    {"PackFileOfAMissingSource",
     [](CWorld& w, std::string& m) {
       const xq_status s = xq_pack_file(w.h, (w.dir / "absent").c_str(), (w.dir / "p").c_str());
       m = xq_last_error(w.h);
       EXPECT_FALSE(fs::exists(w.dir / "p"));
       return s;
     },
     XQ_ERR_FILE, "Fichier introuvable : @/absent"},
    {"UnPackFileWithACorruptEndBlock",
     [](CWorld& w, std::string& m) {
       Write(w.dir / "bad", Blocks(1, 'a') + std::string(128, '\xC8'));
       const xq_status s = xq_unpack_file(w.h, (w.dir / "bad").c_str(), (w.dir / "out").c_str());
       m = xq_last_error(w.h);
       return s;
     },
     XQ_ERR_FILE, "Argument ou appel de procédure incorrect"},
    {"SendFileWithoutConnect",
     [](CWorld& w, std::string& m) {
       xq_return_value r = -1;
       const xq_status s = xq_send_file(w.h, "PS0001", "mdp", "/dev/null", "0", &r);
       m = xq_last_error(w.h);
       EXPECT_EQ(r, XQ_RV_FALSE);
       EXPECT_EQ(w.Text(xq_error_source), "Xmodem: SendFile");
       return s;
     },
     XQ_ERR_PORT, "Opération impossible : le port n'est pas ouvert"},
    {"ReceiveThroughADescriptorWithoutItsName",
     [](CWorld& w, std::string& m) {
       xq_return_value r = -1;
       const xq_status s = xq_receive_file_fd(w.h, "PS0001", "mdp", nullptr, "0", 2, &r);
       m = xq_last_error(w.h);
       EXPECT_EQ(r, XQ_RV_FALSE);
       return s;
     },
     XQ_ERR_ARGUMENT, "Argument manquant : file_name"},
    {"AMissingArgument",
     [](CWorld& w, std::string& m) {
       const xq_status s = xq_pack_file(w.h, "x", nullptr);
       m = xq_last_error(w.h);
       return s;
     },
     XQ_ERR_ARGUMENT, "Argument manquant : packed"},
    {"PackFileStartedFromItsOwnCallback",
     [](CWorld& w, std::string& m) {
       static xq_status inner;
       static std::string message;
       Write(w.dir / "src", Blocks(2, 'a'));
       xq_set_trace(w.h, 1);
       xq_on_bloc_packed(
           w.h,
           [](void* user, int32_t*) {
             auto* h = static_cast<xq_module*>(user);
             inner = xq_pack_file(h, "a", "b");
             message = xq_last_error(h);
           },
           w.h);
       EXPECT_EQ(xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str()), XQ_OK);
       m = message;
       return inner;
     },
     XQ_ERR_BUSY, kBusy},
    {"DestroyFromACallback",
     [](CWorld& w, std::string& m) {
       static xq_status inner;
       Write(w.dir / "src", Blocks(1, 'a'));
       xq_set_trace(w.h, 1);
       xq_on_bloc_packed(
           w.h, [](void* user, int32_t*) { inner = xq_destroy(static_cast<xq_module*>(user)); },
           w.h);
       EXPECT_EQ(xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str()), XQ_OK);
       m = "";
       return inner;
     },
     XQ_ERR_BUSY, ""},
    {"ACallbackThatThrows",
     [](CWorld& w, std::string& m) {
       Write(w.dir / "src", Blocks(3, 'a'));
       xq_set_trace(w.h, 1);
       xq_on_bloc_packed(
           w.h, [](void*, int32_t*) { throw std::runtime_error("panne de l'hôte"); }, nullptr);
       const xq_status s = ThroughC_PackFile(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str());
       m = xq_last_error(w.h);
       return s;
     },
     XQ_ERR_CALLBACK, "Exception dans une fonction de rappel : panne de l'hôte"},
};

class CapiFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CapiFailure, ComesBackAsAStatusWithItsFrenchMessage) {
  CWorld w;
  std::string message;
  const xq_status status = GetParam().call(w, message);
  EXPECT_EQ(status, GetParam().status);
  std::string expected = GetParam().message;
  if (auto at = expected.find('@'); at != std::string::npos)
    expected.replace(at, 1, w.dir.string());
  EXPECT_EQ(message, expected);
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// From inside any callback of a handle, whichever call raised it and whether
// or not an operation runs, the five operations and xq_destroy() are refused
// and do nothing. Each row raises one callback; the probe makes the six calls.
struct Probe {
  xq_module* h;
  fs::path dir;
  int runs = 0;
  std::vector<std::string> calls;

  void operator()() {
    if (runs++ > 0) return;
    const fs::path mine = dir / "probe.TXT", out = dir / "probe.out";
    Write(mine, Blocks(2, 'p'));
    const auto note = [&](const char* name, xq_status status, xq_return_value r) {
      calls.push_back(std::string(name) + " " + std::to_string(status) + " " + std::to_string(r) +
                      " " + xq_last_error(h));
    };
    xq_return_value r = -1;
    xq_status status = xq_connect(h, 0, nullptr, nullptr, &r);
    note("connect", status, r);
    r = -1;
    status = xq_send_file(h, "PS0001", "mdp", mine.c_str(), "0", &r);
    note("send", status, r);
    r = -1;
    status = xq_receive_file(h, "PS0001", "mdp", out.c_str(), "0", &r);
    note("receive", status, r);
    note("pack", xq_pack_file(h, mine.c_str(), out.c_str()), 0);
    note("unpack", xq_unpack_file(h, mine.c_str(), out.c_str()), 0);
    note("destroy", xq_destroy(h), 0);
    EXPECT_FALSE(fs::exists(out));
  }
  static void Bloc(void* self, int32_t*) { (*static_cast<Probe*>(self))(); }
};

struct ReentryCase {
  const char* name;
  // Registers the probe and makes the call that raises its callback.
  std::function<void(CWorld&, Probe&)> raise;
};

const ReentryCase kReentries[] = {
    {"ErrorOfSettingsWithNoOperationRunning",
     [](CWorld& w, Probe& p) {
       xq_on_error(
           w.h, [](void* self, const char*) { (*static_cast<Probe*>(self))(); }, &p);
       EXPECT_EQ(xq_set_settings(w.h, "9600,Z,8,1"), XQ_OK);
     }},
    {"ErrorOfCommPort",
     [](CWorld& w, Probe& p) {
       xq_on_error(
           w.h, [](void* self, const char*) { (*static_cast<Probe*>(self))(); }, &p);
       EXPECT_EQ(xq_set_comm_port(w.h, 0), XQ_OK);
     }},
    {"ErrorOfAConnectWhosePortFails",
     [](CWorld& w, Probe& p) {
       w.port->RefuseOpen(true);
       xq_on_error(
           w.h, [](void* self, const char*) { (*static_cast<Probe*>(self))(); }, &p);
       EXPECT_EQ(w.Connect(), XQ_RV_FALSE);
     }},
    {"YieldDuringDisconnect",
     [](CWorld& w, Probe& p) {
       ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
       w.on_yield = [&p] { p(); };
       EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
     }},
    {"TraceAppendedDuringConnect",
     [](CWorld& w, Probe& p) {
       xq_on_trace_appended(
           w.h, [](void* self, const char*, size_t) { (*static_cast<Probe*>(self))(); }, &p);
       EXPECT_EQ(w.Connect(), XQ_RV_TRUE);
     }},
    {"BlocPacked",
     [](CWorld& w, Probe& p) {
       Write(w.dir / "src", Blocks(2, 'a'));
       xq_on_bloc_packed(w.h, Probe::Bloc, &p);
       EXPECT_EQ(xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str()), XQ_OK);
     }},
    {"BlocUnpacked",
     [](CWorld& w, Probe& p) {
       Write(w.dir / "src", Blocks(2, 'a'));
       xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str());
       xq_on_bloc_unpacked(w.h, Probe::Bloc, &p);
       EXPECT_EQ(xq_unpack_file(w.h, (w.dir / "p").c_str(), (w.dir / "u").c_str()), XQ_OK);
     }},
    {"BlocSendedAndTransferAccepted",
     [](CWorld& w, Probe& p) {
       Write(w.dir / "F.TXT", Blocks(3, 'a'));
       xq_on_bloc_sended(w.h, Probe::Bloc, &p);
       xq_on_transfer_accepted(
           w.h, [](void* self, char, int64_t) { (*static_cast<Probe*>(self))(); }, &p);
       ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
       xq_return_value r = -1;
       EXPECT_EQ(xq_send_file(w.h, "PS0001", "mdp", (w.dir / "F.TXT").c_str(), "0", &r), XQ_OK);
       EXPECT_EQ(r, XQ_RV_TRUE);
     }},
    {"BlocReceived",
     [](CWorld& w, Probe& p) {
       w.server->PutFile("F", Blocks(3, 'r'));
       xq_on_bloc_received(w.h, Probe::Bloc, &p);
       ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
       xq_return_value r = -1;
       EXPECT_EQ(xq_receive_file(w.h, "PS0001", "mdp", (w.dir / "F.TXT").c_str(), "0", &r), XQ_OK);
       EXPECT_EQ(r, XQ_RV_TRUE);
     }},
};

class CapiReentry : public ::testing::TestWithParam<ReentryCase> {};

TEST_P(CapiReentry, RefusesTheOperationsAndDestroyFromInsideAnyCallback) {
  CWorld w;
  Probe probe{w.h, w.dir, 0, {}};
  xq_set_trace(w.h, 1);
  GetParam().raise(w, probe);
  ASSERT_EQ(probe.runs > 0, true) << "the callback was not raised";
  const std::string refused = std::to_string(XQ_ERR_BUSY) + " 0 " + kBusy;
  EXPECT_THAT(probe.calls,
              ::testing::ElementsAre("connect " + refused, "send " + refused, "receive " + refused,
                                     "pack " + refused, "unpack " + refused, "destroy " + refused));
  // Nothing was started: the handle still answers, and the calls run now.
  w.on_yield = nullptr;
  xq_on_error(w.h, nullptr, nullptr);
  w.port->RefuseOpen(false);
  xq_disconnect(w.h);
  EXPECT_EQ(w.Connect(), XQ_RV_TRUE);
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiReentry, ::testing::ValuesIn(kReentries),
                         [](const auto& info) { return std::string(info.param.name); });

// Every out parameter has a value on every status: the result XQ_RV_FALSE,
// a string "" of length 0, a flag 0, a handle NULL.
TEST(Capi, OutParametersAreWrittenOnEveryStatus) {
  CWorld w;
  const auto result_of = [](auto call) {
    xq_return_value r = -1;
    const xq_status status = call(&r);
    return std::to_string(status) + " " + std::to_string(r);
  };
  const std::string argument = std::to_string(XQ_ERR_ARGUMENT) + " 0";
  EXPECT_EQ(result_of([](auto r) { return xq_connect(nullptr, 3, nullptr, nullptr, r); }),
            argument);
  EXPECT_EQ(result_of([&](auto r) { return xq_send_file(w.h, nullptr, "p", "f", "0", r); }),
            argument);
  EXPECT_EQ(result_of([&](auto r) { return xq_receive_file(nullptr, "u", "p", "f", "0", r); }),
            argument);
  EXPECT_EQ(result_of([&](auto r) { return xq_send_file(w.h, "u", "p", "/dev/null", "0", r); }),
            std::to_string(XQ_ERR_PORT) + " 0");

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
  EXPECT_EQ(std::to_string(wait.awaiting) + " " + std::to_string(wait.attempt) + "/" +
                std::to_string(wait.attempts) + " " + std::to_string(wait.remaining_ms) + " [" +
                wait.sent + "][" + wait.expected + "]",
            "0 0/0 -1 [][]");
  xq_module* made = reinterpret_cast<xq_module*>(&w);
  EXPECT_EQ(xq_create_hosted(nullptr, nullptr, 100, nullptr), XQ_ERR_ARGUMENT);
  EXPECT_EQ(xq_create(&made), XQ_OK);
  EXPECT_NE(made, nullptr);
  EXPECT_EQ(xq_destroy(made), XQ_OK);
}

TEST(Capi, VisibleReadsBackAsAFlagAndDestroyFreesTheHandle) {
  CWorld w;
  int visible = -1;
  for (const int set : {5, 0, -1}) {
    EXPECT_EQ(xq_set_visible(w.h, set), XQ_OK);
    EXPECT_EQ(xq_get_visible(w.h, &visible), XQ_OK);
    EXPECT_EQ(visible, set != 0 ? 1 : 0);
  }
  // The handle held the clock; once freed, only the test does.
  EXPECT_EQ(xq_destroy(w.handle.release()), XQ_OK);
  EXPECT_EQ(w.clock.use_count(), 1);
}

TEST(Capi, TheLibrarySaysItsVersion) {
  EXPECT_STREQ(xq_version(), XQ_VERSION);
  EXPECT_EQ(std::to_string(XQ_VERSION_NUMBER / 10000) + "." +
                std::to_string(XQ_VERSION_NUMBER / 100 % 100) + "." +
                std::to_string(XQ_VERSION_NUMBER % 100),
            XQ_VERSION);
}

// The port's state as a host reads it for a clean close.
TEST(Capi, PortOpenFollowsConnectDisconnectAndAFailedInit) {
  CWorld w;
  const auto open = [&] {
    int flag = -1;
    EXPECT_EQ(xq_port_open(w.h, &flag), XQ_OK);
    return flag;
  };
  EXPECT_EQ(open(), 0);
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  EXPECT_EQ(open(), 1);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  EXPECT_EQ(open(), 0);
  // A refused initialisation string leaves the port open for another try.
  w.modem->Script().refused_commands.push_back("ATBAD");
  xq_return_value r = -1;
  EXPECT_EQ(xq_connect(w.h, 0, nullptr, "ATBAD", &r), XQ_OK);
  EXPECT_NE(r, XQ_RV_TRUE);
  EXPECT_EQ(open(), 1);
  EXPECT_EQ(xq_disconnect(w.h), XQ_OK);
  EXPECT_EQ(open(), 0);
}

// What the error record holds after a result, as a C host reads it.
TEST(Capi, TheRecordAfterARefusalASuccessAndAFailedConnect) {
  sim::ServerScript refusal;
  refusal.status = 6;
  CWorld refusing(refusal);
  Write(refusing.dir / "F.TXT", Blocks(2, 'b'));
  ASSERT_EQ(refusing.Connect(), XQ_RV_TRUE);
  xq_return_value r = -1;
  ASSERT_EQ(xq_send_file(refusing.h, "PS0001", "mdp", (refusing.dir / "F.TXT").c_str(), "0", &r),
            XQ_OK);
  EXPECT_EQ(r, XQ_RV_REFUSE);
  EXPECT_EQ(refusing.Text(xq_error_source), "Xmodem: SendFile");
  EXPECT_EQ(refusing.Text(xq_error_description), "Transfert refusé, status 6");

  CWorld good;
  Write(good.dir / "F.TXT", Blocks(2, 'b'));
  ASSERT_EQ(good.Connect(), XQ_RV_TRUE);
  ASSERT_EQ(xq_send_file(good.h, "PS0001", "mdp", (good.dir / "F.TXT").c_str(), "0", &r), XQ_OK);
  EXPECT_EQ(r, XQ_RV_TRUE);
  EXPECT_EQ(good.Text(xq_error_source), "Xmodem: SendFile");
  EXPECT_EQ(good.Text(xq_error_description), "");
  EXPECT_EQ(good.Text(xq_get_data_type), "0");

  // The port fails: only the Error callback learns why; the record is empty.
  CWorld busy;
  busy.port->RefuseOpen(true);
  static std::string seen;
  xq_on_error(
      busy.h,
      [](void* user, const char* text) {
        const char* why = nullptr;
        xq_error_description(static_cast<xq_module*>(user), &why, nullptr);
        seen = std::string(text) + " / " + why;
      },
      busy.h);
  EXPECT_EQ(busy.Connect(), XQ_RV_FALSE);
  EXPECT_EQ(seen.rfind("Connexion impossible / ", 0), 0u) << seen;
  EXPECT_GT(seen.size(), std::string("Connexion impossible / ").size());
  EXPECT_EQ(busy.Text(xq_error_source), "");
  EXPECT_EQ(busy.Text(xq_error_description), "");
}

// Each row stops an operation one way and checks how it ended.
enum class Op { kConnect, kSend, kReceive };
enum class Stop { kAbortFromHandler, kAbortFromYield, kHandlerThrows, kAbortOnAcceptance };
struct AbortCase {
  const char* name;
  Op op;
  Stop stop;
  xq_status status;
  const char* source;
};

const AbortCase kAborts[] = {
    {"ConnectFromYield", Op::kConnect, Stop::kAbortFromYield, XQ_OK, "Xmodem: Connect"},
    {"SendFromHandler", Op::kSend, Stop::kAbortFromHandler, XQ_OK, "Xmodem: SendFile"},
    {"SendWhoseHandlerThrows", Op::kSend, Stop::kHandlerThrows, XQ_ERR_CALLBACK,
     "Xmodem: SendFile"},
    {"ReceiveFromHandler", Op::kReceive, Stop::kAbortFromHandler, XQ_OK, "Xmodem: ReceiveFile"},
    {"ReceiveFromYield", Op::kReceive, Stop::kAbortFromYield, XQ_OK, "Xmodem: ReceiveFile"},
    {"SendOnAcceptance", Op::kSend, Stop::kAbortOnAcceptance, XQ_OK, "Xmodem: SendFile"},
    {"ReceiveOnAcceptance", Op::kReceive, Stop::kAbortOnAcceptance, XQ_OK, "Xmodem: ReceiveFile"},
};

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
    Write(local, content);
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
        auto& ctx = *static_cast<Context*>(user);
        ctx.accepted += direction + std::to_string(position);
        if (ctx.stop == Stop::kAbortOnAcceptance) xq_abort(ctx.h);
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
  int open = -1;
  EXPECT_EQ(xq_port_open(w.h, &open), XQ_OK);
  EXPECT_EQ(open, 0);
  EXPECT_FALSE(w.modem->Connected());
  EXPECT_EQ(context.accepted, c.op == Op::kConnect ? "" : c.op == Op::kSend ? "E0" : "R0");
  const int kept = c.stop == Stop::kAbortOnAcceptance ? 0 : kStopAfter;
  if (c.op == Op::kSend) {
    EXPECT_FALSE(w.server->Transfers().back().completed);
    // Stopped on acceptance, not a frame went out.
    EXPECT_TRUE(kept > 0 || w.server->Transfers().back().frames == 0);
  }
  if (c.op != Op::kReceive) return;

  // The blocks received stay (none, and no file, when stopped on acceptance);
  // a later receive asks for the rest.
  EXPECT_EQ(fs::exists(local), kept > 0);
  EXPECT_EQ(Read(local), content.substr(0, kept * 128));
  stop_now = false;
  xq_on_bloc_received(w.h, nullptr, nullptr);
  xq_on_transfer_accepted(w.h, nullptr, nullptr);
  ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
  // Through a descriptor of the host's this time: the same resume.
  const int fd = ::open(local.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(xq_receive_file_fd(w.h, "PS0001", "mdp", "FACT0001.TXT", "0", fd, &result), XQ_OK);
  EXPECT_EQ(result, XQ_RV_TRUE);
  EXPECT_EQ(w.server->Transfers().back().requested_position, kept);
  EXPECT_EQ(Read(local), content);
  EXPECT_EQ(::close(fd), 0) << "the host's descriptor stays the host's";
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiAbort, ::testing::ValuesIn(kAborts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace xmodemquarvel
