#pragma once

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:"), or -1.
inline long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}
