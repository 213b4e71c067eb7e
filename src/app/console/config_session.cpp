#include "app/console/config_session.h"

#include <istream>
#include <ostream>

#include "app/console/config_words.h"
#include "config/config_file.h"
#include "platform/cp1251_utf8.h"

namespace quelma::app {

namespace {

bool IsRefusal(dialogs::Icon icon) {
  return icon == dialogs::Icon::kError || icon == dialogs::Icon::kStop || icon == dialogs::Icon::kExclamation;
}

// The box's text without its last line when that line is the offer to edit again.
std::string WithoutEditAgain(const std::string& text) {
  const std::size_t last = text.rfind('\n');
  if (last != std::string::npos && text.compare(last + 1, std::string::npos, "Повторить редактирование?") == 0) {
    return text.substr(0, last);
  }
  return text;
}

}  // namespace

bool TerminalPrompt::ask(const dialogs::Message& message) {
  if (message.buttons == dialogs::Buttons::kYesNo && !IsRefusal(message.icon)) return true;
  if (!IsRefusal(message.icon)) {
    out_ << platform::Cp1251ToUtf8(message.text) << '\n';
    return true;
  }
  refused_ = true;
  err_ << "quelma: " << platform::Cp1251ToUtf8(WithoutEditAgain(message.text)) << '\n';
  return false;
}

ConfigSession::ConfigSession(const std::string& programDir, dialup::RemoteAccess& access, std::istream& in,
                             std::ostream& out, std::ostream& err)
    : programDir_(programDir),
      access_(access),
      in_(in),
      out_(out),
      err_(err),
      sorter_(sorting::SorterFilePath(programDir)),
      prompt_(out, err),
      env_{store_, programDir, sorter_, prompt_} {
  env_.cannotSave = [this] {
    cannotSave_ = true;
    refuse("не могу создать файл " + config::ConfigFilePath(programDir_));
  };
  config::Configuration c = config::DefaultConfiguration(programDir);
  // A new program directory gets the default quelma.cfg, as when the program starts there.
  loaded_ = sorting::LoadConfigurationChecked(programDir, sorter_, c).status != config::LoadStatus::kUnreadable;
  if (!loaded_) refuse("файл " + config::ConfigFilePath(programDir) + " не читается");
  store_.publish(std::move(c));
}

void ConfigSession::say(const std::string& cp1251) { out_ << platform::Cp1251ToUtf8(cp1251) << '\n'; }

int ConfigSession::refuse(const std::string& cp1251) {
  err_ << "quelma: " << platform::Cp1251ToUtf8(cp1251) << '\n';
  return 1;
}

int ConfigSession::usage(const std::string& cp1251) {
  refuse(cp1251);
  return 2;
}

std::optional<std::string> ConfigSession::readLine() {
  std::string line;
  if (!std::getline(in_, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  auto text = TerminalWordToCp1251(line);
  if (!text) refuse("в строке ввода символ, которого нет в кодировке Windows-1251");
  return text;
}

int ConfigSession::finish(bool ok) { return ok && !refused() ? 0 : 1; }

}  // namespace quelma::app
