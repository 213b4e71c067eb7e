// The message boxes of the settings dialogs, asked through an interface so that the dialogs'
// logic runs and is tested without a window system.
#pragma once

#include <string>

namespace quelma::dialogs {

enum class Buttons { kOk, kYesNo };
// kWarning tells and goes on (the command line prints it); kExclamation stops what was asked.
enum class Icon { kNone, kError, kQuestion, kExclamation, kStop, kInformation, kWarning };

struct Message {
  std::string text;
  std::string caption;
  Buttons buttons = Buttons::kOk;
  Icon icon = Icon::kNone;
  bool operator==(const Message&) const = default;
};

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Shows the box; true when the answer is Yes (or OK).
  virtual bool ask(const Message& message) = 0;
};

// How a modal dialog's OK ends: accepted, back to the form (the user answered Yes to the
// question), or closed without change (No).
enum class InnerOutcome { kAccepted, kEditAgain, kCancelled };

// The question of the account, login and rule dialogs when something required is missing.
inline Message MissingParametersQuestion(Icon icon) {
  return {"Не введены некоторые необходимые параметры.\nПовторить редактирование?", "Ошибка", Buttons::kYesNo, icon};
}

}  // namespace quelma::dialogs
