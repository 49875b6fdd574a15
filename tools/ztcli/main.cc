// ztcli: the interactive shell of ztserver.
//
//   ztcli [-H host] [-p port] [-t seconds] [-m address:port] [--csv]
//         [--tls] [--ca FILE] [--cert FILE --key FILE] [-U user]
//         [-c COMMAND]... [COMMAND ...]
//
// Each COMMAND (from -c or the command line) is run in turn; without any,
// the lines of standard input are: with line editing, history and a prompt
// on a terminal, plainly when it is a pipe or a file. A line is a protocol
// request or a backslash command (shell.h). Exit status: 0 when everything
// succeeded, 1 when a command failed, 2 when the server (or the metrics
// endpoint) could not be reached or the connection was lost.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "ztcli/shell.h"
#include "ztserver/client.h"

#ifdef ZT_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace {

// The port the documentation's example MetricsAddress uses.
constexpr int kDefaultMetricsPort = 9187;
constexpr int kExitFailed = 1;
constexpr int kExitNoServer = 2;
constexpr int kHistoryLines = 1000;

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: ztcli [-H host] [-p port] [-t seconds] [-m address:port] [--csv]\n"
               "             [--tls] [--ca FILE] [--cert FILE --key FILE] [-U user]\n"
               "             [-c COMMAND]... [COMMAND ...]\n"
               "The shell of ztserver. Runs each COMMAND, or else reads commands from\n"
               "standard input (interactively on a terminal). A command is a protocol\n"
               "request such as RECORDSETOPEN~1~Customers, or a backslash command such as\n"
               "\\dt or \\show Customers LIMIT 5 (\\help lists them).\n"
               "  -H host     server address (default 127.0.0.1)\n"
               "  -p port     server port (default 5432)\n"
               "  -t seconds  how long to wait for each reply (default 15)\n"
               "  -m address:port  the server's MetricsAddress, for \\status (default host:%d)\n"
               "  -c COMMAND  run COMMAND (repeatable), then exit\n"
               "  --csv       print \\dt, \\d and \\show results as CSV\n"
               "  --tls       connect through the server's TLS listener (TlsAddress);\n"
               "              its certificate must name the host and chain to --ca\n"
               "  --ca FILE   CA certificates (PEM) to verify the server (default: the\n"
               "              system's)\n"
               "  --cert FILE --key FILE  a client certificate and its key (PEM)\n"
               "  -U user     AUTHENTICATE as user; the password is taken from the\n"
               "              environment variable ZTPASSWORD, else asked on the terminal\n"
               "Exit status: 0 all succeeded, 1 a command failed, 2 no server or connection lost.\n",
               kDefaultMetricsPort);
}

// The history file of interactive sessions: ~/.ztcli_history.
std::string HistoryFile() {
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.ztcli_history" : std::string();
}

class LineReader {
 public:
  explicit LineReader(bool interactive) : interactive_(interactive) {
#ifdef ZT_HAVE_READLINE
    if (interactive_ && !HistoryFile().empty()) {
      read_history(HistoryFile().c_str());
      stifle_history(kHistoryLines);
    }
#endif
  }
  ~LineReader() {
#ifdef ZT_HAVE_READLINE
    if (interactive_ && !HistoryFile().empty()) write_history(HistoryFile().c_str());
#endif
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Next(std::string& line) {
#ifdef ZT_HAVE_READLINE
    if (interactive_) {
      char* read = readline("zt> ");
      if (read == nullptr) return false;
      line = read;
      std::free(read);
      if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
      return true;
    }
#else
    if (interactive_) {
      std::fputs("zt> ", stdout);
      std::fflush(stdout);
    }
#endif
    return static_cast<bool>(std::getline(std::cin, line));
  }

 private:
  bool interactive_;
};

// Splits "address:port"; false when it is not that.
bool SplitAddress(const std::string& text, std::string& host, long& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  port = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || port < 1 || port > 65535) return false;
  host = text.substr(0, colon);
  return true;
}

