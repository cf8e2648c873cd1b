#include "component/ModuleXmodemImpl.h"
#include "protocol/Frame.h"
#include "protocol/LocalFiles.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel {

using namespace protocol;

namespace {
constexpr char kAckLine[] = {ACK, CR};
}  // namespace

ReturnValues ModuleXmodem::Impl::SendFile(const std::string& UserId, const std::string& PSW,
                                          const std::string& FileName,
                                          const std::string& PackType) {
  error().Source = "Xmodem: SendFile";
  Result = rvTrue;

  // The sending side never asks for a resume; the server may still name one.
  Record.Reprise.Assign("0");
  Record.RecordPositionHigh.AssignBytes({});
  Record.RecordPositionLow.AssignBytes({});

  Result = OpenTransfer(UserId, PSW, FileName, "E", PackType);
  if (Result != rvTrue) return Result;

  // Acknowledge the response and wait for the EOT that closes it.
  Result = SendAndWait(std::string_view(&ACK, 1), EOT);
  if (Result != rvTrue) return Result;

  const auto status = Byte(Record.Status.View()[0]);
  if (status != 0) {
    Modem.Output(std::string_view(kAckLine, 2));
    error().Description = RefusalDescription(status);
    Result = rvRefuse;
    return Result;
  }
  RaiseTransferAccepted('E');

  // Acknowledge the EOT and wait for the invitation to send the data.
  Result = SendAndWait(std::string_view(&ACK, 1), NAK);
  if (Result != rvTrue) return Result;

  Result = SendFileBlocks(FileName);
  if (Result != rvTrue) return Result;

  // The report comes as frame 0.
  Result = AskForFrameZero();
  if (Result != rvTrue) return Result;
  const Position reported = ReadPosition(FrameData(RxBuffer));

  Result = SendAndWait(std::string_view(&ACK, 1), EOT);
  if (Result != rvTrue) return Result;
  Modem.Output(std::string_view(kAckLine, 2));

  if (PositionLow == reported.low && PositionHigh == reported.high) return Result;
  error().Description = "Nombre de blocs recus <> nombre de blocs transmis";
  Result = rvFalse;
  return Result;
}

ReturnValues ModuleXmodem::Impl::SendFileBlocks(const std::string& FileName) {
  auto file = RecordReader::Open(FileName);
  if (!file) {
    Disconnect();
    error().Description = "Erreur ouverture " + FileName;
    Result = rvFalse;
    return Result;
  }

  // The blocks that the server already holds are skipped; a negative count
  // skips nothing and is counted on from.
  BlocCount = PositionHigh * 256 + PositionLow;
  if (BlocCount > 0 && !file->Seek(BlocCount)) {
    file.reset();
    Disconnect();
    error().Description = "Repositionnement en " + std::to_string(BlocCount) + " impossible";
    Result = rvFalse;
    return Result;
  }

  // Data frames are numbered from 1 whatever the resume position.
  BlocNumber = 1;
  std::string record;
  while (file->Next(record)) {
    Result = SendBlock(record);
    if (Result != rvTrue) break;
    BlocNumber = (BlocNumber + 1) % 256;
    if (++PositionLow > 255) {
      PositionLow = 0;
      ++PositionHigh;
    }
    ++BlocCount;
    RaiseBloc(owner.BlocSended);
  }
  file.reset();

  if (Result == rvTrue) Result = SendAndWait(std::string_view(&EOT, 1), ACK);
  return Result;
}

}  // namespace xmodemquarvel
