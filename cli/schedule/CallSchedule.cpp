#include "schedule/CallSchedule.h"

#include <algorithm>

#include "terminal/Timestamps.h"

namespace xmodemq {

std::string LocalDayOf(std::time_t when) {
  struct tm local {};
  ::localtime_r(&when, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

std::chrono::seconds Backoff(std::int64_t failures, const SchedulePolicy& policy) {
  std::chrono::seconds wait = policy.retry_min;
  for (std::int64_t i = 1; i < failures && wait < policy.retry_max; ++i) wait *= 2;
  return std::min(wait, policy.retry_max);
}

Verdict Admit(const SchedulePolicy& policy, const CallState& state, std::time_t now, bool forced) {
  if (!state.stopped.empty())
    return {Admission::kStopped,
            "appels arrêtés : " + state.stopped +
                " ; corrigez puis lancez « xmodemq exchange --resume-calls --profile " +
                (policy.profile.empty() ? "..." : policy.profile) + " »"};
  if (forced) return {};
  if (!InsideWindows(policy.windows, now)) {
    const auto next = NextWindowOpening(policy.windows, now);
    return {Admission::kOutsideWindows,
            "hors des fenêtres d'appel" +
                (next ? " ; prochaine ouverture le " + LocalTime(UtcText(*next)) : std::string())};
  }
  if (state.next_call) {
    const auto next = ParseUtc(*state.next_call);
    if (next && now < *next)
      return {Admission::kBackingOff,
              std::to_string(state.failures) +
                  " échec(s) d'appel de suite ; prochain appel possible le " +
                  LocalTime(*state.next_call)};
  }
  if (state.calls_day == LocalDayOf(now) && state.calls_today >= policy.max_calls_per_day)
    return {Admission::kDayFull, std::to_string(state.calls_today) +
                                     " appels aujourd'hui, le maximum du profil "
                                     "(max_calls_per_day) : plus d'appel avant demain"};
  return {};
}

void NoteCall(CallState& state, const SchedulePolicy& policy, CallResult result,
              const std::string& outcome, std::time_t started, std::time_t ended,
              const std::string& why) {
  if (result == CallResult::kNone) return;
  state.last_call = UtcText(started);
  state.last_result = outcome;
  const std::string day = LocalDayOf(started);
  state.calls_today = state.calls_day == day ? state.calls_today + 1 : 1;
  state.calls_day = day;
  if (result == CallResult::kFailed) {
    if (state.failures++ == 0) state.failing_since = UtcText(started);
    state.next_call = UtcText(ended + Backoff(state.failures, policy).count());
    return;
  }
  state.failures = 0;
  state.failing_since.reset();
  state.next_call.reset();
  if (result == CallResult::kAccountRefused) state.stopped = why;
}

}  // namespace xmodemq
