// Path text operations as the platform performs them on strings ("/"-separated, no file-system access).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lv::path {

// "a" + "b" → "a/b"; a trailing "/" of the base and leading "/"s of the component are not doubled;
// an empty base gives the component; the result carries no trailing "/" (except the root "/").
std::string appendingPathComponent(std::string_view base, std::string_view component);
// "/tmp/scratch.tiff" → "scratch.tiff"; "/tmp/" → "tmp"; "/" → "/"; "" → "".
std::string lastPathComponent(std::string_view path);
// "/tmp/scratch.tiff" → "/tmp"; "/tmp/lock/" → "/tmp"; "/tmp/" → "/"; "scratch.tiff" → ""; "/" → "/".
std::string deletingLastPathComponent(std::string_view path);
// The text after the last "." of the last component ("a/b.tar.gz" → "gz"); "" when it has none
// (a leading "." of a hidden name does not start an extension).
std::string pathExtension(std::string_view path);
// "a/b.tar.gz" → "a/b.tar"; a path without an extension is returned without a trailing "/".
std::string deletingPathExtension(std::string_view path);
// "a/b" + "txt" → "a/b.txt" (a trailing "/" is dropped first).
std::string appendingPathExtension(std::string_view path, std::string_view extension);
// "/tmp/a" → {"/", "tmp", "a"}; "a//b/" → {"a", "b", "/"} as the platform splits (a trailing "/" is
// its own last component).
std::vector<std::string> pathComponents(std::string_view path);
// Collapses repeated "/" and removes a trailing "/" (not of the root itself).
std::string standardized(std::string_view path);

}  // namespace lv::path
