#include "protocol/OpeningExchange.h"

#include "component/CodePage.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel::protocol {

ReturnValues OpeningExchange::AskForFrameZero() {
  // The frame must carry number 0, the one after 255.
  f_.BlocNumber = 255;
  f_.Result = link_.SendAndWait(std::string_view(&NAK, 1), SOH);
  if (f_.Result != rvTrue) return f_.Result;
  // The line stays up: the server is there, it only answered out of turn.
  if (f_.RxBuffer.size() != kFrameSize) {
    f_.Error().Description = "Réponse inattendue du distant";
    f_.Result = rvFalse;
  }
  return f_.Result;
}

ReturnValues OpeningExchange::OpenTransfer(const std::string& UserId, const std::string& PSW,
                                           const std::string& FileName, const std::string& Sens,
                                           const std::string& PackType) {
  // Reprise and the position fields keep what the caller put there.
  Record.Version.Assign("V2.0");
  Record.UserId.Assign(Utf8ToCp1252(UserId));
  Record.PSW.Assign(Utf8ToCp1252(PSW));
  Record.BaseName.Assign(Utf8ToCp1252(BaseNameOf(FileName)));
  Record.Filler1.Assign("   ");
  Record.BlockSize.Assign("0128");
  Record.Status.AssignBytes({});
  Record.Sens.Assign(Utf8ToCp1252(Sens));
  Record.PackType.Assign(Utf8ToCp1252(PackType));
  Record.Filler2.Assign("    ");
  Record.Control.AssignBytes("CA0");

  // The control part goes into the request only; the fields keep "CA0" and NULs.
  std::string request = Record.Join();
  ApplyControlPart(request);

  f_.Result = link_.SendAndWait({}, NAK);
  if (f_.Result != rvTrue) return f_.Result;

  f_.BlocNumber = 0;
  f_.Result = link_.SendBlock(request);
  if (f_.Result != rvTrue) return f_.Result;

  f_.Result = link_.SendAndWait(std::string_view(&EOT, 1), ACK);
  if (f_.Result != rvTrue) return f_.Result;

  f_.Result = AskForFrameZero();
  if (f_.Result != rvTrue) return f_.Result;

  const std::string_view response = FrameData(f_.RxBuffer);
  Record.Status.AssignBytes(response.substr(OpeningRecord::kStatusAt, 1));
  Record.Reprise.AssignBytes(response.substr(OpeningRecord::kRepriseAt, 1));
  Record.RecordPositionHigh.AssignBytes(response.substr(OpeningRecord::kPositionHighAt, 2));
  Record.RecordPositionLow.AssignBytes(response.substr(OpeningRecord::kPositionLowAt, 1));
  const Position position = ReadPosition(response);
  f_.PositionHigh = position.high;
  f_.PositionLow = position.low;
  return f_.Result;
}

}  // namespace xmodemquarvel::protocol
