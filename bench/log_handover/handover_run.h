// The log hand-over under measure: one thread writes lines through the activity log, as a
// server does, while the front end's main thread takes each one (file, then view).
#pragma once

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "link/activity_log.h"

namespace quelma::bench {

constexpr int kLines = 10000;

// A log file already at its limit, so that every line pays the trimming as in a long run.
inline void FillLogFile(const std::string& path, std::uint32_t kilobytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const std::string line = "07 Dec 2026 01:21:59 POP3SRV> Запрос соединения от 127.0.0.1\r\n";
  for (std::size_t written = 0; written + line.size() <= kilobytes * 1024u; written += line.size()) out << line;
}

// The producer's side: the seconds that `kLines` lines took from the first send to the last
// one handled.
inline double WriteLines(link::ActivityLog& log) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kLines; ++i) {
    log.LogPop3Srv("Подключился пользователь \"ivan\", сообщение " + std::to_string(i) + "\r\n");
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline void Report(const char* frontEnd, std::uint32_t kilobytes, double seconds) {
  std::printf("%-8s LogFileSize %4u: %6d lines in %7.3f s = %8.0f lines/s\n", frontEnd, kilobytes, kLines, seconds,
              kLines / seconds);
  std::fflush(stdout);
}

}  // namespace quelma::bench
