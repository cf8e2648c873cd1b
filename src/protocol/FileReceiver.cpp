#include "protocol/FileReceiver.h"

#include <optional>

#include "protocol/Frame.h"
#include "protocol/LocalFiles.h"
#include "protocol/OpeningRecord.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel::protocol {

namespace {

constexpr char kAckLine[] = {ACK, CR};
// What the three position bytes of a request can express.
constexpr std::int64_t kMaxResumeBlocks = (std::int64_t{1} << 24) - 1;

}  // namespace

ReturnValues FileReceiver::ReceiveFile(const std::string& UserId, const std::string& PSW,
                                       const std::string& FileName, const std::string& PackType,
                                       std::optional<int> descriptor) {
  f_.Error().Source = "Xmodem: ReceiveFile";
  f_.Result = rvTrue;

  // Closed on every return, failures and exceptions included.
  std::optional<BlockAppender> file;
  const auto open_failure = [&] {
    file.reset();
    hang_up_.Disconnect();
    f_.Error().Description = "Erreur ouverture " + FileName;
    f_.Result = rvFalse;
    return f_.Result;
  };

  opening_.Record.Reprise.Assign("0");
  opening_.Record.RecordPositionHigh.AssignBytes({});
  opening_.Record.RecordPositionLow.AssignBytes({});
  f_.BlocCount = 0;
  if (descriptor || PathExists(FileName)) {
    file = descriptor ? BlockAppender::Borrow(*descriptor) : BlockAppender::OpenExisting(FileName);
    if (!file) return open_failure();
    const auto size = file->Size();
    if (!size) return open_failure();
    // A file whose size is not a multiple of 128 (never one written here) is
    // counted to the nearest block, and what follows goes after all its bytes.
    const std::int64_t blocks = RoundedBlockCount(*size);
    if (blocks > kMaxResumeBlocks) return open_failure();
    f_.BlocCount = static_cast<int32_t>(blocks);
    if (f_.BlocCount > 0) {
      f_.PositionHigh = f_.BlocCount / 256;
      f_.PositionLow = f_.BlocCount % 256;
      opening_.Record.Reprise.Assign("1");
      // The high part goes low byte first.
      const char high[] = {static_cast<char>(f_.PositionHigh % 256),
                           static_cast<char>(f_.PositionHigh / 256)};
      const char low = static_cast<char>(f_.PositionLow);
      opening_.Record.RecordPositionHigh.AssignBytes({high, 2});
      opening_.Record.RecordPositionLow.AssignBytes({&low, 1});
    }
  }

  f_.Result = opening_.OpenTransfer(UserId, PSW, FileName, "R", PackType);
  if (f_.Result != rvTrue) return f_.Result;

  const auto status = Byte(opening_.Record.Status.View()[0]);
  if (status != 0) {
    // Acknowledge the response, wait for its EOT, acknowledge that. When the
    // EOT does not come the line is already dropped: the failure of that wait
    // is what the host gets, and no acknowledgement is written.
    if (link_.SendAndWait(std::string_view(&ACK, 1), EOT) != rvTrue) return f_.Result;
    Modem.Output(std::string_view(kAckLine, 2));
    f_.Error().Description = RefusalDescription(status);
    f_.Result = rvRefuse;
    return f_.Result;
  }

  // The data go on after the blocks the server names. Beyond what is held,
  // or below zero, they would leave a gap or make no sense: the transfer ends
  // with the file untouched.
  const std::int64_t held = f_.BlocCount;
  const std::int64_t answered = std::int64_t{f_.PositionHigh} * 256 + f_.PositionLow;
  if (answered < 0 || answered > held) {
    hang_up_.Disconnect();
    f_.Error().Description = ResumeBeyondDescription(answered, held);
    f_.Result = rvFalse;
    return f_.Result;
  }
  events_.Accepted('R');
  // A server that resumes earlier than asked (from the start, when it declines
  // the resume) gets its blocks after the ones it names, not after all.
  if (answered < held) {
    file->Truncate(answered * static_cast<std::int64_t>(kDataSize));
    f_.BlocCount = static_cast<int32_t>(answered);
  }

  // Created only now that the server has accepted. A file that existed at the
  // start stays the one written to, even if its name was taken away meanwhile.
  if (!file) file = BlockAppender::Create(FileName);

  // The response was frame 0.
  f_.BlocNumber = 0;
  for (;;) {
    f_.Result = link_.SendAndWait(std::string_view(&ACK, 1), SOH);
    if (f_.Result != rvTrue) break;
    if (f_.RxBuffer.size() != kFrameSize) {
      Modem.Output(std::string_view(kAckLine, 2));
      break;
    }
    file->Append(FrameData(f_.RxBuffer));
    f_.BlocNumber = (f_.BlocNumber + 1) % 256;
    ++f_.BlocCount;
    events_.BlockMoved('R');
  }
  return f_.Result;
}

}  // namespace xmodemquarvel::protocol
