#include "platform/LineSettings.h"

#include <termios.h>

#include <array>
#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

namespace xmodemquarvel {
namespace {

constexpr std::array<std::pair<int32_t, unsigned>, 30> kSpeeds = {{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const auto comma = text.find(',', start);
    parts.push_back(
        text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool ParseNumber(std::string_view s, int32_t& out) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  std::from_chars(s.data(), s.data() + s.size(), out);
  return true;
}

std::optional<LineSettings> Fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return std::nullopt;
}

}  // namespace

unsigned TermiosSpeed(int32_t baud) {
  for (const auto& [rate, speed] : kSpeeds)
    if (rate == baud) return speed;
  return 0;
}

std::optional<LineSettings> LineSettings::Parse(std::string_view text, std::string* why) {
  const auto parts = Split(text);
  if (parts.size() != 4)
    return Fail(why, "Paramètres de ligne attendus sous la forme vitesse,parité,données,arrêt");
  LineSettings s;
  if (!ParseNumber(Trim(parts[0]), s.baud))
    return Fail(why, "Vitesse invalide : " + std::string(parts[0]));
  if (TermiosSpeed(s.baud) == 0)
    return Fail(why, "Vitesse non prise en charge : " + std::string(parts[0]));
  const auto parity = Trim(parts[1]);
  if (parity.size() != 1) return Fail(why, "Parité invalide : " + std::string(parts[1]));
  s.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity[0])));
  if (std::string_view("NEOMS").find(s.parity) == std::string_view::npos)
    return Fail(why, "Parité invalide : " + std::string(parts[1]));
  int32_t data = 0;
  if (!ParseNumber(Trim(parts[2]), data) || data < 5 || data > 8)
    return Fail(why, "Nombre de bits de données invalide : " + std::string(parts[2]));
  s.data_bits = data;
  const auto stop = Trim(parts[3]);
  if (stop == "1") {
    s.stop_halves = 2;
  } else if (stop == "1.5" && data == 5) {
    s.stop_halves = 3;
  } else if (stop == "2" && data >= 6) {
    s.stop_halves = 4;
  } else {
    return Fail(why, "Nombre de bits d'arrêt invalide : " + std::string(parts[3]));
  }
  return s;
}

std::string LineSettings::ToString() const {
  const char* stop = stop_halves == 2 ? "1" : stop_halves == 3 ? "1.5" : "2";
  return std::to_string(baud) + "," + parity + "," + std::to_string(data_bits) + "," + stop;
}

}  // namespace xmodemquarvel
