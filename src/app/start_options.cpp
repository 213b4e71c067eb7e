// quelma.exe's command line: "/tray" and "/dir PATH".
#include "app/start_options.h"

#include <vector>

namespace quelma::app {

namespace {

// Bounds a command line that nobody types: the longest Windows allows is 32767 characters.
constexpr std::size_t kMaxCommandLine = 32767;

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

bool IsSwitch(const std::string& word, std::string_view name) {
  if (word.size() != name.size() + 1 || (word[0] != '/' && word[0] != '-')) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = word[i + 1];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  return true;
}

}  // namespace

StartOptionsResult ParseStartOptions(std::string_view commandLine) {
  if (commandLine.size() > kMaxCommandLine) return {std::nullopt, std::string(commandLine.substr(0, 64))};
  const std::vector<std::string> words = SplitWords(commandLine);
  StartOptions options;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (IsSwitch(words[i], "tray")) {
      options.tray = true;
    } else if (IsSwitch(words[i], "dir") && i + 1 < words.size() && !words[i + 1].empty() &&
               options.directory.empty()) {
      options.directory = words[++i];
    } else {
      return {std::nullopt, words[i]};
    }
  }
  return {options, {}};
}

}  // namespace quelma::app
