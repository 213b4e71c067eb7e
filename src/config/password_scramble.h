// The byte-substitution scrambling of passwords in quelma.cfg.
#pragma once

#include <string>
#include <string_view>

namespace quelma::config {

// Plain password of n bytes -> 2n upper-case hexadecimal digits; empty stays empty.
std::string ScramblePassword(std::string_view plain);

// Reads whole pairs of hexadecimal digits from the start of `text` up to the first other
// character (a lone digit before it is ignored) and returns the plain password.
std::string UnscramblePassword(std::string_view text);

}  // namespace quelma::config
