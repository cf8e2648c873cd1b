#pragma once

#include <string>

namespace xmodemq {

// The folder part of a path ("." for a bare name, "/" at the root) and its
// last component.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// The path made absolute from the working folder, without resolving its
// links (the name the user knows the file by); the path itself when the
// working folder cannot be read.
std::string Absolute(const std::string& path);

}  // namespace xmodemq
