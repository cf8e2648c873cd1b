#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/LinePeer.h"
#include "sim/ServerStore.h"
#include "xmodemquarvel/Clock.h"

namespace xmodemquarvel::sim {

// Faults that the server puts on what it sends, for tests and for hosts that
// want to see their handling of a bad line. Random choices come from `seed`,
// so a run can be repeated exactly.
struct ServerFaults {
  std::uint32_t seed = 1;
  // Chance that a message is preceded by 1 to `noise_max_bytes` bytes of noise
  // (never a protocol control byte nor CR).
  double noise = 0.0;
  int noise_max_bytes = 6;
  // Chance that a control message (ACK, NAK, EOT with its CR) loses one byte.
  double drop = 0.0;
  // Frames lose bytes too. A byte dropped inside a data frame shifts the
  // following ones, and the collection rules can then take a wrong frame whose
  // checksum happens to match (about one time in 256): for fault hunting only.
  bool drop_in_frames = false;
  // Chance that a frame goes out with one byte changed, never its leading SOH
  // nor its final CR: without them the receiver starts an answer on data bytes,
  // where an EOT byte followed by a CR reads as the end of the file.
  double corrupt = 0.0;
  // This data frame (1 = the first of a receive) goes out with a bad checksum
  // on its first sending.
  int corrupt_frame = 0;
  // This data frame is sent twice in a row.
  int repeat_frame = 0;
  // Added to the count in the closing report of a send.
  int report_offset = 0;
  // EOT in place of the response to the opening record, or of the report.
  bool eot_for_response = false;
  bool eot_for_report = false;
  // The server sends nothing more after this many messages (-1: never).
  int silent_after_messages = -1;
  // CTS and CD drop after this many data frames (-1: never): after the frame's
  // acknowledgement, in either direction.
  int line_loss_after_frames = -1;
};

// Frames that the faults spoiled in ways a receiver's checks can miss: frames
// that lost a byte (the next bytes slide in), frames whose data or checksum
// changed yet still sum right (two changes that cancel), and frames whose
// number changed into the number of the frame before (a repetition, to a
// receiver that knows one by its number alone).
struct FaultEvents {
  long long frames_short = 0;
  long long frames_still_summing = 0;
  long long frames_renumbered_back = 0;
};

// How the server judges and answers.
struct ServerScript {
  // Status answered to every request, whatever it holds.
  std::optional<std::uint8_t> status{};
  // Position answered to a send; by default 0, or the blocks already held
  // when `resume_sends` is set: those of an earlier send that did not end.
  // A send whose end arrived was taken in, and a new send of that name
  // starts from the first block.
  std::optional<std::int64_t> send_position{};
  bool resume_sends = false;
  // Position answered to an accepted receive, whatever was asked (by default
  // the position asked for); the data then go on from there.
  std::optional<std::int64_t> receive_position{};
  // Known users and their passwords; empty: everybody is let in.
  std::map<std::string, std::string> users{};
  // The invitation (NAK) is repeated this often while no record comes.
  Clock::Duration invite_interval = std::chrono::seconds(3);
  int invite_repeats = 10;
  // A transfer that hears nothing for this long is abandoned.
  Clock::Duration idle_timeout = std::chrono::seconds(30);
  // Delay before each answer; 0 answers at once.
  Clock::Duration reply_delay{};
};

// What the server saw of one opening and of the transfer that followed.
struct ServerTransfer {
  std::string record;  // the 128 bytes of the request
  std::string user;    // fields without their filling spaces
  std::string password;
  std::string base_name;
  char sens = 0;
  char reprise = 0;
  char pack_type = 0;
  std::int64_t requested_position = 0;
  std::uint8_t status = 0;
  std::int64_t position = 0;  // the position answered
  int frames = 0;             // data frames accepted (send) or acknowledged (receive)
  bool completed = false;     // the closing exchange was acknowledged
  // A send's data ended (its EOT came): the server holds what it sent,
  // whatever becomes of the closing exchange (a client that hangs up at
  // once never acknowledges its end).
  bool whole = false;
};

// The remote server: invites with NAK, takes the opening record as frame 0,
// judges it, answers with its response frame, and then receives or serves the
// file in 128-byte frames, closing a send with its report. It talks only
// through a Line and takes its time only from Line::After, so it runs on the
// in-process line and behind a pseudo-terminal alike.
class SimulatedServer final : public LinePeer {
 public:
  explicit SimulatedServer(Line& line, ServerScript script = {}, ServerFaults faults = {});
  ~SimulatedServer() override;

