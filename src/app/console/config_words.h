// The words of a "quelma config" command: its positional words and its "--name value" options,
// taken from the terminal's UTF-8 into the Windows-1251 the settings keep.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelma::app {

struct KnownOption {
  std::string_view name;  // without the dashes
  bool takesValue;
};

struct CommandWords {
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;  // a switch maps to ""
  std::string problem;  // Windows-1251; empty when the words were understood

  bool has(std::string_view name) const { return options.find(name) != options.end(); }
  std::optional<std::string> value(std::string_view name) const;
};

// Reads `words` against the options a command knows. An unknown option, a missing value or a
// word that has no Windows-1251 spelling leaves a problem.
CommandWords ParseCommandWords(std::span<const std::string> words, std::span<const KnownOption> options);

// A UTF-8 word from the terminal in Windows-1251, or nothing when a character has no byte there.
std::optional<std::string> TerminalWordToCp1251(std::string_view utf8);

// "yes", "да", "1", "on" / "no", "нет", "0", "off" (Windows-1251, any case).
std::optional<bool> ParseYesNo(std::string_view word);

// A list number as the lists print it (0, 1, ...) below `count`.
std::optional<int> ParseIndex(std::string_view word, std::size_t count);

}  // namespace quelma::app
