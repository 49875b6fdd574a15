// ztcli: the interactive shell of ztserver.
//
//   ztcli [-H host] [-p port] [-t seconds] [-m address:port] [--csv]
//         [--tls] [--ca FILE] [--cert FILE --key FILE] [-U user]
//         [--stop-on-error] [-c COMMAND]... [COMMAND ...]
//
// Each COMMAND (from -c or the command line) is run in turn; without any,
// the lines of standard input are: with line editing, history and a prompt
// on a terminal, plainly when it is a pipe or a file. A line is a protocol
// request or a backslash command (shell.h). Exit status: 0 when everything
// succeeded, 1 when a command failed, 2 when the server (or the metrics
// endpoint) could not be reached or the connection was lost.
//
// On a terminal: Ctrl-C clears the line being typed, or abandons the
// request being waited for (its connection is shut down from the signal
// handler, and a new one opened); it never ends the shell. Each line goes
// into ~/.ztcli_history as it is entered, so every way out keeps it. A
// connection the server closed between commands (a restart) is opened
// again before the next command. Tab completes command, table and column
// names (Shell::Complete).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

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

#ifndef ZT_VERSION
#define ZT_VERSION "unknown"
#endif

// Set by SIGINT (interactive sessions only). While a command runs, the
// handler also shuts the connection's socket down, which ends the
// library's wait for a reply as a closed connection.
volatile sig_atomic_t g_interrupted = 0;
volatile sig_atomic_t g_busy_socket = -1;  // the socket while a command runs

