#include "sim/SimulatedServer.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "component/CodePage.h"
#include "protocol/AnswerCollector.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"
#include "protocol/OpeningRecord.h"

namespace xmodemquarvel::sim {
namespace {

using namespace protocol;

constexpr std::size_t kBlock = kDataSize;

std::string Trimmed(std::string_view field) {
  while (!field.empty() && (field.back() == ' ' || field.back() == '\0')) field.remove_suffix(1);
  return std::string(field);
}

bool IsControl(unsigned char b) {
  return b == Byte(SOH) || b == Byte(EOT) || b == Byte(ACK) || b == Byte(NAK) || b == Byte(CR);
}

}  // namespace

SimulatedServer::SimulatedServer(Line& line, ServerScript script, ServerFaults faults)
    : line_(line),
      script_(std::move(script)),
      faults_(faults),
      random_(faults.seed),
      store_(MemoryStore()),
      alive_(std::make_shared<bool>(true)) {}

SimulatedServer::~SimulatedServer() = default;

void SimulatedServer::UseFolder(int folder) {
  store_ = FolderStore(folder);
}

void SimulatedServer::PutFile(const std::string& name, std::string_view content) {
  store_->Truncate(name, 0);
  for (std::size_t at = 0; at < content.size(); at += kBlock)
    store_->Append(name, content.substr(at, kBlock));
}

std::int64_t SimulatedServer::Held(const std::string& name) const {
  return store_->TakenIn(name) ? 0 : store_->Blocks(name);
}

std::optional<std::string> SimulatedServer::File(const std::string& name) const {
  if (!store_->Exists(name)) return std::nullopt;
  std::string content;
  const std::int64_t blocks = store_->Blocks(name);
  for (std::int64_t i = 0; i < blocks; ++i) content += store_->Block(name, i);
  return content;
}

void SimulatedServer::Reseed(std::uint32_t seed) {
  faults_.seed = seed;
  random_.seed(seed);
}

void SimulatedServer::Start() {
  if (state_ == State::kCut) {
    line_.SetCts(true);
    line_.SetCd(true);
  }
  messages_sent_ = 0;
  Invite();
}

void SimulatedServer::Stop() {
  if (state_ == State::kCut) line_.SetCts(true);
  state_ = State::kStopped;
  ++generation_;
  rx_.clear();
  misaligned_ = false;
}

void SimulatedServer::OnCarrier(bool up) {
  if (up) {
    Start();
  } else {
    Stop();
  }
}

void SimulatedServer::OnPortOpen(bool open) {
  // Directly on a port (no modem in between), closing it is the hang-up.
  if (!open) Stop();
}

void SimulatedServer::OnHostBytes(std::string_view bytes) {
  for (char c : bytes) {
    if (state_ == State::kStopped || state_ == State::kCut) return;
    // A frame is complete on a CR in its 133rd place; bytes dropped while
    // waiting for it mean that the frame lost bytes on the way.
    if (rx_.size() == kFrameSize - 1 && c != CR) misaligned_ = true;
    if (!CollectAnswerByte(rx_, c)) continue;
    // Both buffers keep their capacity from message to message.
    message_.swap(rx_);
    rx_.clear();
    const bool misaligned = std::exchange(misaligned_, false);
    ++activity_;
    OnMessage(message_, misaligned);
  }
}

void SimulatedServer::OnMessage(const std::string& message, bool misaligned) {
  switch (message[0]) {
    case SOH:
      OnFrame(message, misaligned);
      return;
    case EOT:
      if (state_ == State::kAwaitRecordEot) {
        SendControl(ACK);
        state_ = State::kAwaitResponseRequest;
      } else if (state_ == State::kReceivingData) {
        SendControl(ACK);
        state_ = State::kAwaitReportRequest;
        if (!transfers_.empty()) {
          ServerTransfer& t = transfers_.back();
          t.whole = true;
          Keep(t.base_name);
          store_->TakeIn(t.base_name);
          if (on_transfer) on_transfer(t);
        }
      } else if (state_ == State::kAwaitResponseRequest || state_ == State::kAwaitReportRequest) {
        SendControl(ACK);  // our acknowledgement was lost
      }
      return;
    case NAK:
      if (state_ == State::kAwaitResponseRequest) {
        ServerTransfer& t = transfers_.back();
        if (faults_.eot_for_response) {
          SendControl(EOT);
          Invite();
          return;
        }
        SendFrame(AnswerFrame(t.status, t.position), false);
        state_ = State::kAwaitResponseAck;
      } else if (state_ == State::kAwaitReportRequest) {
        ServerTransfer& t = transfers_.back();
        if (faults_.eot_for_report) {
          SendControl(EOT);
          Invite();
          return;
        }
        SendFrame(AnswerFrame(0, t.position + t.frames + faults_.report_offset), false);
        state_ = State::kAwaitReportAck;
      } else if (state_ != State::kAwaitRecord && !last_message_.empty()) {
        // Anywhere else a NAK asks for our last message again.
        Transmit(last_message_, last_is_frame_, false);
      }
      return;
    case ACK:
      OnAck();
      return;
    default:
      return;
  }
}

void SimulatedServer::OnAck() {
  if (transfers_.empty()) return;
  ServerTransfer& t = transfers_.back();
  switch (state_) {
    case State::kAwaitResponseAck:
      if (t.status == 0 && t.sens == 'R') {
        state_ = State::kServingData;
        SendNextDataFrame();
      } else {
        SendControl(EOT);
        state_ = State::kAwaitResponseEotAck;
      }
      return;
    case State::kAwaitResponseEotAck:
      if (t.status != 0) {
        Invite();
      } else {
        last_number_ = 0;
        SendControl(NAK);
        state_ = State::kReceivingData;
      }
      return;
    case State::kServingData:
      if (ignore_acks_ > 0) {
        --ignore_acks_;
        return;
      }
      ++t.frames;
      if (t.frames == faults_.line_loss_after_frames) {
        CutLine();
        return;
      }
      SendNextDataFrame();
      return;
    case State::kAwaitFinalAck:
    case State::kAwaitReportEotAck:
      t.completed = true;
      if (on_transfer) on_transfer(t);
      Invite();
      return;
    case State::kAwaitReportAck:
      SendControl(EOT);
      state_ = State::kAwaitReportEotAck;
      return;
    default:
      return;
  }
}

void SimulatedServer::OnFrame(const std::string& frame, bool misaligned) {
  if (state_ == State::kAwaitRecord || state_ == State::kAwaitRecordEot) {
    if (misaligned || JudgeFrame(frame, 255) != FrameVerdict::kGood) {
      SendControl(NAK);
      return;
    }
    if (state_ == State::kAwaitRecord) {
      OnRecord(FrameData(frame));
      state_ = State::kAwaitRecordEot;
      ScheduleIdleCheck();
    }
    SendControl(ACK);
    return;
  }
  if (state_ != State::kReceivingData) return;
  const FrameVerdict verdict =
      misaligned ? FrameVerdict::kBadChecksum : JudgeFrame(frame, last_number_);
  if (verdict == FrameVerdict::kPrevious) {
    SendControl(ACK);
  } else if (verdict != FrameVerdict::kGood) {
    SendControl(NAK);
  } else {
    ServerTransfer& t = transfers_.back();
    Keep(t.base_name);
    store_->Append(t.base_name, FrameData(frame));
    last_number_ = Byte(frame[1]);
    ++t.frames;
    SendControl(ACK);
    if (t.frames == faults_.line_loss_after_frames) CutLine();
  }
}

void SimulatedServer::OnRecord(std::string_view record) {
  ServerTransfer t;
  t.record = std::string(record);
  t.user = Trimmed(record.substr(4, 40));
  t.password = Trimmed(record.substr(44, 40));
  t.base_name = Trimmed(record.substr(84, 17));
  t.sens = record[OpeningRecord::kStatusAt + 1];
  t.reprise = record[OpeningRecord::kRepriseAt];
  t.pack_type = record[OpeningRecord::kRepriseAt + 1];
  t.requested_position = t.reprise == '1' ? ReadPosition(record).Blocks() : 0;
  request_ = t.record;
  t.status = Judge(t);
  if (t.sens == 'R') {
    t.position = script_.receive_position.value_or(t.requested_position);
    if (t.status == 0) {
      next_block_ = std::max<std::int64_t>(t.position, 0);
      end_block_ = store_->Blocks(t.base_name);
      serve_number_ = 0;
      ignore_acks_ = 0;
      frames_served_ = 0;
    }
  } else {
    const std::int64_t held = t.status == 0 ? Held(t.base_name) : 0;
    t.position = script_.send_position ? *script_.send_position : script_.resume_sends ? held : 0;
    keep_blocks_.reset();
    if (t.status == 0) keep_blocks_ = std::clamp<std::int64_t>(t.position, 0, held);
  }
  transfers_.push_back(std::move(t));
  if (on_transfer) on_transfer(transfers_.back());
}

void SimulatedServer::Keep(const std::string& name) {
  if (keep_blocks_) store_->Truncate(name, *keep_blocks_);
  keep_blocks_.reset();
}

std::uint8_t SimulatedServer::Judge(const ServerTransfer& t) {
  // A name that is hidden, holds a path or a byte no file name holds is never
  // stored nor served, whatever the script says: the store may be a plain
  // folder, and such a name reaches outside its files (".profile", "../x").
  // Nor is a name that stands for something else than a file in the store.
  if (!ServerStore::StorableName(t.base_name) || (t.sens == 'E' && !store_->Takes(t.base_name)))
    return t.sens == 'R' ? 6 : 8;  // svFileNotExists, svFalseQualification
  if (script_.status) return *script_.status;
  const std::string_view record = t.record;
  if (record.substr(0, 4) != "V2.0" || record.substr(104, 4) != "0128" ||
      !ControlPartMatches(record))
    return 1;  // svFalseProtocol
  if (!script_.users.empty()) {
    const auto it = script_.users.find(t.user);
    if (it == script_.users.end()) return 2;  // svFalseUser
    if (it->second != t.password) return 3;   // svFalsePassWord
  }
  if (t.sens != 'E' && t.sens != 'R') return 4;  // svFalseSens
  if (t.sens == 'R') {
    if (!store_->Exists(t.base_name)) return 6;  // svFileNotExists
    if (t.requested_position < 0 || t.requested_position > store_->Blocks(t.base_name))
      return 5;  // svFalseReprise
  }
  return 0;
}

std::string SimulatedServer::AnswerFrame(std::uint8_t status, std::int64_t position) const {
  std::string data = request_;
  data[OpeningRecord::kStatusAt] = static_cast<char>(status);
  data[OpeningRecord::kRepriseAt] = position > 0 ? '1' : '0';
  const std::string bytes = EncodePosition(position);
  std::copy(bytes.begin(), bytes.end(), data.begin() + OpeningRecord::kPositionHighAt);
  ApplyControlPart(data);
  return BuildFrame(0, data);
}

void SimulatedServer::SendNextDataFrame() {
  if (next_block_ >= end_block_) {
    SendControl(EOT);
    state_ = State::kAwaitFinalAck;
    return;
  }
  const ServerTransfer& t = transfers_.back();
  serve_number_ = static_cast<std::uint8_t>(serve_number_ + 1);
  ++frames_served_;
  const std::string frame = BuildFrame(serve_number_, store_->Block(t.base_name, next_block_));
  ++next_block_;
  SendFrame(frame, frames_served_ == faults_.corrupt_frame);
  if (frames_served_ == faults_.repeat_frame) {
    Transmit(last_message_, true, false);
    ignore_acks_ = 1;
  }
}

void SimulatedServer::Invite() {
  state_ = State::kAwaitRecord;
  ++generation_;
  rx_.clear();
  misaligned_ = false;
  SendControl(NAK);
  ScheduleInvite(generation_, script_.invite_repeats);
}

void SimulatedServer::ScheduleInvite(unsigned generation, int left) {
  if (left <= 0) return;
  line_.After(script_.invite_interval,
              [this, alive = std::weak_ptr<bool>(alive_), generation, left] {
                if (alive.expired() || generation != generation_) return;
                if (state_ != State::kAwaitRecord) return;
                SendControl(NAK);
                ScheduleInvite(generation, left - 1);
              });
}

void SimulatedServer::ScheduleIdleCheck() {
  if (idle_check_pending_) return;
  idle_check_pending_ = true;
  line_.After(
      script_.idle_timeout, [this, alive = std::weak_ptr<bool>(alive_), activity = activity_] {
        if (alive.expired()) return;
        idle_check_pending_ = false;
        if (state_ == State::kStopped || state_ == State::kCut || state_ == State::kAwaitRecord)
          return;
        // Nothing heard for a whole period: the client has given up.
        if (activity == activity_) {
          Invite();
        } else {
          ScheduleIdleCheck();
        }
      });
}

void SimulatedServer::CutLine() {
  state_ = State::kCut;
  ++generation_;
  line_.SetCts(false);
  line_.SetCd(false);
}

void SimulatedServer::SendControl(char c) {
  const char bytes[] = {c, CR};
  last_message_.assign(bytes, 2);
  last_is_frame_ = false;
  Transmit(last_message_, false, false);
}

void SimulatedServer::SendFrame(std::string frame, bool corrupt_checksum) {
  frame.push_back(CR);
  last_message_ = std::move(frame);
  last_is_frame_ = true;
  Transmit(last_message_, true, corrupt_checksum);
}

std::uint32_t SimulatedServer::Draw(std::uint32_t bound) {
  return static_cast<std::uint32_t>(random_() % bound);
}

bool SimulatedServer::Chance(double p) {
  if (p <= 0.0) return false;
  return static_cast<double>(random_()) < p * 4294967296.0;
}

void SimulatedServer::Transmit(std::string bytes, bool is_frame, bool corrupt_checksum) {
  if (faults_.silent_after_messages >= 0 && messages_sent_ >= faults_.silent_after_messages) return;
  ++messages_sent_;
  const bool spoil_checksum = corrupt_checksum && bytes.size() == kFrameSize;
  const bool spoil_byte = is_frame && Chance(faults_.corrupt);
  const std::uint8_t number = is_frame ? Byte(bytes[1]) : 0;
  const std::uint8_t complement = is_frame ? Byte(bytes[2]) : 0;
  if (spoil_checksum) bytes[kFrameSize - 2] ^= 0x5A;
  if (spoil_byte) {
    const std::size_t at = 1 + Draw(static_cast<std::uint32_t>(bytes.size() - 2));
    bytes[at] = static_cast<char>(Byte(bytes[at]) ^ (1 + Draw(255)));
  }
  if ((spoil_checksum || spoil_byte) && bytes.size() == kFrameSize) {
    if (Byte(bytes[1]) == number && Byte(bytes[2]) == complement &&
        Checksum(FrameData(bytes)) == Byte(bytes[kFrameSize - 2]))
      ++events_.frames_still_summing;
    if (Byte(bytes[1]) == static_cast<std::uint8_t>(number - 1)) ++events_.frames_renumbered_back;
  }
  if ((!is_frame || faults_.drop_in_frames) && Chance(faults_.drop)) {
    bytes.erase(Draw(static_cast<std::uint32_t>(bytes.size())), 1);
    if (is_frame) ++events_.frames_short;
  }
  if (Chance(faults_.noise)) {
    std::string noise;
    const int count =
        1 +
        static_cast<int>(Draw(static_cast<std::uint32_t>(std::max(faults_.noise_max_bytes, 1))));
    while (static_cast<int>(noise.size()) < count) {
      const auto b = static_cast<unsigned char>(Draw(256));
      if (!IsControl(b)) noise.push_back(static_cast<char>(b));
    }
    bytes.insert(0, noise);
  }
  if (script_.reply_delay == Clock::Duration::zero()) {
    line_.SendToHost(bytes);
    return;
  }
  line_.After(script_.reply_delay,
              [this, alive = std::weak_ptr<bool>(alive_), bytes = std::move(bytes)] {
                if (!alive.expired()) line_.SendToHost(bytes);
              });
}

}  // namespace xmodemquarvel::sim
