// From inside any callback of a handle the C interface refuses the five
// operations and xq_destroy() (XQ_ERR_BUSY), whichever call raised it.

#include <gmock/gmock.h>

#include "CWorld.h"

namespace xmodemquarvel {
namespace {

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
    WriteFile(mine, Blocks(2, 'p'));
    // Each call's status, its result (-1 before the call: a call without one
    // leaves it) and the message.
    const auto note = [&](const char* name, auto call) {
      xq_return_value r = -1;
      const xq_status status = call(&r);
      calls.push_back(std::string(name) + " " + std::to_string(status) + " " + std::to_string(r) +
                      " " + xq_last_error(h));
    };
    note("connect", [&](auto r) { return xq_connect(h, 0, nullptr, nullptr, r); });
    note("send", [&](auto r) { return xq_send_file(h, "PS0001", "mdp", mine.c_str(), "0", r); });
    note("receive",
         [&](auto r) { return xq_receive_file(h, "PS0001", "mdp", out.c_str(), "0", r); });
    note("pack", [&](auto) { return xq_pack_file(h, mine.c_str(), out.c_str()); });
    note("unpack", [&](auto) { return xq_unpack_file(h, mine.c_str(), out.c_str()); });
    note("destroy", [&](auto) { return xq_destroy(h); });
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
       WriteFile(w.dir / "src", Blocks(2, 'a'));
       xq_on_bloc_packed(w.h, Probe::Bloc, &p);
       EXPECT_EQ(xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str()), XQ_OK);
     }},
    {"BlocUnpacked",
     [](CWorld& w, Probe& p) {
       WriteFile(w.dir / "src", Blocks(2, 'a'));
       xq_pack_file(w.h, (w.dir / "src").c_str(), (w.dir / "p").c_str());
       xq_on_bloc_unpacked(w.h, Probe::Bloc, &p);
       EXPECT_EQ(xq_unpack_file(w.h, (w.dir / "p").c_str(), (w.dir / "u").c_str()), XQ_OK);
     }},
    {"BlocSendedAndTransferAccepted",
     [](CWorld& w, Probe& p) {
       WriteFile(w.dir / "F.TXT", Blocks(3, 'a'));
       xq_on_bloc_sended(w.h, Probe::Bloc, &p);
       xq_on_transfer_accepted(
           w.h, [](void* self, char, int64_t) { (*static_cast<Probe*>(self))(); }, &p);
       ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
       EXPECT_EQ(w.Transfer(xq_send_file, w.dir / "F.TXT"), XQ_RV_TRUE);
     }},
    {"BlocReceived",
     [](CWorld& w, Probe& p) {
       w.server->PutFile("F", Blocks(3, 'r'));
       xq_on_bloc_received(w.h, Probe::Bloc, &p);
       ASSERT_EQ(w.Connect(), XQ_RV_TRUE);
       EXPECT_EQ(w.Transfer(xq_receive_file, w.dir / "F.TXT"), XQ_RV_TRUE);
     }},
};

class CapiReentry : public ::testing::TestWithParam<ReentryCase> {};

TEST_P(CapiReentry, RefusesTheOperationsAndDestroyFromInsideAnyCallback) {
  CWorld w;
  Probe probe{w.h, w.dir.path(), 0, {}};
  xq_set_trace(w.h, 1);
  GetParam().raise(w, probe);
  ASSERT_EQ(probe.runs > 0, true) << "the callback was not raised";
  const std::string refused = std::to_string(XQ_ERR_BUSY) + " 0 " + kBusy;
  const std::string no_result = std::to_string(XQ_ERR_BUSY) + " -1 " + kBusy;
  EXPECT_THAT(probe.calls, ::testing::ElementsAre("connect " + refused, "send " + refused,
                                                  "receive " + refused, "pack " + no_result,
                                                  "unpack " + no_result, "destroy " + no_result));
  // Nothing was started: the handle still answers, and the calls run now.
  w.on_yield = nullptr;
  xq_disconnect(w.h);
  EXPECT_EQ(w.Connect(), XQ_RV_TRUE);
}

INSTANTIATE_TEST_SUITE_P(Capi, CapiReentry, ::testing::ValuesIn(kReentries),
                         [](const auto& info) { return std::string(info.param.name); });
}  // namespace
}  // namespace xmodemquarvel
