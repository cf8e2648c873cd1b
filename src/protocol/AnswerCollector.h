#pragma once

#include <string>

namespace xmodemquarvel::protocol {

// Takes one byte of an answer into `rx`, by the rules that depend on what `rx`
// already holds: only SOH, EOT, ACK or NAK start an answer; a control answer is
// complete on its CR, which is not kept; a frame takes any byte up to its
// 132nd and is complete, with 133 bytes, on a CR; other bytes are dropped.
// Returns true when the answer is complete. Does no I/O, so the component and
// the simulated server collect the same way.
bool CollectAnswerByte(std::string& rx, char c);

// The collection of one attempt's answer by the component. Where a data frame
// is awaited, an EOT is the end of the file, and a false one would end a
// receive early: a stray EOT byte before a frame, or the number 4 of a frame
// whose SOH was lost, followed later by a CR of that frame. So there a control
// answer (EOT, ACK or NAK) is only its byte and the CR that follows at once:
// a control byte followed by anything else is dropped, and that byte is taken
// afresh as the first byte of an answer, so a stray byte before a frame costs
// nothing and the data of a frame that lost its SOH do not read as several
// answers (each of which the server would take as one from us, running ahead
// of what we received). An EOT is moreover clean only when no byte was dropped
// since the attempt began; one completed after dropped bytes is complete but
// not clean, which the caller judges a wrong answer (the server is asked
// again). Where ACK, NAK or EOT is awaited the collection is CollectAnswerByte's
// alone.
class AnswerCollector {
 public:
  explicit AnswerCollector(bool frame_expected) : frame_expected_(frame_expected) {}

  // A new attempt: `rx` is emptied and nothing has been dropped yet.
  void Begin(std::string& rx) {
    rx.clear();
    dropped_ = false;
    clean_ = true;
  }
  // As CollectAnswerByte; true when the answer is complete.
  bool Take(std::string& rx, char c);
  // False for a complete EOT that came after dropped bytes where a frame is
  // awaited: not an end of file.
  bool Clean() const { return clean_; }

 private:
  bool frame_expected_;
  bool dropped_ = false;
  bool clean_ = true;
};

}  // namespace xmodemquarvel::protocol
