#include "Serve.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include "KVL.h"
#include "Monitor.h"
#include "Notifier.h"
#include "Options.h"
#include "PluginHost.h"

namespace host_shell {

// The status page, compiled in from StatusPage.html.
extern const char kStatusPage[];

// The routes served, as /metrics counts them.
enum Route { kPage, kMetrics, kTopology, kEvents, kRouteCount };

namespace {

// Connections answered at once, each on a thread of its own. A client that sends its request
// slowly holds its thread for as long as it keeps sending (each read may wait
// kReadTimeoutSeconds), so there is room for many such clients beside the scrapes and page
// views; connections past this many wait for a free thread.
constexpr size_t kConnectionThreads = 128;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
// Requests are GETs: a body is never needed.
constexpr size_t kLargestBody = 64 * 1024;
// How long Stop waits for open connections before leaving them to the end of the process.
constexpr auto kStopWait = std::chrono::seconds(10);
// The poll interval to assume while the plug-in object shows none (its own default).
constexpr double kDefaultPollSeconds = 30;

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kJsonType = "application/json";
constexpr const char* kTextType = "text/plain; charset=utf-8";

struct RouteInfo {
  const char* path;
  const char* contentType;
};

// Indexed by Route.
constexpr RouteInfo kRoutes[] = {
    {"/", "text/html; charset=utf-8"},
    {"/metrics", kMetricsType},
    {"/api/topology", kJsonType},
    {"/api/events", kJsonType},
};

struct StatusWord {
  int status;
  const char* text;
};

constexpr StatusWord kStatusWords[] = {
    {400, "Bad Request"},        {404, "Not Found"},
    {405, "Method Not Allowed"}, {408, "Request Timeout"},
    {413, "Payload Too Large"},  {414, "URI Too Long"},
    {500, "Internal Server Error"},
};

// Runs each connection on a thread of its own, up to kConnectionThreads at once, so that a few
// slow clients cannot starve a fixed pool. Shutdown waits until every connection is done.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  ConnectionThreads() : m_State(std::make_shared<State>()) {}

  void enqueue(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(m_State->mutex);
    m_State->waiting.push_back(std::move(task));
    if (m_State->running < kConnectionThreads) {
      ++m_State->running;
      try {
        // The thread keeps the state alive: it may still run after the queue is gone.
        std::thread(&ConnectionThreads::Work, m_State).detach();
      } catch (const std::system_error&) {
        // No thread to be had: the connection waits for one that is running to be free.
        --m_State->running;
      }
    }
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(m_State->mutex);
    m_State->idle.wait(lock, [this] { return m_State->running == 0; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<std::function<void()>> waiting;  // guarded by mutex
    size_t running = 0;                         // guarded by mutex
  };

  // Runs waiting connections until there is none left.
  static void Work(std::shared_ptr<State> state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->waiting.empty()) {
      std::function<void()> task = std::move(state->waiting.front());
      state->waiting.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
    --state->running;
    state->idle.notify_all();
  }

  std::shared_ptr<State> m_State;
};

// True for a method name as HTTP spells them: capital letters, at most a short word.
bool IsMethodToken(const std::string& method) {
  if (method.empty() || method.size() > 32) return false;
  for (char c : method) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// "127.0.0.1:9586", or "[::1]:9586" for an IPv6 address.
std::string Endpoint(const std::string& host, int port) {
  std::string address = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return address + ":" + std::to_string(port);
}

// Why the address cannot be bound, found by trying it with a socket of our own (the HTTP
// library says only that it failed).
std::string BindFailure(const std::string& host, int port) {
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | (host == "localhost" ? 0 : AI_NUMERICHOST);
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return gai_strerror(rc);
  std::string reason = "the address cannot be bound";
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 || listen(fd, 1) != 0)
      reason = std::strerror(errno);
    close(fd);
  }
  freeaddrinfo(found);
  return reason;
}

}  // namespace

struct FleetServer::Shared {
  std::mutex mutex;
  std::shared_ptr<const Pages> pages = std::make_shared<Pages>();  // guarded by mutex
  std::atomic<uint64_t> requests[kRouteCount] = {};
  std::atomic<bool> finished{false};  // the listening thread has returned

