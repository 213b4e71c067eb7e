// Byte-string helpers for Windows-1251 text: the two case rules and explicit capacity cuts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quelma::platform {

// Lower case as Windows does it for code page 1251: A-Z and the Cyrillic capitals.
char LowerCp1251(char c);
std::string ToLowerCp1251(std::string_view text);
void LowerCp1251InPlace(std::string& text);

// Lower case for A-Z only: command words and user names.
char LowerAscii(char c);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreAsciiCase(std::string_view text, std::string_view prefix);

// The first `capacity` bytes of `text`: every fixed capacity of the system is applied with this.
std::string_view Cut(std::string_view text, std::size_t capacity);

// Text from a peer as a log line may show it: at most `capacity` bytes, a line end at its end
// dropped, every other control byte shown as "?", so no peer writes lines of its own into the
// log or sends escapes to a terminal.
std::string Printable(std::string_view text, std::size_t capacity);

// The text up to (not including) its first NUL byte, as a C string would see it.
std::string_view UpToNul(std::string_view text);

bool IsHexDigit(char c);
int HexDigitValue(char c);  // -1 for a byte that is not a hexadecimal digit

}  // namespace quelma::platform
