// Folder names and their file names.
#include "spool/folder_names.h"

#include <array>

#include "platform/charset.h"
#include "platform/text.h"

namespace quelma::spool {
namespace {

constexpr std::size_t kLongestFile = 200;  // leaves room for the folders' path on Windows
constexpr std::string_view kForbidden = "/\\:*?\"<>|%";
constexpr std::array<std::string_view, 22> kDeviceNames = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

bool Refuse(std::string* refusal, const char* why) {
  if (refusal) *refusal = why;
  return false;
}

bool Acceptable(std::string_view name, std::string* refusal) {
  if (name.empty()) return Refuse(refusal, "пустое имя папки");
  if (!platform::IsValidUtf8(name)) return Refuse(refusal, "имя папки не в UTF-8");
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return Refuse(refusal, "управляющий символ в имени папки");
  }
  for (std::size_t at = 0;;) {
    const std::size_t end = std::min(name.find(kHierarchySeparator, at), name.size());
    const std::string_view level = name.substr(at, end - at);
    if (level.empty()) return Refuse(refusal, "пустая часть имени папки (два \"/\" подряд или \"/\" в начале или конце)");
    if (level == "." || level == "..") return Refuse(refusal, "часть имени папки \".\" или \"..\"");
    if (end == name.size()) break;
    at = end + 1;
  }
  if (platform::EqualsIgnoreAsciiCase(name, "INBOX")) return Refuse(refusal, "INBOX - это сам почтовый ящик");
  return true;
}

void Escape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 15]);
}

bool IsDeviceName(std::string_view file) {
  const std::string_view base = file.substr(0, file.find('.'));
  for (std::string_view device : kDeviceNames) {
    if (platform::EqualsIgnoreAsciiCase(base, device)) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> FolderFileName(std::string_view name, std::string* refusal) {
  if (!Acceptable(name, refusal)) return std::nullopt;
  std::string file;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const bool edge = (i == 0 && byte == '.') || (i + 1 == name.size() && (byte == '.' || byte == ' '));
    if (byte >= 0x80 || edge || kForbidden.find(static_cast<char>(byte)) != std::string_view::npos) {
      Escape(file, byte);
    } else {
      file.push_back(static_cast<char>(byte));
    }
  }
  if (IsDeviceName(file)) {
    const std::string rest = file.substr(1);
    file.clear();
    Escape(file, static_cast<unsigned char>(name[0]));
    file += rest;
  }
  if (file.size() > kLongestFile) {
    Refuse(refusal, "слишком длинное имя папки");
    return std::nullopt;
  }
  return file;
}

std::optional<std::string> FolderNameOfFile(std::string_view file) {
  std::string name;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] != '%') {
      name.push_back(file[i]);
      continue;
    }
    const int high = i + 2 < file.size() ? HexValue(file[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(file[i + 2]) : -1;
    if (low < 0) return std::nullopt;
    name.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  // Only the one file name a folder has stands for it.
  const auto again = FolderFileName(name);
  if (!again || *again != file) return std::nullopt;
  return name;
}

bool SameFolderFile(std::string_view a, std::string_view b) { return platform::EqualsIgnoreAsciiCase(a, b); }

}  // namespace quelma::spool
