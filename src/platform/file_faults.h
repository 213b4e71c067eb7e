// A test seam of the file layer: the chosen call of one file step fails as a failing disk would.
#pragma once

namespace quelma::platform {

enum class FileStep { kCreate, kWrite, kSync, kTruncate, kRename, kRemove, kSyncDirectory };
inline constexpr int kFileStepKinds = 7;

// While one exists, the file steps of the whole process are counted, and a call chosen with
// failCall fails as if the disk had answered with an I/O error (EIO; ERROR_IO_DEVICE on
// Windows). Without one, a step costs one relaxed load. One at a time.
class FileFaultInjection {
 public:
  FileFaultInjection();
  FileFaultInjection(const FileFaultInjection&) = delete;
  FileFaultInjection& operator=(const FileFaultInjection&) = delete;
  ~FileFaultInjection();

  // The `nth` call of `step` from now on fails (1: the next one); 0 fails none.
  void failCall(FileStep step, int nth);
  int calls(FileStep step) const;  // since this object was made
  bool fired() const;              // the chosen call came
};

// For the file layer: whether this call of `step` fails.
bool InjectedFileFault(FileStep step);

}  // namespace quelma::platform
