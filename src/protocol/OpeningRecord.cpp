#include "protocol/OpeningRecord.h"

#include "protocol/Frame.h"

namespace xmodemquarvel {

std::string OpeningRecord::Join() const {
  std::string out;
  out.reserve(kSize);
  for (std::string_view field :
       {Version.View(), UserId.View(), PSW.View(), BaseName.View(), Filler1.View(),
        BlockSize.View(), Status.View(), Sens.View(), Reprise.View(), PackType.View(),
        Filler2.View(), RecordPositionHigh.View(), RecordPositionLow.View(), Control.View()})
    out.append(field);
  return out;
}

std::string ServerBaseName(std::string_view path) {
  return protocol::BaseNameOf(path);
}

namespace protocol {

Position ReadPosition(std::string_view record) {
  const unsigned low_byte = Byte(record[OpeningRecord::kPositionHighAt]);
  const unsigned high_byte = Byte(record[OpeningRecord::kPositionHighAt + 1]);
  Position p;
  p.high = static_cast<std::int16_t>(static_cast<std::uint16_t>(high_byte << 8 | low_byte));
  p.low = Byte(record[OpeningRecord::kPositionLowAt]);
  return p;
}

std::string EncodePosition(std::int64_t blocks) {
  // Floor division keeps the low part in 0..255 for a negative count too.
  std::int64_t high = blocks / 256;
  std::int64_t low = blocks % 256;
  if (low < 0) {
    low += 256;
    high -= 1;
  }
  const auto h = static_cast<std::uint16_t>(high & 0xFFFF);
  std::string out(3, '\0');
  out[0] = static_cast<char>(h & 0xFFu);
  out[1] = static_cast<char>(h >> 8);
  out[2] = static_cast<char>(low);
  return out;
}

std::string BaseNameOf(std::string_view path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.remove_suffix(1);
  const auto slash = path.find_last_of("/\\");
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const auto dot = path.rfind('.');
  if (dot != std::string_view::npos) path = path.substr(0, dot);
  return std::string(path);
}

}  // namespace protocol
}  // namespace xmodemquarvel
