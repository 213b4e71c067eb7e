#include "app/console/config_words.h"

#include "platform/charset.h"
#include "platform/text.h"

namespace quelma::app {

std::optional<std::string> CommandWords::value(std::string_view name) const {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> TerminalWordToCp1251(std::string_view utf8) {
  if (!platform::IsValidUtf8(utf8)) return std::nullopt;
  auto text = platform::ConvertToCp1251(utf8, "utf-8");
  if (!text || text->find(platform::kUnmappable) != std::string::npos) return std::nullopt;
  return text;
}

CommandWords ParseCommandWords(std::span<const std::string> words, std::span<const KnownOption> options) {
  CommandWords parsed;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const auto word = TerminalWordToCp1251(words[i]);
    if (!word) {
      parsed.problem = "\"" + words[i] + "\": символ, которого нет в кодировке Windows-1251";
      return parsed;
    }
    if (!word->starts_with("--") || word->size() == 2) {
      parsed.positional.push_back(*word);
      continue;
    }
    const std::string name = word->substr(2);
    const KnownOption* known = nullptr;
    for (const KnownOption& option : options) {
      if (option.name == name) known = &option;
    }
    if (!known) {
      parsed.problem = "неизвестный параметр " + *word;
      return parsed;
    }
    if (!known->takesValue) {
      parsed.options[name] = "";
      continue;
    }
    if (i + 1 >= words.size()) {
      parsed.problem = "у параметра " + *word + " нет значения";
      return parsed;
    }
    const auto value = TerminalWordToCp1251(words[++i]);
    if (!value) {
      parsed.problem = "\"" + words[i] + "\": символ, которого нет в кодировке Windows-1251";
      return parsed;
    }
    parsed.options[name] = *value;
  }
  return parsed;
}

std::optional<bool> ParseYesNo(std::string_view word) {
  const std::string w = platform::ToLowerCp1251(word);
  if (w == "yes" || w == "да" || w == "1" || w == "on") return true;
  if (w == "no" || w == "нет" || w == "0" || w == "off") return false;
  return std::nullopt;
}

std::optional<int> ParseIndex(std::string_view word, std::size_t count) {
  if (word.empty() || word.size() > 6 || word.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t index = std::stoul(std::string(word));
  if (index >= count) return std::nullopt;
  return static_cast<int>(index);
}

}  // namespace quelma::app
