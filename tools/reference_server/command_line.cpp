#include "reference_server/command_line.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace tolvenar::tools {

std::vector<Flag> ParseFlags(int argc, char** argv, const std::vector<std::string>& known) {
  std::vector<Flag> flags;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      flags.push_back({"help", ""});
      continue;
    }
    if (arg.rfind("--", 0) != 0) throw std::invalid_argument("unexpected argument: " + arg);
    arg.erase(0, 2);
    Flag flag;
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      flag.name = arg.substr(0, equals);
      flag.value = arg.substr(equals + 1);
    } else {
      flag.name = arg;
      if (i + 1 >= argc) throw std::invalid_argument("--" + arg + " needs a value");
      flag.value = argv[++i];
    }
    if (std::find(known.begin(), known.end(), flag.name) == known.end()) {
      throw std::invalid_argument("unknown option --" + flag.name);
    }
    flags.push_back(std::move(flag));
  }
  return flags;
}

int ParseInt(const std::string& text, const std::string& what) {
  size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size())
    throw std::invalid_argument(what + ": not a number: " + text);
  return value;
}

static sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopSignal() {
  const sigset_t set = StopSignals();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
}

bool ListenFlags::Take(const Flag& flag) {
  if (flag.name == "host") {
    listen.host = flag.value;
  } else if (flag.name == "port") {
    listen.port = ParseInt(flag.value, "--port");
  } else if (flag.name == "port-file") {
    port_file = flag.value;
  } else if (flag.name == "cert") {
    listen.cert_file = flag.value;
  } else if (flag.name == "key") {
    listen.key_file = flag.value;
  } else {
    return false;
  }
  return true;
}

void ListenFlags::Check() const {
  if (listen.cert_file.empty() != listen.key_file.empty()) {
    throw std::invalid_argument("--cert and --key go together");
  }
}

void WritePortFile(const std::string& path, int port) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << "\n";
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary);
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace tolvenar::tools
