#include "app/console/status_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "app/alert_watch.h"
#include "app/console/existing_settings.h"
#include "platform/clock.h"
#include "platform/cp1251_utf8.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "status/openmetrics.h"
#include "status/status_file.h"
#include "status/status_report.h"
#include "status/status_text.h"

namespace quelma::app {

int StatusCommand(const std::string& programDir, const std::vector<std::string>& words) {
  bool json = false;
  std::string metrics;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--json") {
      json = true;
    } else if (words[i] == "--openmetrics" && i + 1 < words.size() && !words[i + 1].empty()) {
      metrics = words[++i];
    } else {
      return 2;
    }
  }
  const auto config = LoadExistingSettings(programDir);
  if (!config) return 1;
  const std::optional<bool> held = platform::InstanceLock::IsHeld(programDir);
  const auto written = status::ReadStatusFile(programDir);
  const status::ProgramStatus status = status::GatherStatus(programDir, *config, written, held.value_or(false));
  if (!metrics.empty()) {
    // For a node exporter's textfile collector: replaced whole, readable by its user.
    const mode_t before = umask(022);
    const bool done = platform::AtomicReplace(metrics, status::FormatOpenMetrics(status)) == platform::WriteResult::kWritten;
    umask(before);
    if (!done) {
      std::fprintf(stderr, "quelma: %s could not be written: %s\n", metrics.c_str(), platform::LastFileErrorText().c_str());
      return 1;
    }
  }
  if (json) {
    std::fputs(status::FormatStatusJson(status).c_str(), stdout);
  } else if (metrics.empty()) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::string text = status::FormatStatusText(status, UtcOffsetSeconds(platform::SystemClock(), now));
    if (!held) text = "Не могу узнать, работает ли программа (нет прав на quelma.lock)\n" + text;
    std::fputs(platform::Cp1251ToUtf8(text).c_str(), stdout);
  }
  return 0;
}

}  // namespace quelma::app
