#include "system/FileErrors.h"

#include <cerrno>
#include <cstring>

namespace xmodemq {

std::string ErrnoText(int error) {
  switch (error) {
    case ENOSPC:
      return "disque plein";
    case EDQUOT:
      return "quota de disque dépassé";
    case EACCES:
    case EPERM:
      return "accès refusé";
    case ENOENT:
      return "fichier ou dossier introuvable";
    case ENOTDIR:
      return "un élément du chemin n'est pas un dossier";
    case EISDIR:
      return "c'est un dossier";
    case EROFS:
      return "système de fichiers en lecture seule";
    case EIO:
      return "erreur d'entrée-sortie du disque";
    case EFBIG:
      return "fichier trop grand";
    case ENAMETOOLONG:
      return "nom trop long";
    case ELOOP:
      return "trop de liens symboliques";
    case EEXIST:
      return "existe déjà";
    case EBUSY:
    case ETXTBSY:
      return "fichier occupé";
    case EMFILE:
    case ENFILE:
      return "trop de fichiers ouverts";
    case ENOMEM:
      return "mémoire insuffisante";
    case EXDEV:
      return "pas sur le même système de fichiers";
    case ENXIO:
      return "périphérique absent ou non configuré";
    case ENODEV:
      return "aucun périphérique de ce type";
    case EAGAIN:
      return "ressource momentanément indisponible";
    case ETIMEDOUT:
      return "délai de connexion dépassé";
    case ECONNREFUSED:
      return "connexion refusée";
    case EHOSTUNREACH:
      return "hôte injoignable";
    case ENETUNREACH:
      return "réseau injoignable";
    case ECONNRESET:
      return "connexion interrompue par l'autre bout";
    case EPIPE:
      return "l'autre bout a fermé";
    case EINVAL:
      return "argument invalide";
    case ENOTTY:
      return "ce n'est pas un terminal";
    default:
      // The number alone: the C library's text would be English.
      return "erreur système " + std::to_string(error);
  }
}

std::string FrenchSystemTexts(std::string text) {
  static constexpr int kKnown[] = {
      ENOSPC,       EDQUOT,      EACCES,       EPERM, ENOENT, ENOTDIR, EISDIR,    EROFS,
      EIO,          EFBIG,       ENAMETOOLONG, ELOOP, EEXIST, EBUSY,   ETXTBSY,   EMFILE,
      ENFILE,       ENOMEM,      EXDEV,        ENXIO, ENODEV, EAGAIN,  ETIMEDOUT, ECONNREFUSED,
      EHOSTUNREACH, ENETUNREACH, ECONNRESET,   EPIPE, EINVAL, ENOTTY};
  for (int error : kKnown) {
    // The C library's own words, as the library's messages quote them.
    const std::string english = std::strerror(error);
    for (auto at = text.find(english); at != std::string::npos; at = text.find(english, at))
      text.replace(at, english.size(), ErrnoText(error));
  }
  return text;
}

std::string FileError(const std::string& action, const std::string& path, int error) {
  // "de lire", but "d'écrire" and "d'ouvrir".
  static constexpr const char* kVowels[] = {"a", "e", "i", "o", "u", "é"};
  bool vowel = false;
  for (const char* v : kVowels) vowel = vowel || action.rfind(v, 0) == 0;
  return std::string("Impossible ") + (vowel ? "d'" : "de ") + action + " " + path + " : " +
         ErrnoText(error);
}

}  // namespace xmodemq
