// Log lines on the terminal: UTF-8, in the source's colour when stdout is a terminal; for the
// journal when the service manager connected stdout to it.
#pragma once

#include <cstdio>

#include "app/main_window_procedure.h"

namespace quelma::app {

class TerminalLogView final : public LogView {
 public:
  explicit TerminalLogView(std::FILE* out);
  void showLine(link::LogSource source, std::string_view lineWithoutCrLf) override;

 private:
  std::FILE* out_;
  bool journal_;
  bool colour_;
};

}  // namespace quelma::app
