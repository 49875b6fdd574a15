// ztserver: the database server as a foreground daemon.
//
//   ztserver [--config FILE] [--port N]
//   ztserver --check-config [--config FILE]
//
// Start-up, the event loop until SIGTERM or SIGINT, shutdown. Standard
// output gets "Service started", "Listening on ADDRESS:PORT" with the port
// actually bound (--port 0 lets the system pick one; this line tells which)
// and "Service stopped". Under systemd (NOTIFY_SOCKET set) it reports
// READY=1 once started and STOPPING=1 when the stop request arrives. Exit
// status 0 after an orderly shutdown, 1 when it could not listen, 2 for a
// bad command line. --check-config reads the configuration as a start
// would, prints its errors and warnings (service/config_check.h) on
// standard error and exits: 0 clean, 1 errors, 3 warnings only.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/socket.h"
#include "engine/file.h"
#include "service/config_check.h"
#include "service/server.h"

#ifndef ZT_VERSION
#define ZT_VERSION "unknown"
#endif

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: ztserver [--config FILE] [--port N]\n"
               "       ztserver --check-config [--config FILE]\n"
               "Serves the database named in the configuration file over TCP.\n"
               "\n"
               "  --config FILE  configuration file (default %s)\n"
               "  --port N       TCP port to listen on (default %d; 0: any free port,\n"
               "                 printed once listening)\n"
               "  --check-config check the configuration file and exit: 0 clean,\n"
               "                 1 errors, 3 warnings only (each on standard error)\n"
               "  --help         show this help and exit\n"
               "  --version      show the version and exit\n",
               zt::kDefaultConfigFile, zt::kDefaultPort);
}

void Notify(const char* state) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket != nullptr && *socket != '\0') zt::SendLocalDatagram(socket, state);
}

bool ParsePort(const char* text, uint16_t& port) {
  if (text == nullptr || *text == '\0') return false;
  long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

int CheckConfig(const std::string& config_file) {
  const zt::ConfigCheck check = zt::CheckServerConfig(config_file);
  for (const std::string& line : check.errors) std::fprintf(stderr, "error: %s\n", line.c_str());
  for (const std::string& line : check.warnings) {
    std::fprintf(stderr, "warning: %s\n", line.c_str());
  }
  std::printf("%s: %zu error(s), %zu warning(s)\n", config_file.c_str(), check.errors.size(),
              check.warnings.size());
  constexpr int kExitWarnings = 3;
  return !check.errors.empty() ? 1 : !check.warnings.empty() ? kExitWarnings : 0;
}

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  zt::ServerOptions options;
  bool check_config = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("ztserver %s\n", ZT_VERSION);
      return 0;
    }
    if (arg == "--check-config") {
      check_config = true;
      continue;
    }
    if ((arg == "--config" || arg == "--port") && i + 1 >= argc) {
      std::fprintf(stderr, "ztserver: %s needs a value\n", arg.c_str());
      return 2;
    }
    if (arg == "--config") {
      options.config_file = argv[++i];
    } else if (arg.rfind("--config=", 0) == 0) {
      options.config_file = arg.substr(9);
    } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
      const char* value = arg == "--port" ? argv[++i] : argv[i] + 7;
      if (!ParsePort(value, options.port)) {
        std::fprintf(stderr, "ztserver: invalid port '%s' (0 to 65535)\n", value);
        return 2;
      }
    } else {
      std::fprintf(stderr, "ztserver: unknown argument '%s'\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  if (options.config_file.empty()) {
    std::fprintf(stderr, "ztserver: --config needs a file name\n");
    return 2;
  }
  if (check_config) return CheckConfig(options.config_file);

  // A stop request that arrives during start-up waits for the loop.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Tests only: keep every file's synced state in this folder, so that the
  // test can simulate a power failure after killing the server.
  if (const char* copies = std::getenv("ZT_TEST_SYNCED_COPIES"); copies != nullptr && *copies) {
    zt::SetFileFaults(zt::FileFaults{.track_syncs = true, .synced_copies = copies});
  }

  zt::Server server(options);
  Say("Service started");
  server.ServerStartup();
  if (!server.startup_failure().empty()) {
    std::fprintf(stderr, "ztserver: refusing to start: %s\n", server.startup_failure().c_str());
    server.ServerShutdown();
    Say("Service stopped");
    return 1;
  }
  if (!server.listening()) {
    // Nothing could ever be served; let the service manager see the failure.
    std::fprintf(stderr, "ztserver: cannot listen on port %u (see %s/dberrors.txt)\n",
                 static_cast<unsigned>(options.port), server.config().work_folder.c_str());
    server.ServerShutdown();
    Say("Service stopped");
    return 1;
  }
  const std::string listening =
      "Listening on " + server.config().listen_address + ":" + std::to_string(server.port());
  Say(listening.c_str());
  if (server.tls_port() != 0) {
    const std::string tls =
        "TLS on " + server.config().tls_address + ":" + std::to_string(server.tls_port());
    Say(tls.c_str());
  }
  if (server.metrics_port() != 0) {
    const std::string metrics = "Metrics on " + server.config().metrics_address + ":" +
                                std::to_string(server.metrics_port());
    Say(metrics.c_str());
  }
  Notify("READY=1");
  server.Run([] { Notify("STOPPING=1"); });
  server.ServerShutdown();
  Say("Service stopped");
  return 0;
}
