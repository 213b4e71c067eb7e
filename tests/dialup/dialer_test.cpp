// The dialer against a scripted dial-up service, with the pause after a failed dial counted
// instead of waited.
#include <gtest/gtest.h>

#include <algorithm>

#include "dialup/dialer.h"
#include "support/fake_clock.h"
#include "support/fake_remote_access.h"
#include "support/recording_main_window.h"

namespace quelma::dialup {
namespace {

struct Dial {
  quelma::testing::RecordingMainWindow window;
  link::ServerControl control;
  quelma::testing::FakeClock clock;
  link::ActivityLog log{window, control, clock};
  config::Configuration config;
  quelma::testing::FakeRemoteAccess access;
  DialerState state;
  std::vector<std::uint32_t> pauses;
  std::function<void()> duringPause;

  Dial() {
    config.UseLAN = false;
    config.DialUpRecord = "provider";
    config.DialupAttempts = 1;
  }
  DialerContext context() {
    return {window, log, config, access, state, [this](std::uint32_t ms) {
              pauses.push_back(ms);
              if (duringPause) duringPause();
            }};
  }
  void run() { RunDialer(context()); }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& l : window.lines()) out.push_back(l.substr(l.find("> ") + 2));
    return out;
  }
  // The messages posted, as "message/wParam".
  std::vector<std::string> posted() const {
    std::vector<std::string> out;
    for (const auto& m : window.messages()) {
      if (m.posted) out.push_back(std::to_string(m.message) + "/" + std::to_string(m.wParam));
    }
    return out;
  }
};

const std::string kConnected1 = std::to_string(link::UM_CONNECTED) + "/1";
const std::string kConnected3 = std::to_string(link::UM_CONNECTED) + "/3";
const std::string kDone = std::to_string(link::UM_WORKER_DONE) + "/3";

TEST(Dialer, EntriesAndALinkThatIsUpAlready) {
  {
    Dial d;
    d.access.entries = {};
    d.run();
    EXPECT_EQ(d.lines(), (std::vector<std::string>{"*** Дозваниваюсь до сервера.\r\n",
                                                   "Ошибка - не найдены соединения удаленного доступа.\r\n"}));
    EXPECT_EQ(d.posted(), std::vector<std::string>{kDone});
  }
  {
    Dial d;
    d.access.entries = {"Other"};
    d.run();
    EXPECT_EQ(d.lines().back(), "Ошибка - соединение \"provider\" не найдено.\r\n");
    EXPECT_EQ(d.posted(), std::vector<std::string>{kDone});
  }
  {
    Dial d;  // found whatever the case; a link that is up is used, and kept at the end
    d.access.entries = {"Other", "PROVIDER"};
    d.access.active = 77;
    d.config.DialupAutoOff = true;
    d.run();
    EXPECT_EQ(d.lines().back(), "*** Обнаружено установленное соединение - использую его.\r\n");
    EXPECT_EQ(d.posted(), (std::vector<std::string>{kConnected1, kDone}));
    EXPECT_TRUE(d.access.dialled.empty());
    HangUpAtSessionEnd(d.config, d.access, d.state);
    EXPECT_TRUE(d.access.hungUp.empty());
  }
}

TEST(Dialer, PassesOverTheNumbers) {
  const struct {
    int attempts;
    std::vector<std::string> numbers;
    std::size_t dials;
  } cases[] = {
      {0, {}, 1}, {1, {}, 1}, {3, {}, 3}, {15, {}, 10}, {2, {"111", "222", "", "444"}, 6},
  };
  for (const auto& c : cases) {
    Dial d;
    d.config.DialupAttempts = c.attempts;
    std::copy(c.numbers.begin(), c.numbers.end(), d.config.DialupPhoneNumber.begin());
    d.run();
    EXPECT_EQ(d.access.dialled.size(), c.dials) << c.attempts;
    EXPECT_EQ(d.pauses, std::vector<std::uint32_t>(c.dials, 4000u)) << "a pause after every failure";
    EXPECT_EQ(d.lines().back(), "*** Не смог установить соединение.\r\n");
    EXPECT_EQ(d.posted(), std::vector<std::string>{kDone});
    EXPECT_EQ(d.state.dialedByUs, 0);
  }
  Dial d;
  std::copy_n(std::vector<std::string>{"111", "222"}.begin(), 2, d.config.DialupPhoneNumber.begin());
  d.run();
  EXPECT_EQ(d.access.dialled, (std::vector<std::string>{"provider/", "provider/111", "provider/222"}));
  const auto lines = d.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Не смог соединиться по этому номеру.\r\n"), 3);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Дозваниваюсь по номеру 222\r\n"), lines.end());
}

TEST(Dialer, ADialledLinkIsHungUpAtTheEndOnlyWithAutoOff) {
  for (const bool autoOff : {false, true}) {
    Dial d;
    d.config.DialupAutoOff = autoOff;
    d.access.outcomes = {{false, 5}, {true, 9}};  // the failed dial left a handle behind
    d.config.DialupAttempts = 2;
    d.run();
    EXPECT_EQ(d.posted(), (std::vector<std::string>{kConnected3, kDone}));
    EXPECT_EQ(d.lines().back(), "*** Соединение установлено.\r\n");
    EXPECT_EQ(d.state.dialedByUs, 1);
    HangUpAtSessionEnd(d.config, d.access, d.state);
    EXPECT_EQ(d.access.hungUp, (autoOff ? std::vector<ConnectionHandle>{5, 9} : std::vector<ConnectionHandle>{5}));
  }
}

TEST(Dialer, SavedParametersAndTheBreakCommand) {
  {
    Dial d;
    d.access.saved = std::nullopt;
    d.run();
    EXPECT_EQ(d.lines()[1], "Ошибка - не смог определить параметры соединения.\r\n");
    EXPECT_TRUE(d.access.dialled.empty());
  }
  {
    Dial d;
    d.access.saved = SavedDialParameters{false};
    d.run();
    EXPECT_EQ(d.lines()[1], "Ошибка - не введен пароль в параметрах соединения.\r\n");
    EXPECT_EQ(d.lines().back(), "*** Не смог установить соединение.\r\n");
  }
  {
    Dial d;  // "Прервать связь" while dialling: the dialer stops after its pause
    d.config.DialupAttempts = 10;
    d.duringPause = [&] { BreakConnection(d.access, d.state); };
    d.run();
    EXPECT_EQ(d.access.dialled.size(), 1u);
    EXPECT_EQ(d.state.dialAbortRequest, 0) << "cleared by the dialer";
  }
  {
    Dial d;  // with a link up, the break hangs it up
    d.access.active = 42;
    BreakConnection(d.access, d.state);
    EXPECT_EQ(d.access.hungUp, std::vector<ConnectionHandle>{42});
    EXPECT_EQ(d.state.dialAbortRequest, 1);
  }
}

}  // namespace
}  // namespace quelma::dialup
