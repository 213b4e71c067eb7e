// Moving and dropping open files; opening, reading, writing and closing are per platform.
#include "platform/files.h"

namespace quelma::platform {

InputFile::InputFile(InputFile&& other) noexcept
    : handle_(other.handle_), failed_(other.failed_) {
  other.handle_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    failed_ = other.failed_;
    other.handle_ = -1;
  }
  return *this;
}

InputFile::~InputFile() { close(); }

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

OutputFile::~OutputFile() { close(); }

}  // namespace quelma::platform