  std::shared_ptr<const Pages> Current() {
    std::lock_guard<std::mutex> lock(mutex);
    return pages;
  }
};

namespace {

// Any method but GET, as the library hands it over.
httplib::Server::HandlerResponse RefuseMethods(const httplib::Request& request,
                                               httplib::Response& response) {
  if (request.method == "GET") return httplib::Server::HandlerResponse::Unhandled;
  response.status = 405;
  response.set_header("Allow", "GET");
  response.set_content("405 Method Not Allowed: only GET is served\n", kTextType);
  return httplib::Server::HandlerResponse::Handled;
}

// A short text body for every error answer that has none.
httplib::Server::HandlerResponse AnswerError(const httplib::Request& request,
                                             httplib::Response& response) {
  if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
  // The library refuses methods it does not know before the routes see them; a well-formed
  // method other than GET is still a method not allowed.
  if (response.status == 400 && IsMethodToken(request.method) && request.method != "GET") {
    response.status = 405;
    response.set_header("Allow", "GET");
  }
  std::string text = "Error";
  for (const StatusWord& word : kStatusWords) {
    if (word.status == response.status) text = word.text;
  }
  response.set_content(std::to_string(response.status) + " " + text + "\n", kTextType);
  return httplib::Server::HandlerResponse::Handled;
}

// The picture's metrics followed by the shell's own request counters.
std::string MetricsText(const Pages& pages, const FleetServer::Shared& shared) {
  MetricsWriter writer;
  writer.Family("varnock_http_requests_total", "counter",
                "Requests the shell answered since it started, by path.");
  for (int route = 0; route < kRouteCount; ++route)
    writer.Sample({{"path", kRoutes[route].path}}, std::to_string(shared.requests[route].load()));
  return pages.metrics + writer.Text();
}

void Respond(Route route, FleetServer::Shared& shared, httplib::Response& response) {
  ++shared.requests[route];
  std::shared_ptr<const Pages> pages = shared.Current();
  const char* type = kRoutes[route].contentType;
  switch (route) {
    case kPage:
      // Everything the page needs is in it: nothing may come from another machine.
      response.set_header("Content-Security-Policy",
                          "default-src 'self'; script-src 'unsafe-inline'; "
                          "style-src 'unsafe-inline'; img-src 'self' data:");
      response.set_content(kStatusPage, type);
      break;
    case kMetrics:
      response.set_content(MetricsText(*pages, shared), type);
      break;
    case kTopology:
      response.set_content(pages->topology, type);
      break;
    case kEvents:
      response.set_content(pages->events, type);
      break;
    case kRouteCount:
      break;
  }
}

}  // namespace

FleetServer::FleetServer() : m_Server(new httplib::Server), m_Shared(std::make_shared<Shared>()) {
  httplib::Server& server = *m_Server;
  // Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which would let a second
  // shell bind the same port and share the connections instead of failing.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.new_task_queue = [] { return new ConnectionThreads; };
  server.set_read_timeout(kReadTimeoutSeconds, 0);
  server.set_write_timeout(kWriteTimeoutSeconds, 0);
  server.set_keep_alive_timeout(kReadTimeoutSeconds);
  server.set_payload_max_length(kLargestBody);
  server.set_default_headers({{"Cache-Control", "no-store"}});
  server.set_pre_routing_handler(RefuseMethods);
  server.set_error_handler(httplib::Server::HandlerWithResponse(AnswerError));
  for (int route = 0; route < kRouteCount; ++route) {
    std::shared_ptr<Shared> shared = m_Shared;
    server.Get(kRoutes[route].path,
               [shared, route](const httplib::Request&, httplib::Response& response) {
                 Respond(static_cast<Route>(route), *shared, response);
               });
  }
}

FleetServer::~FleetServer() {
  Stop();
  delete m_Server;
}

bool FleetServer::Bind(const std::string& host, int port, std::string& error) {
  if (port == 0) {
    m_Port = m_Server->bind_to_any_port(host);
  } else {
    m_Port = m_Server->bind_to_port(host, port) ? port : -1;
  }
  if (m_Port < 0) error = BindFailure(host, port);
  return m_Port >= 0;
}

void FleetServer::Start() {
  if (m_Thread.joinable() || m_Port < 0) return;
  std::shared_ptr<Shared> shared = m_Shared;
  httplib::Server* server = m_Server;
  m_Thread = std::thread([server, shared] {
    server->listen_after_bind();
    shared->finished = true;
  });
}

void FleetServer::Stop() {
  if (!m_Thread.joinable()) return;
  m_Server->stop();
  // The listening thread ends once every open connection is done; wait for that a bounded time.
  auto deadline = std::chrono::steady_clock::now() + kStopWait;
  while (!m_Shared->finished && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (m_Shared->finished) {
    m_Thread.join();
  } else {
    // A client still holds a connection open: leave its thread and the server it uses to the
    // end of the process rather than block shutdown on it.
    m_Thread.detach();
    m_Server = nullptr;
  }
}

void FleetServer::Publish(std::shared_ptr<const Pages> pages) {
  std::lock_guard<std::mutex> lock(m_Shared->mutex);
  m_Shared->pages = std::move(pages);
}

int RunServe(PluginHost& host, Notifier& notifier, const Options& options) {
  const std::string endpoint = Endpoint(options.listenHost, options.listenPort);
  FleetServer server;
  std::string error;
  if (!server.Bind(options.listenHost, options.listenPort, error)) {
    std::fprintf(stderr, "varnock-host: cannot listen on %s: %s\n", endpoint.c_str(),
                 error.c_str());
    return 1;
  }
  // Served from the start: until the plug-in runs, the picture says so (varnock_up 0).
  FleetView view;
  server.Publish(view.Render());
  server.Start();

  Monitor monitor(host, notifier, options);
  monitor.SetObserver([&view, &server](uint32_t result, const std::vector<PI::CEvent>& events,
                                       const std::vector<PI::CObject>& objects) {
    view.Collected(result, events, objects, KVL::Misc::now());
    server.Publish(view.Render());
  });
  int status = 0;
  if (monitor.Start()) {
    view.SetRunning(true);
    std::vector<PI::CObject> objects;
    view.SetTopology(host.Topology(objects), objects);
    server.Publish(view.Render());
    monitor.Say("serving on http://" + Endpoint(options.listenHost, server.Port()) +
                "/ (Ctrl-C stops)");

    const bool limited = options.seconds >= 0;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double, std::milli>(std::min(
                             limited ? options.seconds * 1000.0 / options.timeScale : 0.0,
                             kLongestWaitMs)));
    while (!notifier.Stopped()) {
      // Notifications are answered (and published by the observer) while the poll interval
      // passes; then the picture is re-read once more.
      double waitMs = view.PollSeconds(kDefaultPollSeconds) * 1000.0 / options.timeScale;
      if (limited) {
        double left =
            std::chrono::duration<double, std::milli>(end - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) break;
        waitMs = std::min(waitMs, left);
      }
      monitor.WaitForEvents({}, waitMs);
      if (notifier.Stopped()) break;
      view.SetTopology(host.Topology(objects), objects);
      server.Publish(view.Render());
    }
    if (notifier.Stopped()) monitor.Say("interrupted");
  } else {
    status = 1;
  }
  // The plug-in goes first, so that no connection can hold up DeInitialize and release.
  monitor.Stop();
  view.SetRunning(false);
  server.Publish(view.Render());
  server.Stop();
  return status;
}

}  // namespace host_shell
