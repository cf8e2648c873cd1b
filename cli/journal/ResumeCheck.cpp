#include "journal/ResumeCheck.h"

#include "system/Records.h"
#include "terminal/Timestamps.h"

namespace xmodemq {
namespace {

constexpr std::size_t kPrefix = RecordDigests::kPrefixSize;

std::string Blocks(std::int64_t n) {
  return std::to_string(n) + (n > 1 ? " blocs" : " bloc");
}

// The digest of the first `records` records among `prefixes`.
std::string PrefixAt(const std::string& prefixes, std::int64_t records) {
  return prefixes.substr(static_cast<std::size_t>(records - 1) * kPrefix, kPrefix);
}

}  // namespace

ResumeCheck CheckResume(const std::string& name, const std::string& file, const RecordDigests& now,
                        std::int64_t held, const std::optional<SentVersion>& last,
                        bool journal_kept) {
  if (!last)
    return {ResumeVerdict::kUnknown,
            std::string(journal_kept ? "le journal ne connaît aucun envoi de " + name +
                                           " à ce serveur pour cet utilisateur"
                                     : "sans journal (--no-journal)") +
                " : impossible de vérifier que ces " + Blocks(held) + " sont les premiers de " +
                file};
  const std::string when = "le " + LocalTime(last->started);
  const ResumeCheck same{ResumeVerdict::kSame, "Le journal confirme que ce sont les " +
                                                   Blocks(held) + " de " + name + " envoyés " +
                                                   when + ", les premiers de ce fichier"};
  const ResumeCheck other{
      ResumeVerdict::kOther,
      "le serveur détient " + Blocks(held) + " d'une autre version de " + name + " que " + file +
          " (celle envoyée " + when + " depuis " + last->file +
          ") : les compléter avec la suite de ce fichier mêlerait les deux versions. L'envoi est "
          "arrêté avant toute donnée. Faites supprimer " +
          name + " du serveur puis relancez l'envoi, ou envoyez ce fichier sous un autre nom"};
  // A server that holds more than this file has is not holding this file.
  if (held > now.Records()) return other;
  const std::string ours = PrefixAt(now.Prefixes(), held);
  if (!last->prefixes.empty()) {
    if (held > static_cast<std::int64_t>(last->prefixes.size() / kPrefix)) return other;
    return ours == PrefixAt(last->prefixes, held) ? same : other;
  }
  // A send that ended well keeps only its whole file's digest: the server
  // then holds that whole file.
  const std::int64_t sent = last->bytes.value_or(0) / kRecord;
  if (held > sent) return other;
  if (held == sent && last->sha256)
    return Hex(ours) == last->sha256->substr(0, 2 * kPrefix) ? same : other;
  return {ResumeVerdict::kUnknown, "le dernier envoi de " + name + " (" + when +
                                       ") s'est terminé avec " + Blocks(sent) +
                                       " : le journal ne peut pas vérifier ces " + Blocks(held)};
}

}  // namespace xmodemq
