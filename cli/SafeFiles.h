#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xmodemq {

// Checks made before a call is dialled or a file written. Each throws Refusal
// with a message that says what is wrong and what to do.

// A text that travels in a field of `width` bytes of the opening record, in
// the line's code page: refused when it holds a control character (an escape
// sequence, a line feed) or a character that cannot be carried (the
// component would send '?'); a warning added when the field will cut it.
// `what` names it ("l'identifiant"); a `secret` text is never shown.
void CheckLineText(const std::string& what, const std::string& text, std::size_t width, bool secret,
                   std::vector<std::string>& warnings);

// The name under which the server knows a file ("FACT0001" for
// /data/FACT0001.TXT), refused when empty; a warning when the record cuts it.
std::string CheckServerName(const std::string& path, std::vector<std::string>& warnings);

// Refuses two files of one call that the server would take for one: their
// names compared as the record carries them (cut to 17 characters) and
// without regard to case.
void CheckDistinctServerNames(const std::vector<std::string>& paths);

// Refuses a path holding a control character: every message shows it.
void CheckNoControlCharacters(const std::string& what, const std::string& path);

// Refuses a device reached through a symbolic link that belongs to another
// user (neither root nor the caller): whoever owns the link chooses where the
// call, and the password, go. Remote lines (rfc2217://) are not paths.
void CheckDeviceLinks(const std::string& device);

// The text with each control character shown as \xNN: printing it never
// drives the terminal.
std::string Visible(const std::string& text);

// "5 242 896": digits in groups of three.
std::string GroupDigits(int64_t value);

// Creates or replaces `path` with `bytes`, 0600 for a new file, on disk when
// it returns; a symbolic link is not followed. Throws FileFailure.
void WriteWholeFile(const std::string& path, const std::string& bytes);

// The folder part of a path ("." for a bare name) and its last component.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

}  // namespace xmodemq
