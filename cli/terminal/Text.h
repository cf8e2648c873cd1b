#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace xmodemq {

// UTF-8 text as the command walks it: the one place that knows how a
// character is laid out in bytes.

// Where the character after the one at `at` starts (its continuation bytes
// skipped); text.size() at the end.
std::size_t NextCharacter(std::string_view text, std::size_t at);
// The length of the well-formed UTF-8 sequence of two bytes or more at `at`,
// or 0 when there is none there.
std::size_t WellFormedLength(std::string_view text, std::size_t at);
// The characters of a text, each as its own bytes.
std::vector<std::string> Characters(std::string_view text);

// Columns that UTF-8 text takes on a terminal: one per character (the command
// writes no wide characters).
std::size_t Columns(std::string_view text);
// The text cut to at most `columns` columns, never inside a character.
std::string FitColumns(std::string_view text, std::size_t columns);
// The end of `text` in `columns` columns, "…" in front when cut.
std::string KeepEnd(std::string_view text, std::size_t columns);

// The text with each control character (C0, DEL, C1) shown as \xNN:
// printing it never drives the terminal.
std::string Visible(std::string_view text);
// "\x1B, \x0A": the control characters of a text, each once; empty when it
// has none.
std::string ControlsIn(std::string_view text);
// Refuses a path holding a control character: every message shows it.
// Throws Refusal.
void CheckNoControlCharacters(const std::string& what, const std::string& path);

// "5 242 896": digits in groups of three.
std::string GroupDigits(int64_t value);

}  // namespace xmodemq
