// IDD_SCHED and IDD_WEEKD on the timetable logic.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "win32_ui/html_help.h"
#include "dialogs/scheduler_dialog.h"
#include "dialogs/win32/win32_prompt.h"
#include "win32_ui/dialog_controls.h"
#include "dialogs/win32/settings_windows.h"
#include "resource_ids.h"

namespace quelma::dialogs {

namespace {

std::unique_ptr<SchedulerDialog> g_dialog;  // the one open scheduler dialog
int g_currentDay = 0;

constexpr int kDayFields[5] = {IDC_DAY_START_HOUR, IDC_DAY_START_MINUTE, IDC_DAY_END_HOUR, IDC_DAY_END_MINUTE,
                               IDC_DAY_PERIOD};
constexpr int kDaySpins[5] = {IDC_DAY_FIRST_SPIN, IDC_DAY_FIRST_SPIN + 1, IDC_DAY_FIRST_SPIN + 2,
                              IDC_DAY_FIRST_SPIN + 3, IDC_DAY_PERIOD_SPIN};

INT_PTR CALLBACK DayProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    win32_ui::SetItemText(dialog, IDC_DAY_CAPTION, DayCaption(g_currentDay));
    const config::ScheduleRecord& d = g_dialog->day(g_currentDay);
    const int values[5] = {d.startHour, d.startMinute, d.endHour, d.endMinute, d.periodMinutes};
    for (int i = 0; i < 5; ++i) {
      win32_ui::LimitText(dialog, kDayFields[i], 8);
      win32_ui::AttachSpin(dialog, kDaySpins[i], kDayFields[i], 0, kDayFieldHigh[i], values[i]);
    }
    SetFocus(GetDlgItem(dialog, IDC_DAY_START_HOUR));  // the day's caption above is only a label
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_DAY_OFF:
      for (const int field : kDayFields) win32_ui::SetItemText(dialog, field, "0");
      break;
    case IDOK: {
      std::array<std::string, 5> fields;
      for (int i = 0; i < 5; ++i) fields[i] = win32_ui::ItemText(dialog, kDayFields[i], 8);
      EndAfterOk(dialog, g_dialog->setDay(g_currentDay, fields, Settings().env->prompt));
      break;
    }
    case IDCANCEL:
      EndDialog(dialog, IDCANCEL);
      break;
    default:
      break;
  }
  return TRUE;
}

void ShowWeek(HWND dialog) {
  for (int day = 0; day < 7; ++day) {
    const DayTexts texts = ShowDay(g_dialog->day(day));
    win32_ui::SetItemText(dialog, IDC_SCHED_FIRST_EDIT + 3 * day, texts.start);
    win32_ui::SetItemText(dialog, IDC_SCHED_FIRST_EDIT + 3 * day + 1, texts.end);
    win32_ui::SetItemText(dialog, IDC_SCHED_FIRST_EDIT + 3 * day + 2, texts.period);
  }
}

void Open(HWND dialog) {
  g_dialog = std::make_unique<SchedulerDialog>(*Settings().env);
  ShowWeek(dialog);
}

bool Command(HWND dialog, int id, int) {
  if (id >= IDC_SCHED_FIRST_SET && id < IDC_SCHED_FIRST_SET + 7) {
    g_currentDay = id - IDC_SCHED_FIRST_SET;
    if (DialogBoxParamA(GetModuleHandleA(nullptr), "IDD_WEEKD", dialog, DayProcedure, 0) == IDOK) ShowWeek(dialog);
    return false;
  }
  return id == IDOK ? g_dialog->ok() : id == IDCANCEL;
}

void Closed() { g_dialog.reset(); }

}  // namespace

INT_PTR CALLBACK SchedulerProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  static constexpr ModelessHandlers kHandlers{Open, Command, Closed, 0, 0, "quelma.chm::/nastr_sched.htm",
                                              win32_ui::kHelpDisplayContents};
  return ModelessDispatch(kHandlers, dialog, message, wParam, lParam);
}

}  // namespace quelma::dialogs
