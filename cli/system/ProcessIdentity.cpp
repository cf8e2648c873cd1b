#include "system/ProcessIdentity.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace xmodemq {
namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Field 22 of /proc/PID/stat: when the process started, in clock ticks since
// boot. The fields are counted after the command's name, which may hold
// spaces and brackets and ends at the last ')'.
std::string StartTime(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), {});
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return {};
}

}  // namespace

std::string ThisProcess() {
  return FirstLine("/proc/sys/kernel/random/boot_id") + " " + StartTime("self");
}

bool StillRunning(std::int64_t pid, const std::string& identity) {
  if (pid <= 0) return false;
  const std::string start = StartTime(std::to_string(pid));
  return !start.empty() && identity == FirstLine("/proc/sys/kernel/random/boot_id") + " " + start;
}

}  // namespace xmodemq
