#include "dialogs/scheduler_dialog.h"

#include <cstdio>

#include "dialogs/dialog_text.h"

namespace quelma::dialogs {

DayTexts ShowDay(const config::ScheduleRecord& d) {
  char start[16], end[16];
  std::snprintf(start, sizeof start, "%02d:%02d", d.startHour, d.startMinute);
  std::snprintf(end, sizeof end, "%02d:%02d", d.endHour, d.endMinute);
  return {start, end, std::to_string(d.periodMinutes)};
}

std::string DayCaption(int day) {
  static constexpr const char* kDays[] = {"понедельник", "вторник", "среду",      "четверг",
                                          "пятницу",     "субботу", "воскресенье"};
  return std::string("Расписание на ") + kDays[day < 0 || day > 6 ? 0 : day];
}

InnerOutcome SchedulerDialog::setDay(int index, const std::array<std::string, 5>& fields, Prompt& prompt) {
  std::array<std::uint32_t, 5> v{};
  bool allNumbers = true;
  for (std::size_t i = 0; i < v.size(); ++i) {
    // An empty field is refused: a timetable is never guessed.
    const auto value = ReadDecimal(Cut(fields[i], 8));
    allNumbers = allNumbers && value.has_value();
    v[i] = value.value_or(0);
  }
  const bool off = allNumbers && v == std::array<std::uint32_t, 5>{};
  const bool valid = allNumbers && v[0] <= 23 && v[2] <= 23 && v[1] <= 59 && v[3] <= 59 && v[4] <= 1439 &&
                     (v[0] < v[2] || (v[0] == v[2] && v[1] < v[3]));
  if (!off && !valid) {
    return prompt.ask({"Неправильно введены некоторые параметры.\nПовторить редактирование?", "Ошибка",
                       Buttons::kYesNo, Icon::kStop})
               ? InnerOutcome::kEditAgain
               : InnerOutcome::kCancelled;
  }
  if (index < 0 || static_cast<std::size_t>(index) >= week_.size()) return InnerOutcome::kCancelled;
  week_[index] = {static_cast<std::int32_t>(v[0]), static_cast<std::int32_t>(v[1]), static_cast<std::int32_t>(v[2]),
                  static_cast<std::int32_t>(v[3]), static_cast<std::int32_t>(v[4])};
  return InnerOutcome::kAccepted;
}

bool SchedulerDialog::ok() {
  working_.retake();
  working_.get().SchedulerRecord = week_;
  return working_.save();
}

}  // namespace quelma::dialogs