  // Files in memory (the default) or in the folder open on `folder`
  // (FolderStore()), by base name.
  void UseFolder(int folder);
  // A file the server holds, not taken in: a send of that name resumes
  // after its blocks when `resume_sends` is set.
  void PutFile(const std::string& name, std::string_view content);
  std::optional<std::string> File(const std::string& name) const;
  // The blocks of `name` that a send resumes after (`resume_sends`): those
  // of a send that did not end, none of a file taken in.
  std::int64_t Held(const std::string& name) const;

  ServerScript& Script() { return script_; }
  ServerFaults& Faults() { return faults_; }
  // A new seed for the random faults.
  void Reseed(std::uint32_t seed);

  // Starts inviting, as when a call connects. Holds CTS and CD.
  void Start();
  // Stops: no invitation, no answer, until the next Start or call.
  void Stop();

  const std::vector<ServerTransfer>& Transfers() const { return transfers_; }
  // Told of each transfer when its opening has been judged, and again when
  // it has completed.
  std::function<void(const ServerTransfer&)> on_transfer;
  const FaultEvents& Events() const { return events_; }
  bool LineCut() const { return state_ == State::kCut; }

  void OnHostBytes(std::string_view bytes) override;
  void OnCarrier(bool up) override;
  void OnPortOpen(bool open) override;

 private:
  enum class State {
    kStopped,
    kAwaitRecord,
    kAwaitRecordEot,
    kAwaitResponseRequest,
    kAwaitResponseAck,
    kAwaitResponseEotAck,
    kReceivingData,
    kAwaitReportRequest,
    kAwaitReportAck,
    kAwaitReportEotAck,
    kServingData,
    kAwaitFinalAck,
    kCut,
  };

  void OnMessage(const std::string& message, bool misaligned);
  void OnFrame(const std::string& frame, bool misaligned);
  void OnAck();
  void OnRecord(std::string_view record);
  // What the store holds of `name` cut to the blocks the send goes on from,
  // at the send's first data frame or its end.
  void Keep(const std::string& name);
  std::uint8_t Judge(const ServerTransfer& t);
  std::string AnswerFrame(std::uint8_t status, std::int64_t position) const;
  void SendNextDataFrame();
  void Invite();
  void ScheduleInvite(unsigned generation, int left);
  void ScheduleIdleCheck();
  void CutLine();

  void SendControl(char c);
  void SendFrame(std::string frame, bool corrupt_checksum);
  // Puts one message on the line, with the faults that fall on it.
  void Transmit(std::string bytes, bool is_frame, bool corrupt_checksum);
  std::uint32_t Draw(std::uint32_t bound);
  bool Chance(double p);

  Line& line_;
  ServerScript script_;
  ServerFaults faults_;
  std::mt19937 random_;
  std::unique_ptr<ServerStore> store_;

  State state_ = State::kStopped;
  unsigned generation_ = 0;
  std::string rx_;
  std::string message_;
  bool misaligned_ = false;
  std::string last_message_;
  bool last_is_frame_ = false;
  int messages_sent_ = 0;
  std::uint64_t activity_ = 0;
  bool idle_check_pending_ = false;

  std::vector<ServerTransfer> transfers_;
  FaultEvents events_;
  std::string request_;
  std::uint8_t last_number_ = 0;
  // send: the blocks kept of what the store holds, once the send carries
  // something (a data frame or its end); none until then, so that a send
  // stopped before any data leaves the store as it was.
  std::optional<std::int64_t> keep_blocks_;
  std::int64_t next_block_ = 0;  // receive: index of the next block to serve
  std::int64_t end_block_ = 0;
  std::uint8_t serve_number_ = 0;
  int frames_served_ = 0;
  int ignore_acks_ = 0;
  // Timed actions hold a weak reference: they do nothing once the server is gone.
  std::shared_ptr<bool> alive_;
};

}  // namespace xmodemquarvel::sim
