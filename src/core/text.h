// Single-byte text helpers. Every file of the program holds Windows-1252 bytes; std::string
// here always carries those bytes unless a name says utf8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vl {

// UTF-8 -> Windows-1252. A character with no Windows-1252 byte, or a broken sequence, becomes '?'.
std::string toCp1252(std::string_view utf8);
// The same into `out`, whose room is kept: for the millions of fields of a conversion.
void assignCp1252(std::string& out, std::string_view utf8);
// As toCp1252, but a character with no Windows-1252 byte is written as its code point ("U+03A9"),
// so that a text for the run log still says which it was.
std::string toCp1252NamingOthers(std::string_view utf8);
// "1 línea", "2 líneas": the count with its noun in the log's words.
std::string counted(std::int64_t n, const char* one, const char* many);
// "U+03A9": a code point named for a person reading a message or the run log.
std::string codePointName(char32_t cp);
// The five bytes that are no character in Windows-1252 (0x81, 0x8D, 0x8F, 0x90, 0x9D).
bool unassignedInCp1252(unsigned char b);
// Windows-1252 -> UTF-8. The five unassigned bytes map to U+FFFD.
std::string fromCp1252(std::string_view cp1252);

// Left-aligned in a field of `width`, blank-padded, cut to its leftmost characters.
std::string LSet(std::string_view value, std::size_t width);
// Right-aligned in a field of `width`, blank-padded on the left, cut to its leftmost characters.
std::string RSet(std::string_view value, std::size_t width);

// Numeric value of a text: the number formed by its leading characters after leading blanks
// (point as decimal separator, optional sign); 0 when there is none.
double Val(std::string_view text);

// Val truncated towards zero and clamped into the 16-bit range.
int ValInt16(std::string_view text);

// Leading and trailing blanks removed.
std::string trimBlanks(std::string_view text);

// ASCII upper case; other bytes unchanged.
std::string upperAscii(std::string_view text);

// Windows-1252 aware lower case, used for case-insensitive file names.
std::string lowerCp1252(std::string_view text);

inline constexpr const char* CRLF = "\r\n";

} // namespace vl
