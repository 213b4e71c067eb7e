// Peak memory of the process that serves a benchmark connection.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>

namespace quelma::bench {

// VmHWM of a process in kilobytes, or -1.
inline long PeakKilobytes(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
  }
  return -1;
}

// `pid` itself, or for -1 the newest process called `name` (Dovecot and Postfix serve each
// connection in a process of its own).
inline long ServingPid(long pid, const char* name) {
  if (pid >= 0) return pid;
  FILE* p = popen((std::string("pgrep -n -x ") + name).c_str(), "r");
  long child = -1;
  if (p && std::fscanf(p, "%ld", &child) != 1) child = -1;
  if (p) pclose(p);
  return child;
}

}  // namespace quelma::bench
