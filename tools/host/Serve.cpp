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
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include "DatabaseErrors.h"
#include "KVL.h"
#include "KVLX.h"
#include "Monitor.h"
#include "Notifier.h"
#include "Options.h"
#include "PluginHost.h"
#include "StatusPage.h"
#include "Text.h"
#include "ToolWatch.h"

namespace host_shell {

// The routes served, as /metrics counts them.
enum Route { kPage, kMetrics, kTopology, kEvents, kRouteCount };

namespace {

// Connections answered at once, each on a thread of its own; connections past this many wait
// for a free thread. One client address holds at most kConnectionsPerClient of them (more are
// answered 503 and closed at once), so a client that opens hundreds of slow connections cannot
// take every thread from the scrapes and page views of the others.
constexpr size_t kConnectionThreads = 192;
constexpr size_t kConnectionsPerClient = 48;
// Each read and write may wait this long; a whole request, from its first byte awaited to the
// last byte of its answer, may take kRequestSeconds, so a client that dribbles a header line
// every few seconds is still dropped.
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr auto kRequestTime = std::chrono::seconds(15);
// Connections the kernel queues before they are accepted.
constexpr int kListenBacklog = 128;
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
  std::atomic<uint64_t> refused{0};   // connections refused for their client's limit
  std::atomic<bool> finished{false};  // the listening thread has returned
  std::map<std::string, size_t> perClient;  // open connections by client address; guarded by mutex

  std::shared_ptr<const Pages> Current() {
    std::lock_guard<std::mutex> lock(mutex);
    return pages;
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// A connection as the library reads and writes it: every wait is bounded by the read or write
// time limit, by the request's deadline and by the server stopping. Reads are buffered, since
// the library reads a request's head a byte at a time.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(int sock, const std::atomic<socket_t>& listening)
      : m_Sock(sock), m_Listening(listening) {}

  // The next request (and its answer) must be done by `deadline`.
  void SetDeadline(Clock::time_point deadline) { m_Deadline = deadline; }

  bool is_readable() const override {
    return m_Start < m_Buffer.size() || Wait(POLLIN, kReadTimeoutSeconds);
  }
  bool is_writable() const override { return Wait(POLLOUT, kWriteTimeoutSeconds); }

  ssize_t read(char* ptr, size_t size) override {
    if (m_Start == m_Buffer.size()) {
      if (!Wait(POLLIN, kReadTimeoutSeconds)) return -1;
      m_Buffer.resize(4096);
      const ssize_t got = recv(m_Sock, m_Buffer.data(), m_Buffer.size(), 0);
      m_Buffer.resize(got > 0 ? static_cast<size_t>(got) : 0);
      m_Start = 0;
      if (got <= 0) return got;
    }
    const size_t n = std::min(size, m_Buffer.size() - m_Start);
    std::memcpy(ptr, m_Buffer.data() + m_Start, n);
    m_Start += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!Wait(POLLOUT, kWriteTimeoutSeconds)) return -1;
    return send(m_Sock, ptr, size, MSG_NOSIGNAL);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(getsockname, ip, port);
  }
  socket_t socket() const override { return m_Sock; }

  // Waits for the client's next request while the connection may be kept; false when none came.
  bool AwaitRequest(time_t seconds) const { return Wait(POLLIN, seconds, false); }

 private:
  // Waits for `events` up to `seconds`, the deadline (when `bounded`) and the server's stop.
  bool Wait(short events, time_t seconds, bool bounded = true) const {
    const Clock::time_point end =
        bounded ? std::min(m_Deadline, Clock::now() + std::chrono::seconds(seconds))
                : Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      if (m_Listening.load() == INVALID_SOCKET) return false;  // stopping
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd entry = {m_Sock, events, 0};
      const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, 100)));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  using NameOf = int (*)(int, sockaddr*, socklen_t*);
  void Address(NameOf name, std::string& ip, int& port) const {
    sockaddr_storage address = {};
    socklen_t size = sizeof address;
    ip.clear();
    port = 0;
    if (name(m_Sock, reinterpret_cast<sockaddr*>(&address), &size) != 0) return;
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
      inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
      inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  int m_Sock;
  const std::atomic<socket_t>& m_Listening;
  Clock::time_point m_Deadline = Clock::time_point::max();
  std::vector<char> m_Buffer;
  size_t m_Start = 0;
};

// The library's server with connections handled by the shell: each client address has a bounded
// number of them, and each request a deadline (see BoundedStream).
class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(std::shared_ptr<FleetServer::Shared> shared)
      : m_Shared(std::move(shared)) {}

  // A longer queue of connections not yet accepted than the library's own, still bounded.
  void SetBacklog(int backlog) {
    const socket_t sock = svr_sock_.load();
    if (sock != INVALID_SOCKET) ::listen(sock, backlog);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    BoundedStream stream(sock, svr_sock_);
    std::string client;
    int port = 0;
    stream.get_remote_ip_and_port(client, port);
    bool admitted = false;
    {
      std::lock_guard<std::mutex> lock(m_Shared->mutex);
      size_t& open = m_Shared->perClient[client];
      admitted = open < kConnectionsPerClient;
      if (admitted) ++open;
    }
    bool answered = true;
    if (admitted) {
      // As the library keeps connections: up to keep_alive_max_count_ requests, each awaited
      // for keep_alive_timeout_sec_, the last one answered with "Connection: close".
      for (size_t left = keep_alive_max_count_; left > 0; --left) {
        if (!stream.AwaitRequest(keep_alive_timeout_sec_)) break;
        stream.SetDeadline(Clock::now() + kRequestTime);
        bool closed = false;
        answered = process_request(stream, left == 1, closed, [](httplib::Request&) {});
        if (!answered || closed) break;
      }
      std::lock_guard<std::mutex> lock(m_Shared->mutex);
      if (--m_Shared->perClient[client] == 0) m_Shared->perClient.erase(client);
    } else {
      ++m_Shared->refused;
      static const char kBusy[] =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
          "Content-Length: 46\r\nRetry-After: 5\r\nConnection: close\r\n\r\n"
          "503 Service Unavailable: too many connections\n";
      ssize_t ignored = send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)ignored;
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return answered;
  }

  std::shared_ptr<FleetServer::Shared> m_Shared;
};

