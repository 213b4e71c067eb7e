// Log lines on the terminal: UTF-8, in the source's colour when stdout is a terminal.
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
  bool colour_;
};

}  // namespace quelma::app
