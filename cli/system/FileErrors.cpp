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
    default:
      return "erreur système " + std::to_string(error) + " (" + std::strerror(error) + ")";
  }
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
