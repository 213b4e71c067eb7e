// The settings dialogs' message boxes on Windows, and the end of a modal dialog after its OK.
#pragma once

#include <windows.h>

#include "dialogs/prompt.h"

namespace quelma::dialogs {

// Ends a modal dialog after its OK as the logic decided; "edit again" keeps it open.
void EndAfterOk(HWND dialog, InnerOutcome outcome);

// The message boxes, owned by the window in front (the dialog that asks).
class Win32Prompt final : public Prompt {
 public:
  bool ask(const Message& message) override;
};

}  // namespace quelma::dialogs
