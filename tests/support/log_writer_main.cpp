// Appends numbered log entries through the platform's Env, with rotation:
// a second process for the tests that check appends between processes.
// Usage: tc_log_writer <path> <tag> <count> <max bytes> <older files>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "env/env.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: tc_log_writer path tag count max_bytes older_files\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::string tag = argv[2];
  const int count = std::atoi(argv[3]);
  const tolvenar::LogRotation rotation{std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5])};
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    const std::string entry = tag + " entry " + std::to_string(i) + " " +
                              std::string(40, tag.empty() ? 'x' : tag[0]) + "\r\n";
    if (!tolvenar::Env::Default()->AppendToFile(path, entry, rotation)) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
