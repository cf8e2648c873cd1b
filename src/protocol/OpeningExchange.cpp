#include "component/CodePage.h"
#include "component/ModuleXmodemImpl.h"
#include "protocol/ControlDigits.h"
#include "protocol/Frame.h"

namespace xmodemquarvel {

using namespace protocol;

ReturnValues ModuleXmodem::Impl::AskForFrameZero() {
  // The frame must carry number 0, the one after 255.
  BlocNumber = 255;
  Result = SendAndWait(std::string_view(&NAK, 1), SOH);
  if (Result != rvTrue) return Result;
  // The line stays up: the server is there, it only answered out of turn.
  if (RxBuffer.size() != kFrameSize) {
    error().Description = "Réponse inattendue du distant";
    Result = rvFalse;
  }
  return Result;
}

ReturnValues ModuleXmodem::Impl::OpenTransfer(const std::string& UserId, const std::string& PSW,
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

  Result = SendAndWait({}, NAK);
  if (Result != rvTrue) return Result;

  BlocNumber = 0;
  Result = SendBlock(request);
  if (Result != rvTrue) return Result;

  Result = SendAndWait(std::string_view(&EOT, 1), ACK);
  if (Result != rvTrue) return Result;

  Result = AskForFrameZero();
  if (Result != rvTrue) return Result;

  const std::string_view response = FrameData(RxBuffer);
  Record.Status.AssignBytes(response.substr(OpeningRecord::kStatusAt, 1));
  Record.Reprise.AssignBytes(response.substr(OpeningRecord::kRepriseAt, 1));
  Record.RecordPositionHigh.AssignBytes(response.substr(OpeningRecord::kPositionHighAt, 2));
  Record.RecordPositionLow.AssignBytes(response.substr(OpeningRecord::kPositionLowAt, 1));
  const Position position = ReadPosition(response);
  PositionHigh = position.high;
  PositionLow = position.low;
  return Result;
}

}  // namespace xmodemquarvel
