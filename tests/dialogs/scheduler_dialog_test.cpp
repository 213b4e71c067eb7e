// The scheduler dialog and a day's timetable.
#include "dialogs/scheduler_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dialogs/dialog_fixture.h"

namespace quelma::dialogs {
namespace {

TEST(SchedulerDialog, DayValidation) {
  struct Case {
    std::array<std::string, 5> fields;
    bool accepted;
  };
  const Case cases[] = {
      {{"8", "0", "8", "0", "30"}, false},  // the start must lie before the end
      {{"0", "0", "0", "0", "0"}, true},    // the day switched off
      {{"9", "0", "18", "0", "1439"}, true},
      {{"9", "0", "18", "0", "1440"}, false},
      {{"9", "30", "9", "31", "5"}, true},
      {{"23", "58", "23", "59", "1"}, true},
      {{"24", "0", "23", "0", "1"}, false},
      {{"9", "60", "10", "0", "1"}, false},
      {{"9", "0", "18", "", "30"}, false},  // an empty field is refused, not read as 0
      {{"", "", "", "", ""}, false},
  };
  for (const Case& c : cases) {
    DialogFixture f;
    SchedulerDialog d(f.env);
    f.prompt.answers = {true};
    const InnerOutcome outcome = d.setDay(2, c.fields, f.prompt);
    EXPECT_EQ(outcome, c.accepted ? InnerOutcome::kAccepted : InnerOutcome::kEditAgain)
        << c.fields[0] << ":" << c.fields[1] << "-" << c.fields[2] << ":" << c.fields[3] << "/" << c.fields[4];
    if (!c.accepted) {
      EXPECT_EQ(f.prompt.shown.back(), (Message{"Неправильно введены некоторые параметры.\nПовторить редактирование?",
                                                "Ошибка", Buttons::kYesNo, Icon::kStop}));
    }
  }
}

TEST(SchedulerDialog, OkSavesTheWeekAndCancelLeavesIt) {
  DialogFixture f;
  const std::string before = quelma::testing::ReadAll(f.dir.file("quelma.cfg"));
  {
    SchedulerDialog d(f.env);
    d.setDay(0, {"9", "0", "18", "0", "30"}, f.prompt);
    d.setDay(1, {"0", "0", "0", "0", "0"}, f.prompt);
    d.setDay(6, {"10", "5", "11", "0", "15"}, f.prompt);
    EXPECT_EQ(ShowDay(d.day(6)), (DayTexts{"10:05", "11:00", "15"}));
    EXPECT_EQ(ShowDay(d.day(1)), (DayTexts{"00:00", "00:00", "0"}));
    d.cancel();
  }
  EXPECT_EQ(quelma::testing::ReadAll(f.dir.file("quelma.cfg")), before);
  EXPECT_EQ(f.store.current()->SchedulerRecord[0], config::ScheduleRecord{});
  SchedulerDialog d(f.env);
  d.setDay(0, {"9", "0", "18", "0", "30"}, f.prompt);
  config::Configuration reloaded = *f.store.current();  // a session re-read the file meanwhile
  reloaded.SMTPServer = "smtp.edited.by.hand";
  f.store.publish(reloaded);
  d.ok();
  EXPECT_EQ(f.saved().SMTPServer, "smtp.edited.by.hand") << "OK changes the timetable of what is in effect now";
  EXPECT_EQ(f.saved().SchedulerRecord[0], (config::ScheduleRecord{9, 0, 18, 0, 30}));
  EXPECT_EQ(f.store.current()->SchedulerRecord[0], (config::ScheduleRecord{9, 0, 18, 0, 30}));
  EXPECT_EQ(DayCaption(0), "Расписание на понедельник");
  EXPECT_EQ(DayCaption(6), "Расписание на воскресенье");
}

TEST(SchedulerDialog, AFailedSaveIsNeverTakenForASuccess) {
  // quelma.cfg made a directory: the new file cannot replace it. Its ".tmp" made a directory:
  // the file cannot even be created, and the program is to stop.
  for (const bool cannotCreate : {false, true}) {
    DialogFixture f;
    bool stopped = false;
    f.env.cannotSave = [&] { stopped = true; };
    SchedulerDialog d(f.env);
    d.setDay(4, {"9", "0", "10", "0", "60"}, f.prompt);
    const std::string blocked = f.dir.file(cannotCreate ? "quelma.cfg.tmp" : "quelma.cfg");
    std::filesystem::remove(blocked);
    std::filesystem::create_directories(blocked + "/inside");
    const bool saved = d.ok();
    EXPECT_EQ(stopped, cannotCreate);
    if (cannotCreate) {
      EXPECT_TRUE(saved) << "the program ends; the dialog need not stay";
    } else {
      EXPECT_FALSE(saved) << "the dialog stays open with what the user confirmed";
      EXPECT_EQ(f.prompt.shown.back(), (Message{"Не могу записать файл quelma.cfg", "Ошибка", Buttons::kOk, Icon::kError}));
    }
  }
}

}  // namespace
}  // namespace quelma::dialogs