void OnInterrupt(int) {
  g_interrupted = 1;
  const int fd = g_busy_socket;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

ztcli::Shell* g_shell = nullptr;  // for the completion hook

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: ztcli [-H host] [-p port] [-t seconds] [-m address:port] [--csv]\n"
               "             [--tls] [--ca FILE] [--cert FILE --key FILE] [-U user]\n"
               "             [--stop-on-error] [-c COMMAND]... [COMMAND ...]\n"
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
               "  --stop-on-error  stop a script (piped input, -c, \\i) at its first\n"
               "              failed line, naming it (\\set ON_ERROR_STOP on does too)\n"
               "  --version   print the version and exit\n"
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

#ifdef ZT_HAVE_READLINE
// Tab: the shell's candidates for the word under the cursor.
char* NextCandidate(const char*, int state) {
  static std::vector<std::string> candidates;
  static size_t next = 0;
  if (state == 0) {
    const std::string line(rl_line_buffer, static_cast<size_t>(rl_point));
    const size_t start = line.find_last_of(" \t~") == std::string::npos
                             ? 0
                             : line.find_last_of(" \t~") + 1;
    candidates = g_shell->Complete(std::string_view(line).substr(0, start),
                                   std::string_view(line).substr(start));
    next = 0;
  }
  return next < candidates.size() ? strdup(candidates[next++].c_str()) : nullptr;
}

char** CompleteWord(const char* text, int, int) {
  rl_attempted_completion_over = 1;  // never file names
  // A protocol command name is followed by '~', not a blank.
  rl_completion_append_character =
      std::strchr(rl_line_buffer, ' ') == nullptr && rl_line_buffer[0] != '\\' ? '\0' : ' ';
  return rl_completion_matches(text, NextCandidate);
}

// The line the callback interface hands over.
std::string g_line;
bool g_line_done = false;
bool g_line_eof = false;

void LineDone(char* line) {
  g_line_done = true;
  g_line_eof = line == nullptr;
  if (line != nullptr) {
    g_line = line;
    std::free(line);
  }
  rl_callback_handler_remove();
}
#endif

class LineReader {
 public:
  explicit LineReader(bool interactive) : interactive_(interactive) {
#ifdef ZT_HAVE_READLINE
    if (interactive_) {
      rl_readline_name = "ztcli";
      rl_attempted_completion_function = CompleteWord;
      rl_completer_word_break_characters = const_cast<char*>(" \t~");
      // SIGINT is the shell's own (OnInterrupt), between and during lines.
      rl_catch_signals = 0;
      if (!HistoryFile().empty()) {
        // append_history adds to a file that is there, and makes none.
        if (read_history(HistoryFile().c_str()) != 0) write_history(HistoryFile().c_str());
        stifle_history(kHistoryLines);
        history_truncate_file(HistoryFile().c_str(), kHistoryLines);
      }
    }
#endif
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Next(std::string& line) {
#ifdef ZT_HAVE_READLINE
    if (interactive_) return NextInteractive(line);
#else
    if (interactive_) {
      std::fputs("zt> ", stdout);
      std::fflush(stdout);
    }
#endif
    return static_cast<bool>(std::getline(std::cin, line));
  }

 private:
#ifdef ZT_HAVE_READLINE
  // readline's callback interface, so that a Ctrl-C (the poll interrupted)
  // can clear the line and prompt again without ending the read.
  bool NextInteractive(std::string& line) {
    g_line_done = false;
    // SIGINT is let in only inside ppoll: one that came while a key was
    // being handled would otherwise leave the flag set and poll asleep.
    sigset_t interrupt, waiting;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    ::sigprocmask(SIG_BLOCK, &interrupt, &waiting);
    sigdelset(&waiting, SIGINT);
    rl_callback_handler_install("zt> ", LineDone);
    while (!g_line_done) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      const int ready = g_interrupted ? 0 : ::ppoll(&input, 1, nullptr, &waiting);
      if (g_interrupted) {
        g_interrupted = 0;
        rl_free_line_state();
        rl_callback_sigcleanup();
        rl_replace_line("", 0);
        rl_crlf();
        rl_on_new_line();
        rl_redisplay();
        continue;
      }
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) break;
      rl_callback_read_char();
    }
    ::sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
    if (!g_line_done) rl_callback_handler_remove();
    if (!g_line_done || g_line_eof) {
      std::fputs("\n", stdout);
      return false;
    }
    line = g_line;
    if (line.find_first_not_of(" \t") != std::string::npos) {
      add_history(line.c_str());
      // At once: a shell killed or its terminal closed keeps what it had.
      if (!HistoryFile().empty()) append_history(1, HistoryFile().c_str());
    }
    return true;
  }
#endif
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
    if (arg == "--version") {
      std::printf("ztcli %s\n", ZT_VERSION);
      return 0;
    }
    if (arg == "--stop-on-error") {
      options.stop_on_error = true;
      continue;
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
  g_shell = &shell;
  int status = 0;
  auto account = [&](ztcli::Outcome outcome) {
    switch (outcome) {
      case ztcli::Outcome::kOk: return true;
      case ztcli::Outcome::kFailed: status = std::max(status, kExitFailed); return true;
      case ztcli::Outcome::kUnreachable: status = kExitNoServer; return true;
      case ztcli::Outcome::kLost: status = kExitNoServer; return false;
      case ztcli::Outcome::kQuit: return false;
    }
    return false;
  };
  if (!commands.empty()) {
    std::string script;
    for (const std::string& command : commands) script += command + "\n";
    std::istringstream in(script);
    account(shell.RunScript(in, ""));
    return status;
  }
  if (!interactive) {
    account(shell.RunScript(std::cin, "<stdin>"));
    return status;
  }
  // A terminal session connects at once, so that a server that is down
  // says so before the first prompt.
  if (!shell.Connect()) return kExitNoServer;
  std::printf("ztcli connected to %s:%u. \\help lists the commands, \\q quits.\n",
              options.server.host.c_str(), options.server.port);
  struct sigaction interrupt {};
  interrupt.sa_handler = OnInterrupt;
  sigemptyset(&interrupt.sa_mask);
  interrupt.sa_flags = 0;  // no SA_RESTART: a wait ends at once
  ::sigaction(SIGINT, &interrupt, nullptr);
  LineReader reader(interactive);
  std::string line;
  while (reader.Next(line)) {
    if (shell.ConnectionDropped()) {
      std::fprintf(stderr, "ztcli: the server closed the connection; connecting again\n");
      if (!shell.Reconnect()) continue;
    }
    // A Ctrl-C from here on abandons the command (one that came before
    // this line was taken by the reader).
    g_busy_socket = connection.descriptor();
    const ztcli::Outcome outcome = shell.Execute(line);
    g_busy_socket = -1;
    if (outcome == ztcli::Outcome::kQuit) break;
    if (outcome == ztcli::Outcome::kFailed || outcome == ztcli::Outcome::kUnreachable) {
      account(outcome);
    }
    if (g_interrupted || outcome == ztcli::Outcome::kLost || !connection.connected()) {
      // Abandoned with Ctrl-C, or lost: a terminal session goes on, on a
      // new connection.
      std::fprintf(stderr, "ztcli: %s; connecting again\n",
                   g_interrupted ? "request abandoned (Ctrl-C)" : "the connection was lost");
      g_interrupted = 0;
      shell.Reconnect();
    }
  }
  return status;
}
