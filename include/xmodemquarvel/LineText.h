#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "xmodemquarvel/Export.h"

/// @file
/// The texts that travel in the opening record of a transfer, for a host that
/// checks them before it dials: the line's code page, the widths of the
/// record's text fields, and the name under which the server knows a file.

namespace xmodemquarvel {

/// Bytes of one record: the data of one frame, and the unit of a file that a
/// send takes whole.
inline constexpr std::size_t kRecordSize = 128;
/// Width in bytes (of the code page) of the record's user id field. A longer
/// text is cut to the width; a shorter one is filled with spaces, as in the
/// two fields below.
inline constexpr std::size_t kUserIdWidth = 40;
/// Width in bytes of the record's password field.
inline constexpr std::size_t kPasswordWidth = 40;
/// Width in bytes of the record's field for the file's name on the server.
inline constexpr std::size_t kServerNameWidth = 17;

/// Host texts are UTF-8; the line and the files carry one byte per character
/// in the single-byte code page Windows-1252, which maps the 256 byte values
/// one to one (its five unassigned bytes stand for the C1 controls of the
/// same code). A character that the code page cannot hold becomes '?'; a byte
/// that is not part of valid UTF-8 is taken as it is.
XMODEMQUARVEL_API std::string Utf8ToCp1252(std::string_view utf8);
/// The reverse of Utf8ToCp1252(): every byte becomes its character.
XMODEMQUARVEL_API std::string Cp1252ToUtf8(std::string_view bytes);

/// The name under which SendFile and ReceiveFile present @p path to the
/// server, before the record cuts it to kServerNameWidth: its last component,
/// without the text from its last dot on. Both '/' and '\' separate
/// components; separators at the end are ignored. "FACT0001" for
/// "/data/FACT0001.TXT".
XMODEMQUARVEL_API std::string ServerBaseName(std::string_view path);

}  // namespace xmodemquarvel
