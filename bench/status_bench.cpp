// /api/status under load from a local multi-threaded client, beside a
// trivial handler on the same server as the floor: requests per second,
// p50/p99 latency, and the cost of building the document alone.
#include <arpa/inet.h>
#include <civetweb.h>
#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "base/bounded_text.h"
#include "base/mutex_lock.h"
#include "app/resume_state.h"
#include "device/device_identity.h"
#include "bench/bench_support.h"
#include "web/http_server.h"
#include "web/status_document.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kClients = 4;
constexpr auto kRound = std::chrono::seconds(3);

int trivial_handler(mg_connection *conn, void *) {
  json_response(conn, 200, "{\"running\":false}");
  return 1;
}

// One request over a fresh connection (the server closes after each reply).
bool fetch(const std::string &request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(30920);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return false;
  }
  bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  char buffer[16384];
  std::size_t total = 0;
  for (ssize_t n; ok && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) total += static_cast<std::size_t>(n);
  close(fd);
  return ok && total > 0;
}

struct Figures {
  double requests_per_second;
  double p50_us, p99_us;
  long failures;
};

Figures load(const char *path) {
  std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::vector<double>> latencies(kClients);
  std::atomic<long> failures{0};
  auto start = Clock::now();
  auto end = start + kRound;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      while (Clock::now() < end) {
        auto before = Clock::now();
        if (!fetch(request)) ++failures;
        latencies[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      }
    });
  }
  for (auto &client : clients) client.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto &part : latencies) all.insert(all.end(), part.begin(), part.end());
  std::sort(all.begin(), all.end());
  auto at = [&](double q) {
    return all.empty() ? 0.0 : all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1))];
  };
  return {static_cast<double>(all.size()) / seconds, at(0.50), at(0.99), failures.load()};
}

void print(const char *name, const Figures &f) {
  std::printf("  %-22s %9.0f req/s   p50 %7.1f us   p99 %7.1f us   failures %ld\n", name,
              f.requests_per_second, f.p50_us, f.p99_us, f.failures);
}

}  // namespace

// The bench's own application state, as the program's process entry holds it.
static AppState app_state;

int main() {
  g_mutex_init(&app_state.stream.lock);
  g_mutex_init(&app_state.identity.lock);

  // A parameter store with a saved choice, as on a camera that has streamed,
  // and a serial number, so the identity is cached after the first request.
  corvane_test::TempDir store;
  g_setenv("AXPARAMETER_DIR", store.path().c_str(), TRUE);
  g_setenv("AXPARAMETER_SYSTEM_SERIAL", "ACCC8E0A1B2C", TRUE);
  app_state.parameters = ax_parameter_new("corvane", nullptr);
  if (!app_state.parameters) {
    std::fprintf(stderr, "parameter store unavailable\n");
    return 1;
  }
  ax_parameter_set(app_state.parameters, "ResumeOnStart", "yes", FALSE, nullptr);
  ax_parameter_set(app_state.parameters, "LastDestination", "rtmp://live.example/app/0123456789abcdef", FALSE, nullptr);
  ax_parameter_set(app_state.parameters, "LastProfileName", "Main 1080p", FALSE, nullptr);
  ax_parameter_set(app_state.parameters, "LastProfileParameters", "videocodec=h265&resolution=1920x1080&fps=30", FALSE, nullptr);
  ax_parameter_set(app_state.parameters, "LastSilentAudio", "yes", FALSE, nullptr);
  {
    // A running stream's counters and texts (no worker: the block is only read).
    MutexLock lock(app_state.stream.lock);
    StreamControl &c = app_state.stream;
    c.running = 1;
    c.frames_sent = 123456;
    c.bytes_sent = 987654321;
    c.last_packet_bytes = 12345;
    c.current_bitrate = 4000000;
    copy_bounded(c.profile_name, "Main 1080p");
    copy_bounded(c.destination, "rtmp://live.example/app/0123456789abcdef");
    copy_bounded(c.stream_details, "H.265 1920x1080 at 30 fps, VBR 4000 kbit/s, GOP 62");
    copy_bounded(c.profile_details, "Profile \"Main 1080p\": videocodec=h265, resolution=1920x1080, fps=30");
  }

  mg_init_library(0);
  mg_context *server = start_web_server();
  if (!server) {
    std::fprintf(stderr, "port 30920 is taken\n");
    return 1;
  }
  register_routes(server, app_state);
  // An exact route is matched before the prefix routes, so this one wins.
  mg_set_request_handler(server, "/bench/trivial", trivial_handler, nullptr);

  // The document alone, without the network, and the parts it is made of.
  {
    char document[kStatusDocumentSize];
    format_status_document(app_state, document, sizeof document);  // warms the identity cache
    constexpr int kBuilds = 20000;
    auto per_call = [](auto call) {
      auto before = Clock::now();
      for (int i = 0; i < kBuilds; ++i) call();
      return std::chrono::duration<double, std::micro>(Clock::now() - before).count() / kBuilds;
    };
    double whole = per_call([&] { format_status_document(app_state, document, sizeof document); });
    char mac[kMacAddressSize];
    double interfaces = per_call([&] { read_mac_address(mac); });
    ResumeState saved;
    double parameters = per_call([&] { resume_state_load(app_state.parameters, saved); });
    DeviceIdentity identity;
    double cached_identity = per_call([&] {
      device_identity_get(app_state.identity, app_state.parameters, app_state.curl_ready, identity);
    });
    std::printf("status document build: %.1f us each (%zu bytes): interface enumeration %.1f us, "
                "five parameter reads %.1f us, cached identity %.2f us, the rest %.1f us\n",
                whole, std::strlen(document), interfaces, parameters, cached_identity,
                whole - interfaces - parameters - cached_identity);
  }

  std::printf("HTTP, %d client threads, a new connection per request, %lld s per round:\n", kClients,
              static_cast<long long>(kRound.count()));
  double trivial_best = 0, status_best = 0;
  for (int round = 1; round <= 3; ++round) {
    Figures trivial = load("/bench/trivial");
    Figures status = load("/api/status");
    print(("trivial handler #" + std::to_string(round)).c_str(), trivial);
    print(("/api/status #" + std::to_string(round)).c_str(), status);
    trivial_best = std::max(trivial_best, trivial.requests_per_second);
    status_best = std::max(status_best, status.requests_per_second);
  }
  double ratio = trivial_best / status_best;
  std::printf("cost of a status request: %.2fx the trivial handler's (budget 2.00x): %s\n", ratio,
              ratio <= 2.0 ? "within budget" : "OVER BUDGET");

  mg_stop(server);
  mg_exit_library();
  ax_parameter_free(app_state.parameters);
  app_state.parameters = nullptr;
  return 0;
}
