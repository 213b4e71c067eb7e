// Drawing the log view: white picture, the top rule, coloured lines, scrolling by one line.
#include "app/win32/win32_log_view.h"

namespace quelma::app {

RECT Win32LogView::viewRect() const {
  RECT r{};
  GetClientRect(window_, &r);
  r.bottom -= statusBarHeight_;
  return r;
}

void Win32LogView::create(HWND window, int statusBarHeight) {
  window_ = window;
  statusBarHeight_ = statusBarHeight;
  view_ = viewRect();
  const int width = view_.right - view_.left + 1;
  const int height = view_.bottom - view_.top + 1;
  HDC screen = GetDC(window);
  memory_ = CreateCompatibleDC(screen);
  bitmap_ = CreateCompatibleBitmap(screen, width, height);
  oldBitmap_ = SelectObject(memory_, bitmap_);
  const int pixelsPerInch = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(window, screen);
  RECT all{0, 0, width, height};
  FillRect(memory_, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  font_ = CreateFontA(-MulDiv(8, pixelsPerInch, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, "MS Sans Serif");
  SelectObject(memory_, font_ ? static_cast<HGDIOBJ>(font_) : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(memory_, TRANSPARENT);
  pen_ = CreatePen(PS_SOLID, 1, RGB(0, 0, 127));
  SelectObject(memory_, pen_);
  MoveToEx(memory_, 0, 0, nullptr);
  LineTo(memory_, width + 1, 0);
  TEXTMETRICA metrics{};
  GetTextMetricsA(memory_, &metrics);
  layout_.emplace(metrics.tmHeight + metrics.tmExternalLeading);
}

void Win32LogView::release() {
  if (!memory_) return;
  SelectObject(memory_, oldBitmap_);
  DeleteObject(pen_);
  DeleteObject(bitmap_);
  if (font_) DeleteObject(font_);
  DeleteDC(memory_);
  memory_ = nullptr;
}

void Win32LogView::showLine(link::LogSource source, std::string_view text) {
  if (!memory_) return;
  if (!IsIconic(window_)) view_ = viewRect();
  const LogViewLayout::Placement at = layout_->addLine(view_.bottom);
  const int width = view_.right - view_.left + 1;
  if (at.scrollFirst) {
    RECT below{view_.left, 1, view_.right, view_.bottom};
    ScrollDC(memory_, 0, -layout_->lineHeight(), &below, &below, nullptr, nullptr);
  }
  RECT clear{0, at.top, width, view_.bottom + 1};
  FillRect(memory_, &clear, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  const link::Rgb c = link::LogColour(source);
  SetTextColor(memory_, RGB(c.r, c.g, c.b));
  TextOutA(memory_, 0, at.top, text.data(), static_cast<int>(text.size()));
  InvalidateRect(window_, &view_, TRUE);
}

void Win32LogView::paint() {
  if (IsIconic(window_)) return;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window_, &ps);
  if (memory_) BitBlt(dc, 0, 0, view_.right - view_.left + 1, view_.bottom - view_.top + 1, memory_, 0, 0, SRCCOPY);
  EndPaint(window_, &ps);
}

}  // namespace quelma::app
