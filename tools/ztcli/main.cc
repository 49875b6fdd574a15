// ztcli: sends raw protocol requests to a ztserver and prints the replies.
//
//   ztcli [-H host] [-p port] [-t seconds] [-m address:port] [REQUEST ...]
//
// Each REQUEST (for example CREATERECORDSET or RECORDSETCLOSE~1) is sent
// in its own frame and its reply text printed on a line of its own. The
// request \status instead prints the server's figures, read from its
// metrics endpoint (-m; status.h). Without
// requests on the command line, every line of standard input is one request
// (with a prompt when standard input is a terminal). Exit status: 0 when
// every request was answered with a success, 1 when a reply was a failure
// (or never came), 2 when the server (or the endpoint) could not be reached.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client/client.h"
#include "status.h"

#ifdef ZT_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace {

// The port the documentation's example MetricsAddress uses.
constexpr int kDefaultMetricsPort = 9187;
constexpr char kStatusCommand[] = "\\status";

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: ztcli [-H host] [-p port] [-t seconds] [-m address:port] [REQUEST ...]\n"
               "Sends each REQUEST (or each line of standard input) to the server\n"
               "and prints each reply. The request \\status prints the server's figures\n"
               "from its metrics endpoint instead.\n"
               "  -H host     server address (default 127.0.0.1)\n"
               "  -p port     server port (default 5432)\n"
               "  -t seconds  how long to wait for each reply (default 15)\n"
               "  -m address:port  the server's MetricsAddress (default host:%d)\n",
               kDefaultMetricsPort);
}

bool IsFailure(const std::string& reply) {
  const std::string suffix = "~FAILED";
  return reply.size() >= suffix.size() &&
         reply.compare(reply.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Sends one request and prints its reply; false when it failed.
bool Run(zt::Client& client, const std::string& request, int timeout_ms) {
  std::string reply;
  if (!client.SendRequest(request)) {
    std::fprintf(stderr, "ztcli: the connection is lost\n");
    return false;
  }
  if (!client.ReadReply(reply, timeout_ms)) {
    std::fprintf(stderr, "ztcli: no reply to '%s'\n", request.c_str());
    return false;
  }
  std::printf("%s\n", reply.c_str());
  std::fflush(stdout);
  return !IsFailure(reply);
}

bool NextLine(bool interactive, std::string& line) {
#ifdef ZT_HAVE_READLINE
  if (interactive) {
    char* read = readline("zt> ");
    if (read == nullptr) return false;
    line = read;
    if (!line.empty()) add_history(read);
    std::free(read);
    return true;
  }
#else
  if (interactive) {
    std::fputs("zt> ", stdout);
    std::fflush(stdout);
  }
#endif
  return static_cast<bool>(std::getline(std::cin, line));
}

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

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 5432;
  long timeout_seconds = 15;
  std::string metrics_address;
  std::vector<std::string> requests;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    const bool takes_value = arg == "-H" || arg == "-p" || arg == "-t" || arg == "-m";
    if (takes_value && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "-H" || arg == "-m") {
        (arg == "-H" ? host : metrics_address) = value;
        continue;
      }
      char* end = nullptr;
      const long number = std::strtol(value, &end, 10);
      const long limit = arg == "-p" ? 65535 : 3600;
      if (end == value || *end != '\0' || number < 1 || number > limit) {
        std::fprintf(stderr, "ztcli: invalid value '%s' for %s\n", value, arg.c_str());
        return 2;
      }
      (arg == "-p" ? port : timeout_seconds) = number;
      continue;
    }
    if (takes_value) {
      std::fprintf(stderr, "ztcli: %s needs a value\n", arg.c_str());
      return 2;
    }
    requests.push_back(arg);
  }
  std::string metrics_host = host;
  long metrics_port = kDefaultMetricsPort;
  if (!metrics_address.empty() && !SplitAddress(metrics_address, metrics_host, metrics_port)) {
    std::fprintf(stderr, "ztcli: invalid value '%s' for -m (ADDRESS:PORT)\n",
                 metrics_address.c_str());
    return 2;
  }

  const int timeout_ms = static_cast<int>(timeout_seconds * 1000);
  zt::Client client;
  // The protocol connection is opened by the first request that needs it,
  // so that \status works against a server that refuses more clients.
  bool opened = false;
  int status = 0;  // the exit status so far
  const auto handle = [&](const std::string& request) {
    if (request == kStatusCommand) {
      const int result = zt::cli::PrintStatus(metrics_host, static_cast<uint16_t>(metrics_port),
                                              timeout_ms, stdout);
      status = std::max(status, result);
      return true;
    }
    if (!opened) {
      opened = true;
      std::string error;
      if (!client.Open(host, static_cast<uint16_t>(port), timeout_ms, &error)) {
        std::fprintf(stderr, "ztcli: %s\n", error.c_str());
        status = 2;
        return false;
      }
    }
    if (!Run(client, request, timeout_ms)) status = std::max(status, 1);
    return client.connected();
  };
  if (!requests.empty()) {
    for (const std::string& request : requests) {
      if (!handle(request)) break;
    }
    return status;
  }
  const bool interactive = ::isatty(STDIN_FILENO) == 1;
  std::string line;
  while (NextLine(interactive, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (!handle(line)) break;
  }
  return status;
}
