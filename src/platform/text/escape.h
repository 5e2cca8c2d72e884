// Percent escaping as the platform's URL escaping routine does it, and Base64 (RFC 4648).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/value.h"
#include "platform/text/encoding.h"

namespace lv::text {

// The characters that the platform's escaping leaves alone unless told otherwise ("legal URL
// characters"): ASCII letters and digits and ! $ & ' ( ) * + , - . / : ; = ? @ _ ~. Everything else —
// space, " # % < > [ \ ] ^ ` { | }, controls and every non-ASCII character — is always escaped.
bool isLegalURLCharacter(char32_t c);

// The platform's escaping routine (text, characters to leave, legal characters to escape, encoding): each character
// of the text is kept when it is in `leaveUnescaped` (checked first), escaped when it is in
// `forceEscaped`, otherwise kept exactly when it is a legal URL character. An escaped character is
// written as its bytes in the encoding, each as "%" and two upper-case hexadecimal digits. Nothing when
// a character to escape has no form in the encoding.
//   query keys:            percentEscape(k, "[].", ":/?&=;+!@#$()',*")
//   query values:          percentEscape(v, "",    ":/?&=;+!@#$()',*")
//   the analytics urlEncode: percentEscape(t, "", "!*'();:@&=+$,/?%#[]\" ")
std::optional<std::string> percentEscape(std::string_view text, std::string_view leaveUnescaped,
                                         std::string_view forceEscaped, StringEncoding encoding = StringEncoding::UTF8);
// The reverse, with every escape replaced: "%XX" sequences
// (either case) become bytes, read in the encoding. Nothing when a "%" is not followed by two
// hexadecimal digits or the bytes do not decode.
std::optional<std::string> percentUnescape(std::string_view text, StringEncoding encoding = StringEncoding::UTF8);

// RFC 4648 Base64 with the standard alphabet and "=" padding, no line breaks: 4 × ⌈n/3⌉ characters.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);
// Strict decoding: length a multiple of 4, padding only at the end, no foreign characters (unless
// ignoreUnknownCharacters, which skips characters outside the alphabet, as the platform's option does).
std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknownCharacters = false);

}  // namespace lv::text
