#pragma once

#include <array>
#include <string_view>

// The game's images as Base64 text, drawn and encoded by tools/make_builtin_images.py.
// Line breaks would be skipped by the decoder; the texts hold none.
namespace kr::builtin {

// 50 x 50 PNG cells: empty, X and O.
extern const std::string_view kLeerPng;
extern const std::string_view kKreuzPng;
extern const std::string_view kKreisPng;

// The browser icon, in pieces that are joined in order before decoding.
extern const std::array<std::string_view, 5> kFaviconIcoPieces;

}  // namespace kr::builtin
