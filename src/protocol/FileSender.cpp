#include "protocol/FileSender.h"

#include "protocol/Frame.h"
#include "protocol/LocalFiles.h"
#include "protocol/TransferText.h"

namespace xmodemquarvel::protocol {

namespace {
constexpr char kAckLine[] = {ACK, CR};
}  // namespace

ReturnValues FileSender::SendFile(const std::string& UserId, const std::string& PSW,
                                  const std::string& FileName, const std::string& PackType) {
  f_.Error().Source = "Xmodem: SendFile";
  f_.Result = rvTrue;

  // The sending side never asks for a resume; the server may still name one.
  opening_.Record.Reprise.Assign("0");
  opening_.Record.RecordPositionHigh.AssignBytes({});
  opening_.Record.RecordPositionLow.AssignBytes({});

  f_.Result = opening_.OpenTransfer(UserId, PSW, FileName, "E", PackType);
  if (f_.Result != rvTrue) return f_.Result;

  // Acknowledge the response and wait for the EOT that closes it.
  f_.Result = link_.SendAndWait(std::string_view(&ACK, 1), EOT);
  if (f_.Result != rvTrue) return f_.Result;

  const auto status = Byte(opening_.Record.Status.View()[0]);
  if (status != 0) {
    Modem.Output(std::string_view(kAckLine, 2));
    f_.Error().Description = RefusalDescription(status);
    f_.Result = rvRefuse;
    return f_.Result;
  }
  events_.Accepted('E');

  // Acknowledge the EOT and wait for the invitation to send the data.
  f_.Result = link_.SendAndWait(std::string_view(&ACK, 1), NAK);
  if (f_.Result != rvTrue) return f_.Result;

  f_.Result = SendFileBlocks(FileName);
  if (f_.Result != rvTrue) return f_.Result;

  // The report comes as frame 0.
  f_.Result = opening_.AskForFrameZero();
  if (f_.Result != rvTrue) return f_.Result;
  const Position reported = ReadPosition(FrameData(f_.RxBuffer));

  f_.Result = link_.SendAndWait(std::string_view(&ACK, 1), EOT);
  if (f_.Result != rvTrue) return f_.Result;
  Modem.Output(std::string_view(kAckLine, 2));

  if (f_.PositionLow == reported.low && f_.PositionHigh == reported.high) return f_.Result;
  f_.Error().Description = "Nombre de blocs recus <> nombre de blocs transmis";
  f_.Result = rvFalse;
  return f_.Result;
}

ReturnValues FileSender::SendFileBlocks(const std::string& FileName) {
  auto file = RecordReader::Open(FileName);
  if (!file) {
    hang_up_.Disconnect();
    f_.Error().Description = "Erreur ouverture " + FileName;
    f_.Result = rvFalse;
    return f_.Result;
  }

  // The blocks that the server already holds are skipped; a negative count
  // skips nothing and is counted on from.
  f_.BlocCount = f_.PositionHigh * 256 + f_.PositionLow;
  if (f_.BlocCount > 0 && !file->Seek(f_.BlocCount)) {
    file.reset();
    hang_up_.Disconnect();
    f_.Error().Description = "Repositionnement en " + std::to_string(f_.BlocCount) + " impossible";
    f_.Result = rvFalse;
    return f_.Result;
  }

  // Data frames are numbered from 1 whatever the resume position.
  f_.BlocNumber = 1;
  std::string record;
  while (file->Next(record)) {
    f_.Result = link_.SendBlock(record);
    if (f_.Result != rvTrue) break;
    f_.BlocNumber = (f_.BlocNumber + 1) % 256;
    if (++f_.PositionLow > 255) {
      f_.PositionLow = 0;
      ++f_.PositionHigh;
    }
    ++f_.BlocCount;
    events_.BlockMoved('E');
  }
  file.reset();

  if (f_.Result == rvTrue) f_.Result = link_.SendAndWait(std::string_view(&EOT, 1), ACK);
  return f_.Result;
}

}  // namespace xmodemquarvel::protocol
