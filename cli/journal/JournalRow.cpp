#include "journal/JournalRow.h"

#include "system/ProcessIdentity.h"
#include "terminal/Json.h"

namespace xmodemq {

std::string ResultNow(const JournalRow& row) {
  if (row.result) return *row.result;
  if (StillRunning(row.pid, row.process)) return "running";
  // A send on its line that the server may hold whole: unless its row says
  // that its last block was never acknowledged (blocks -1, written when it
  // starts and replaced, on disk, before its end goes out).
  return row.direction == "send" && !row.line.empty() && row.blocks != std::int64_t{-1}
             ? "unknown"
             : "interrupted";
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
      .Add("blocks", row.blocks && *row.blocks < 0 ? std::nullopt : row.blocks)
      .Add("sha256", row.sha256)
      .Add("resumed_from", row.resumed_from)
      .Add("result", ResultNow(row))
      .Add("description", row.description)
      .Add("exit_status", row.exit_status)
      .Add("again", row.again)
      .Text();
}

}  // namespace xmodemq
