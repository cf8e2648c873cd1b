#pragma once

#include <stdexcept>
#include <string>

namespace xmodemq {

// A check made before anything is dialled or written failed: nothing was
// touched. The command shows the message and exits 2.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file operation failed once the command had begun: the message names the
// file and the operation; the command exits 1.
class FileFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A signal asked the command to stop while it prepared a transfer, before
// anything was dialled: what it had made is removed.
class Interruption : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What an errno value means to a user, in French ("disque plein").
std::string ErrnoText(int error);

// `text` with the C library's descriptions of the errno values above (which
// the library's messages quote, in English under a C locale) put in French.
std::string FrenchSystemTexts(std::string text);

// "Impossible d'écrire /data/x : disque plein": the operation, the file and
// the reason, as every file error of the command reads.
std::string FileError(const std::string& action, const std::string& path, int error);

}  // namespace xmodemq
