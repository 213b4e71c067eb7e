// "Планировщик сеансов связи" (IDD_SCHED) and a day's timetable (IDD_WEEKD).
#pragma once

#include <array>
#include <string>

#include "dialogs/working_configuration.h"

namespace quelma::dialogs {

// A day's three texts in the week view: "08:00", "18:00", "30".
struct DayTexts {
  std::string start, end, period;
  bool operator==(const DayTexts&) const = default;
};

DayTexts ShowDay(const config::ScheduleRecord& day);

// "Расписание на понедельник" ... "Расписание на воскресенье"
std::string DayCaption(int day);

// The spin ranges of the day dialog's five fields: start hour and minute, end hour and
// minute, period.
inline constexpr std::array<int, 5> kDayFieldHigh = {23, 59, 23, 59, 1439};

class SchedulerDialog {
 public:
  explicit SchedulerDialog(DialogEnvironment& env) : working_(env), week_(working_.get().SchedulerRecord) {}

  const std::array<config::ScheduleRecord, config::limits::kScheduleDays>& week() const { return week_; }
  const config::ScheduleRecord& day(int index) const { return week_[index]; }

  // The day dialog's OK with its five texts: stored, or the question (Yes: edit again).
  InnerOutcome setDay(int index, const std::array<std::string, 5>& fields, Prompt& prompt);

  bool ok();  // the week into the configuration, saved; false: not saved, the dialog stays open
  void cancel() {}

 private:
  WorkingConfiguration working_;
  std::array<config::ScheduleRecord, config::limits::kScheduleDays> week_;
};

}  // namespace quelma::dialogs
