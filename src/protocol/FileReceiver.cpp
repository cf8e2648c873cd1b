#include <optional>

#include "component/ModuleXmodemImpl.h"
#include "protocol/Frame.h"
#include "protocol/LocalFiles.h"
#include "protocol/OpeningRecord.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel {

using namespace protocol;

namespace {

constexpr char kAckLine[] = {ACK, CR};
// What the three position bytes of a request can express.
constexpr std::int64_t kMaxResumeBlocks = (std::int64_t{1} << 24) - 1;

}  // namespace

ReturnValues ModuleXmodem::Impl::ReceiveFile(const std::string& UserId, const std::string& PSW,
                                             const std::string& FileName,
                                             const std::string& PackType,
                                             std::optional<int> descriptor) {
  error().Source = "Xmodem: ReceiveFile";
  Result = rvTrue;

  // Closed on every return, failures and exceptions included.
  std::optional<BlockAppender> file;
  const auto open_failure = [&] {
    file.reset();
    Disconnect();
    error().Description = "Erreur ouverture " + FileName;
    Result = rvFalse;
    return Result;
  };

  Record.Reprise.Assign("0");
  Record.RecordPositionHigh.AssignBytes({});
  Record.RecordPositionLow.AssignBytes({});
  BlocCount = 0;
  if (descriptor || PathExists(FileName)) {
    file = descriptor ? BlockAppender::Borrow(*descriptor) : BlockAppender::OpenExisting(FileName);
    if (!file) return open_failure();
    const auto size = file->Size();
    if (!size) return open_failure();
    // A file whose size is not a multiple of 128 (never one written here) is
    // counted to the nearest block, and what follows goes after all its bytes.
    const std::int64_t blocks = RoundedBlockCount(*size);
    if (blocks > kMaxResumeBlocks) return open_failure();
    BlocCount = static_cast<int32_t>(blocks);
    if (BlocCount > 0) {
      PositionHigh = BlocCount / 256;
      PositionLow = BlocCount % 256;
      Record.Reprise.Assign("1");
      // The high part goes low byte first.
      const char high[] = {static_cast<char>(PositionHigh % 256),
                           static_cast<char>(PositionHigh / 256)};
      const char low = static_cast<char>(PositionLow);
      Record.RecordPositionHigh.AssignBytes({high, 2});
      Record.RecordPositionLow.AssignBytes({&low, 1});
    }
  }

  Result = OpenTransfer(UserId, PSW, FileName, "R", PackType);
  if (Result != rvTrue) return Result;

  const auto status = Byte(Record.Status.View()[0]);
  if (status != 0) {
    // Acknowledge the response, wait for its EOT, acknowledge that. When the
    // EOT does not come the line is already dropped: the failure of that wait
    // is what the host gets, and no acknowledgement is written.
    if (SendAndWait(std::string_view(&ACK, 1), EOT) != rvTrue) return Result;
    Modem.Output(std::string_view(kAckLine, 2));
    error().Description = RefusalDescription(status);
    Result = rvRefuse;
    return Result;
  }

  // The data go on after the blocks the server names. Beyond what is held,
  // or below zero, they would leave a gap or make no sense: the transfer ends
  // with the file untouched.
  const std::int64_t held = BlocCount;
  const std::int64_t answered = std::int64_t{PositionHigh} * 256 + PositionLow;
  if (answered < 0 || answered > held) {
    Disconnect();
    error().Description = ResumeBeyondDescription(answered, held);
    Result = rvFalse;
    return Result;
  }
  RaiseTransferAccepted('R');
  // A server that resumes earlier than asked (from the start, when it declines
  // the resume) gets its blocks after the ones it names, not after all.
  if (answered < held) {
    file->Truncate(answered * static_cast<std::int64_t>(kDataSize));
    BlocCount = static_cast<int32_t>(answered);
  }

  // Created only now that the server has accepted. A file that existed at the
  // start stays the one written to, even if its name was taken away meanwhile.
  if (!file) file = BlockAppender::Create(FileName);

  // The response was frame 0.
  BlocNumber = 0;
  for (;;) {
    Result = SendAndWait(std::string_view(&ACK, 1), SOH);
    if (Result != rvTrue) break;
    if (RxBuffer.size() != kFrameSize) {
      Modem.Output(std::string_view(kAckLine, 2));
      break;
    }
    file->Append(FrameData(RxBuffer));
    BlocNumber = (BlocNumber + 1) % 256;
    ++BlocCount;
    RaiseBloc(owner.BlocReceived);
  }
  return Result;
}

}  // namespace xmodemquarvel
