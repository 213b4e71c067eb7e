// The settings dialogs' message boxes on Windows, and the end of a modal dialog after its OK.
#include "dialogs/win32/win32_prompt.h"

namespace quelma::dialogs {

void EndAfterOk(HWND dialog, InnerOutcome outcome) {
  if (outcome != InnerOutcome::kEditAgain) EndDialog(dialog, outcome == InnerOutcome::kAccepted ? IDOK : IDCANCEL);
}

bool Win32Prompt::ask(const Message& message) {
  UINT flags = message.buttons == Buttons::kYesNo ? MB_YESNO : MB_OK;
  switch (message.icon) {
    case Icon::kError:
    case Icon::kStop:
      flags |= MB_ICONERROR;
      break;
    case Icon::kQuestion:
      flags |= MB_ICONQUESTION;
      break;
    case Icon::kExclamation:
      flags |= MB_ICONEXCLAMATION;
      break;
    case Icon::kInformation:
      flags |= MB_ICONINFORMATION;
      break;
    case Icon::kWarning:
      flags |= MB_ICONWARNING;
      break;
    case Icon::kNone:
      break;
  }
  const int answer = MessageBoxA(GetActiveWindow(), message.text.c_str(), message.caption.c_str(), flags);
  return answer == IDYES || answer == IDOK;
}

}  // namespace quelma::dialogs
