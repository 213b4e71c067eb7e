// The window of a first OAuth login: the device code to enter in a browser, or the wait for
// the browser's return, while a worker thread runs the flow; then the outcome in a box.
#pragma once

#include <windows.h>

#include "dialogs/oauth_login.h"
#include "dialogs/prompt.h"

namespace quelma::dialogs {

// Runs `login` (whose problem() is empty) modally over `owner`; the outcome is told through `prompt`.
void RunOauthLoginWindow(HWND owner, OauthFirstLogin& login, Prompt& prompt);

// The "Вход OAuth..." button: the problem in a box, or the login.
void StartOauthLogin(HWND owner, OauthFirstLogin login, Prompt& prompt);

}  // namespace quelma::dialogs
