// The About box (dialog 201): the product name and version; F1 leads to the disclaimer page.
#pragma once

#include <windows.h>

namespace quelma::app {

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quelma::app
