// "config schedule ...": the weekly timetable of the scheduler dialog and its day dialog.
#include "app/console/config_commands.h"
#include "app/console/config_words.h"
#include "dialogs/scheduler_dialog.h"
#include "platform/text.h"

namespace quelma::app {

namespace {

constexpr const char* kDayNames[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
constexpr const char* kDayTitles[] = {"Понедельник", "Вторник", "Среда", "Четверг", "Пятница", "Суббота", "Воскресенье"};

// The days a word names: "mon" ... "sun", "monday" ..., "all".
std::vector<int> Days(std::string_view word) {
  const std::string w = platform::ToLowerAscii(word);
  if (w == "all") return {0, 1, 2, 3, 4, 5, 6};
  static constexpr const char* kLong[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
  for (int day = 0; day < 7; ++day) {
    if (w == kDayNames[day] || w == kLong[day]) return {day};
  }
  return {};
}

// "HH:MM" as the day dialog's hour and minute fields.
bool SplitTime(const std::string& time, std::string& hour, std::string& minute) {
  const std::size_t colon = time.find(':');
  if (colon == std::string::npos || time.find(':', colon + 1) != std::string::npos) return false;
  hour = time.substr(0, colon);
  minute = time.substr(colon + 1);
  return true;
}

}  // namespace

std::vector<std::string> ScheduleLines(const config::Configuration& config) {
  std::vector<std::string> lines;
  for (int day = 0; day < 7; ++day) {
    const config::ScheduleRecord& record = config.SchedulerRecord[static_cast<std::size_t>(day)];
    const dialogs::DayTexts texts = dialogs::ShowDay(record);
    std::string line = std::string(kDayNames[day]) + " (" + kDayTitles[day] + "): ";
    line += record == config::ScheduleRecord{} ? "нет сеансов"
                                               : texts.start + "-" + texts.end + ", каждые " + texts.period + " мин.";
    lines.push_back(line);
  }
  return lines;
}

int ScheduleCommand(ConfigSession& session, Words words) {
  if (words.size() == 1 && words[0] == "list") {
    for (const std::string& line : ScheduleLines(*session.config())) session.say(line);
    return 0;
  }
  const char* usage = "config schedule list | set DAY HH:MM HH:MM PERIOD | set DAY off (DAY: mon..sun, all)";
  if (words.size() < 3 || words[0] != "set") return session.usage(usage);
  const std::vector<int> days = Days(words[1]);
  if (days.empty()) return session.usage(usage);
  std::array<std::string, 5> fields{"0", "0", "0", "0", "0"};
  if (!(words.size() == 3 && words[2] == "off")) {
    if (words.size() != 5 || !SplitTime(words[2], fields[0], fields[1]) || !SplitTime(words[3], fields[2], fields[3])) {
      return session.usage(usage);
    }
    fields[4] = words[4];
  }
  dialogs::SchedulerDialog dialog(session.env());
  for (const int day : days) {
    if (dialog.setDay(day, fields, session.prompt()) != dialogs::InnerOutcome::kAccepted) return 1;
  }
  return session.finish(dialog.ok());
}

}  // namespace quelma::app