// Asks for a password on the terminal with echo off.
std::string PromptPassword() {
  std::fputs("Password: ", stderr);
  std::fflush(stderr);
  termios saved{};
  const bool restore = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string answer;
  std::getline(std::cin, answer);
  if (restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::fputs("\n", stderr);
  return answer;
}

bool ParseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ztcli::ShellOptions options;
  std::string metrics_address;
  std::vector<std::string> commands;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--csv") {
      options.csv = true;
      continue;
    }
    if (arg == "--tls") {
      options.server.tls = true;
      continue;
    }
    if (arg == "--ca" || arg == "--cert" || arg == "--key" || arg == "-U") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "ztcli: %s needs a value\n", arg.c_str());
        return kExitNoServer;
      }
      const char* value = argv[++i];
      (arg == "--ca"     ? options.server.ca_file
       : arg == "--cert" ? options.server.certificate_file
       : arg == "--key"  ? options.server.key_file
                         : options.server.user) = value;
      continue;
    }
    if (arg == "-H" || arg == "-p" || arg == "-t" || arg == "-c" || arg == "-m") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "ztcli: %s needs a value\n", arg.c_str());
        return kExitNoServer;
      }
      const char* value = argv[++i];
      long number = 0;
      if (arg == "-H") {
        options.server.host = value;
      } else if (arg == "-m") {
        metrics_address = value;
      } else if (arg == "-c") {
        commands.emplace_back(value);
      } else if (!ParseNumber(value, 1, arg == "-p" ? 65535 : 3600, number)) {
        std::fprintf(stderr, "ztcli: invalid value '%s' for %s\n", value, arg.c_str());
        return kExitNoServer;
      } else if (arg == "-p") {
        options.server.port = static_cast<uint16_t>(number);
      } else {
        options.server.reply_timeout_ms = static_cast<int>(number * 1000);
      }
      continue;
    }
    commands.push_back(arg);
  }
  if (options.server.certificate_file.empty() != options.server.key_file.empty()) {
    std::fprintf(stderr, "ztcli: --cert and --key go together\n");
    return kExitNoServer;
  }
  if (!options.server.user.empty()) {
    const char* password = std::getenv("ZTPASSWORD");
    options.server.password = password != nullptr ? password
                              : ::isatty(STDIN_FILENO) == 1 ? PromptPassword()
                                                            : std::string();
  }
  options.metrics_host = options.server.host;
  long metrics_port = kDefaultMetricsPort;
  if (!metrics_address.empty() &&
      !SplitAddress(metrics_address, options.metrics_host, metrics_port)) {
    std::fprintf(stderr, "ztcli: invalid value '%s' for -m (ADDRESS:PORT)\n",
                 metrics_address.c_str());
    return kExitNoServer;
  }
  options.metrics_port = static_cast<uint16_t>(metrics_port);
  // A pager the user leaves early must not end the shell.
  ::signal(SIGPIPE, SIG_IGN);

  const bool interactive = commands.empty() && ::isatty(STDIN_FILENO) == 1;
  options.page = interactive && ::isatty(STDOUT_FILENO) == 1 && !options.csv;
  ztserver::Connection connection;
  ztcli::Shell shell(connection, options);
  int status = 0;
  // One line: false when the shell cannot go on.
  auto run = [&](const std::string& line) {
    switch (shell.Execute(line)) {
      case ztcli::Outcome::kOk: return true;
      case ztcli::Outcome::kFailed: status = std::max(status, kExitFailed); return true;
      case ztcli::Outcome::kUnreachable: status = kExitNoServer; return true;
      case ztcli::Outcome::kLost: status = kExitNoServer; return false;
      case ztcli::Outcome::kQuit: return false;
    }
    return false;
  };
  if (!commands.empty()) {
    for (const std::string& command : commands) {
      if (!run(command)) break;
    }
    return status;
  }
  // A terminal session connects at once, so that a server that is down
  // says so before the first prompt.
  if (interactive) {
    if (!shell.Connect()) return kExitNoServer;
    std::printf("ztcli connected to %s:%u. \\help lists the commands, \\q quits.\n",
                options.server.host.c_str(), options.server.port);
  }
  LineReader reader(interactive);
  std::string line;
  while (reader.Next(line)) {
    if (!run(line)) break;
  }
  return status;
}
