#include "dialogs/win32/settings_windows.h"

namespace quelma::dialogs {

namespace {
SettingsContext g_context;  // main thread only
}  // namespace

void SetSettingsContext(SettingsContext context) { g_context = std::move(context); }
SettingsContext& Settings() { return g_context; }

void CloseModeless(HWND dialog) {
  DestroyWindow(dialog);
  if (g_context.closed) g_context.closed(dialog);
}

}  // namespace quelma::dialogs
