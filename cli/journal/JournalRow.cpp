#include "journal/JournalRow.h"

#include "system/ProcessIdentity.h"
#include "terminal/Json.h"

namespace xmodemq {

std::string ResultNow(const JournalRow& row) {
  if (row.result) return *row.result;
  if (StillRunning(row.pid, row.process)) return "running";
  return row.direction == "send" && !row.line.empty() ? "unknown" : "interrupted";
}

std::string RowJson(const JournalRow& row) {
  return JsonObject()
      .Add("id", row.id)
      .Add("call_id", row.call_id)
      .Add("started", row.started)
      .Add("ended", row.ended)
      .Add("direction", row.direction)
      .Add("file", row.file)
      .Add("server_name", row.server_name)
      .Add("server", row.server)
      .Add("user", row.user)
      .Add("line", row.line)
      .Add("bytes", row.bytes)
      .Add("blocks", row.blocks)
      .Add("sha256", row.sha256)
      .Add("resumed_from", row.resumed_from)
      .Add("result", ResultNow(row))
      .Add("description", row.description)
      .Add("exit_status", row.exit_status)
      .Add("again", row.again)
      .Text();
}

}  // namespace xmodemq