// Any method but GET, as the library hands it over.
httplib::Server::HandlerResponse RefuseMethods(const httplib::Request& request,
                                               httplib::Response& response) {
  // Range is ignored: every answer is small and whole, and the library would otherwise answer
  // a list of overlapping ranges with many copies of the body. The request is the library's own
  // modifiable object, handed over as const.
  auto& own = const_cast<httplib::Request&>(request);
  own.ranges.clear();
  own.headers.erase("Range");
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
  writer.Family("varnock_http_connections_refused_total", "counter",
                "Connections refused because their client address held too many.");
  writer.Sample({}, std::to_string(shared.refused.load()));

  using Outcome = KVLX::CSystem::RunOutcome;
  writer.Family("varnock_tool_runs_total", "counter",
                "Runs of the tool since the shell started, by how they ended (ok: exit status 0).");
  for (const auto& [outcome, word] : {std::make_pair(Outcome::kOk, "ok"),
                                      std::make_pair(Outcome::kFailed, "failed"),
                                      std::make_pair(Outcome::kTimeout, "timeout")})
    writer.Sample({{"result", word}}, std::to_string(KVLX::CSystem::RunCount(outcome)));

  writer.Family("varnock_database_errors_total", "counter",
                "Errors of the host database since the shell started, by kind.");
  for (int kind = 0; kind < DatabaseWrapper::kDatabaseErrorKinds; ++kind) {
    const auto which = static_cast<DatabaseWrapper::DatabaseErrorKind>(kind);
    writer.Sample({{"kind", DatabaseWrapper::DatabaseErrorKindName(which)}},
                  std::to_string(DatabaseWrapper::DatabaseErrorCount(which)));
  }
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
      response.set_content(StatusPage(), type);
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

FleetServer::FleetServer() : m_Server(nullptr), m_Shared(std::make_shared<Shared>()) {
  m_Server = new BoundedServer(m_Shared);
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
  if (m_Port >= 0) static_cast<BoundedServer*>(m_Server)->SetBacklog(kListenBacklog);
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
  auto publish = [&view, &server] {
    view.SetHealthReads(ToolWatch::Process().HealthReadOk());
    server.Publish(view.Render());
  };
  publish();
  server.Start();

  Monitor monitor(host, notifier, options);
  monitor.SetObserver([&view, &publish](uint32_t result, const std::vector<PI::CEvent>& events,
                                        const std::vector<PI::CObject>& objects) {
    view.Collected(result, events, objects, KVL::Misc::now());
    publish();
  });

  const bool limited = options.seconds >= 0;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double, std::milli>(std::min(
                           limited ? options.seconds * 1000.0 / options.timeScale : 0.0,
                           kLongestWaitMs)));
  // Real milliseconds left of --seconds, or `waitMs` when that is sooner (or there is no limit).
  auto bounded = [&](double waitMs) {
    if (!limited) return waitMs;
    return std::min(waitMs, std::chrono::duration<double, std::milli>(
                                end - std::chrono::steady_clock::now())
                                .count());
  };

  // The plug-in may not start (no tool, a broken tool, no drive yet, ...). The shell keeps
  // serving varnock_up 0 with the reason, and tries again after 1 s, 2 s, 4 s ... of toolkit
  // time, at most a poll interval apart, until it starts or the shell is stopped.
  // The address is told once the first picture is published, so that a client which waits for
  // it never reads the empty picture from before the first start.
  bool announced = false;
  auto announce = [&] {
    if (announced) return;
    monitor.Say("serving on http://" + Endpoint(options.listenHost, server.Port()) +
                "/ (Ctrl-C stops)");
    announced = true;
  };
  bool started = false;
  double backoffSeconds = 1;
  std::vector<PI::CObject> objects;
  while (!notifier.Stopped()) {
    started = monitor.Start();
    if (started) break;
    view.SetError(monitor.LastError());
    publish();
    announce();
    host.Shutdown();  // what Start reached; the next try begins with a new plug-in object
    const double waitMs = bounded(backoffSeconds * 1000.0 / options.timeScale);
    if (waitMs <= 0 || !notifier.Sleep(waitMs)) break;
    backoffSeconds = std::min(backoffSeconds * 2, view.PollSeconds(kDefaultPollSeconds));
  }

  if (started) {
    view.SetError("");
    view.SetRunning(true);
    view.SetTopology(host.Topology(objects), objects);
    publish();
    announce();
    while (!notifier.Stopped()) {
      // Notifications are answered (and published by the observer) while the poll interval
      // passes; then the picture is re-read once more.
      const double waitMs =
          bounded(view.PollSeconds(kDefaultPollSeconds) * 1000.0 / options.timeScale);
      if (waitMs <= 0) break;
      monitor.WaitForEvents({}, waitMs);
      if (notifier.Stopped()) break;
      view.SetTopology(host.Topology(objects), objects);
      publish();
    }
  }
  if (notifier.Stopped()) monitor.Say("interrupted");
  // The plug-in goes first, so that no connection can hold up DeInitialize and release.
  monitor.Stop();
  view.SetRunning(false);
  publish();
  server.Stop();
  return started ? 0 : 1;
}

}  // namespace host_shell
