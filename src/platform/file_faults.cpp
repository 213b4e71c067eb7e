// The counters of the file fault seam, process-wide.
#include "platform/file_faults.h"

#include <atomic>

namespace quelma::platform {
namespace {

std::atomic<bool> armed{false};
std::atomic<bool> hit{false};
std::atomic<int> counts[kFileStepKinds];
std::atomic<int> failAt[kFileStepKinds];

int Index(FileStep step) { return static_cast<int>(step); }

}  // namespace

FileFaultInjection::FileFaultInjection() {
  for (int i = 0; i < kFileStepKinds; ++i) {
    counts[i] = 0;
    failAt[i] = 0;
  }
  hit = false;
  armed = true;
}

FileFaultInjection::~FileFaultInjection() { armed = false; }

void FileFaultInjection::failCall(FileStep step, int nth) {
  failAt[Index(step)] = nth > 0 ? counts[Index(step)] + nth : 0;
}

int FileFaultInjection::calls(FileStep step) const { return counts[Index(step)]; }

bool FileFaultInjection::fired() const { return hit; }

bool InjectedFileFault(FileStep step) {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const int n = ++counts[Index(step)];
  if (n != failAt[Index(step)]) return false;
  hit = true;
  return true;
}

}  // namespace quelma::platform
