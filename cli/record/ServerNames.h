#pragma once

#include <string>
#include <vector>

namespace xmodemq {

// The name under which the server knows a file ("FACT0001" for
// /data/FACT0001.TXT), refused when empty; a warning when the record cuts it.
// Throws Refusal.
std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings);

// Refuses two files of one call that the server would take for one: their
// names compared as the record carries them (cut to its width) and without
// regard to case. Throws Refusal.
void CheckDistinctServerNames(const std::vector<std::string>& paths);

// The name as the opening record carries it ("FACTURE_JANVIER_2" for
// /data/FACTURE_JANVIER_2024.TXT), and the same in upper case: two files of
// one key are one file to the server.
std::string ServerName(const std::string& path);
std::string ServerNameKey(const std::string& path);

}  // namespace xmodemq
