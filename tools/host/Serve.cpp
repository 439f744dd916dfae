#include "Serve.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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

// After the toolkit headers: on Windows, Asio brings windows.h, whose INFINITE and WAIT_TIMEOUT
// macros would hide the toolkit's constants of those names.
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace host_shell {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// The routes served, as /metrics counts them.
enum Route { kPage, kMetrics, kTopology, kEvents, kRouteCount };

namespace {

// Threads that run every connection's reads and writes; no answer waits on anything but memory.
constexpr int kIoThreads = 2;
// Connections the kernel queues before they are accepted.
constexpr int kListenBacklog = 1024;
// After an error answer the client's further bytes are read and dropped this long before the
// connection closes, so that closing with unread bytes does not reset the answer away.
constexpr auto kLingerTime = std::chrono::seconds(1);
// An accept that fails for want of descriptors is tried again after this pause.
constexpr auto kAcceptPause = std::chrono::milliseconds(50);
// Once this many connections were open at once, the memory they took is released when the last
// one closes.
constexpr size_t kReleaseAfter = 256;
// How long Stop lets answers being written finish before it ends the I/O threads.
constexpr auto kStopWait = std::chrono::seconds(5);
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

// "127.0.0.1:9586", or "[::1]:9586" for an IPv6 address.
std::string Endpoint(const std::string& host, int port) {
  std::string address = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return address + ":" + std::to_string(port);
}

// The path of a request target in origin form ("/metrics?x") or absolute form
// ("http://host:9586/metrics"), without query or fragment.
std::string TargetPath(beast::string_view target) {
  std::string path(target);
  const size_t scheme = path.find("://");
  if (!path.empty() && path[0] != '/' && scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  return path.substr(0, path.find_first_of("?#"));
}

// A limit in seconds as the stream's clock counts it.
Clock::duration ClockSeconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

class Session;

}  // namespace

struct FleetServer::Impl {
  explicit Impl(const HttpLimits& given) : limits(given) {
    // Every connection holds a descriptor: the budget leaves a reserve for the rest of the shell.
    const size_t descriptors = KVLX::CSystem::RaiseOpenFileLimit();
    if (descriptors > 0) {
      const size_t usable =
          descriptors > limits.descriptorReserve * 2 ? descriptors - limits.descriptorReserve
                                                     : descriptors / 2;
      limits.connections = std::min(limits.connections, usable);
    }
    limits.connections = std::max<size_t>(limits.connections, 1);
  }

  std::shared_ptr<const Pages> Current() {
    std::lock_guard<std::mutex> lock(mutex);
    return pages;
  }

  // A connection from `client` may be served (false: its address holds too many). When the
  // process budget is spent, the oldest connection that waits for a request is closed (the oldest
  // of all when none waits).
  bool Admit(const std::string& client, uint64_t& id);
  // False once Stop has begun: the connection is to be closed.
  bool Register(uint64_t id, const std::shared_ptr<Session>& session);
  void SetIdle(uint64_t id, bool idle);
  void Forget(uint64_t id);
  void Accept();
  void OnAccept(beast::error_code ec, tcp::socket socket);

  HttpLimits limits;
  std::mutex mutex;
  std::shared_ptr<const Pages> pages = std::make_shared<Pages>();  // guarded by mutex
  std::atomic<uint64_t> requests[kRouteCount] = {};
  std::atomic<uint64_t> refused{0};  // connections refused for their client's limit
  struct Open {
    std::weak_ptr<Session> session;
    std::string client;
    bool idle = true;
    bool closing = false;  // closed to make room
  };
  std::map<uint64_t, Open> open;            // by age; guarded by mutex
  std::map<std::string, size_t> perClient;  // open connections by address; guarded by mutex
  size_t closing = 0;  // entries of `open` closed to make room; guarded by mutex
  uint64_t nextId = 0;                      // guarded by mutex
  size_t peakOpen = 0;  // most connections open since memory was last released; guarded by mutex
  bool stopping = false;                    // guarded by mutex

  // Declared after what the connections use: destroying the context destroys the connections
  // still queued in it.
  asio::io_context io{kIoThreads};
  tcp::acceptor acceptor{asio::make_strand(io)};
  asio::steady_timer acceptPause{acceptor.get_executor()};
  std::vector<std::thread> threads;
};

namespace {

// A short text answer such as "404 Not Found\n".
http::response<http::string_body> TextAnswer(http::status status, const std::string& text) {
  http::response<http::string_body> answer{status, 11};
  answer.set(http::field::content_type, kTextType);
  answer.body() = text.empty() ? std::to_string(static_cast<int>(status)) + " " +
                                     std::string(http::obsolete_reason(status)) + "\n"
                               : text;
  return answer;
}

// The picture's metrics followed by the shell's own request counters.
std::string MetricsText(const Pages& pages, const FleetServer::Impl& shared) {
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

// The answer to a request the parser read whole.
http::response<http::string_body> Respond(const http::request<http::string_body>& request,
                                          FleetServer::Impl& shared) {
  // Range is never looked at: every answer is small and whole.
  if (request.method() != http::verb::get) {
    auto answer = TextAnswer(http::status::method_not_allowed,
                             "405 Method Not Allowed: only GET is served\n");
    answer.set(http::field::allow, "GET");
    return answer;
  }
  const std::string path = TargetPath(request.target());
  int route = 0;
  while (route < kRouteCount && path != kRoutes[route].path) ++route;
  if (route == kRouteCount) return TextAnswer(http::status::not_found, "");

  ++shared.requests[route];
  std::shared_ptr<const Pages> pages = shared.Current();
  http::response<http::string_body> answer{http::status::ok, 11};
  answer.set(http::field::content_type, kRoutes[route].contentType);
  switch (static_cast<Route>(route)) {
    case kPage:
      // Everything the page needs is in it: nothing may come from another machine.
      answer.set("Content-Security-Policy",
                 "default-src 'self'; script-src 'unsafe-inline'; "
                 "style-src 'unsafe-inline'; img-src 'self' data:");
      answer.body() = StatusPage();
      break;
    case kMetrics:
      answer.body() = MetricsText(*pages, shared);
      break;
    case kTopology:
      answer.body() = pages->topology;
      break;
    case kEvents:
      answer.body() = pages->events;
      break;
    case kRouteCount:
      break;
  }
  return answer;
}

// One client connection, its reads and writes on a strand of its own: requests are read and
// answered one after the other (pipelined ones in order, from what is already buffered).
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, FleetServer::Impl& server, uint64_t id)
      : m_Server(server),
        m_Limits(server.limits),
        m_Stream(std::move(socket)),
        m_Buffer(server.limits.requestLine + server.limits.headerBlock + server.limits.body),
        m_Id(id) {}
  ~Session() { m_Server.Forget(m_Id); }

  void Start() {
    asio::dispatch(m_Stream.get_executor(),
                   beast::bind_front_handler(&Session::NextRequest, shared_from_this()));
  }

  // Closes the connection, at once when it waits for the client, after the answer being written
  // otherwise. Safe from any thread.
  void Close() {
    asio::post(m_Stream.get_executor(), [self = shared_from_this()] {
      self->m_Closing = true;
      if (!self->m_Writing) self->m_Stream.close();
    });
  }

 private:
  void NextRequest() {
    if (m_Closing) return m_Stream.close();
    m_Parser.emplace();
    m_Parser->header_limit(static_cast<uint32_t>(m_Limits.requestLine + m_Limits.headerBlock));
    m_Parser->body_limit(m_Limits.body);
    m_Scanned = m_LineStart = m_LineEnd = m_Fields = 0;
    m_HeadDone = false;
    if (m_Buffer.size() == 0) {
      m_Server.SetIdle(m_Id, true);
      m_Idle = true;
      m_Stream.expires_after(ClockSeconds(m_Limits.idleSeconds));
      return Read();
    }
    BeginRequest();
    Process();
  }

  // A request's first byte is there: its whole time starts.
  void BeginRequest() {
    if (m_Idle) m_Server.SetIdle(m_Id, false);
    m_Idle = false;
    m_Stream.expires_after(ClockSeconds(m_Limits.requestSeconds));
  }

  void Read() {
    // Small reads to begin with: a connection that sends nothing holds a small buffer.
    const size_t room = m_Buffer.max_size() - m_Buffer.size();
    if (room == 0) return Refuse(http::status::bad_request);
    const size_t want = std::min(room, std::max<size_t>(512, m_Buffer.capacity() - m_Buffer.size()));
    m_Stream.async_read_some(m_Buffer.prepare(want),
                             beast::bind_front_handler(&Session::OnRead, shared_from_this()));
  }

  void OnRead(beast::error_code ec, size_t bytes) {
    // The end of the stream, a time limit (the stream closed itself) or Close.
    if (ec) return m_Stream.close();
    m_Buffer.commit(bytes);
    if (m_Idle) BeginRequest();
    Process();
  }

  // Sizes the request line and the header fields as their bytes come, so that a limit passed is
  // answered at once. The parser's own header limit counts the request line and the fields
  // together, hence this scan of the line ends; the parser then reads the head once it is whole.
  // 0 while the head is short enough, else the status to answer.
  http::status ScanHead() {
    const char* data = static_cast<const char*>(m_Buffer.data().data());
    const size_t size = m_Buffer.size();
    for (; m_Scanned < size; ++m_Scanned) {
      if (data[m_Scanned] != '\n') continue;
      const size_t end = m_Scanned + 1;
      const size_t line = end - m_LineStart;
      m_LineStart = end;
      if (m_LineEnd == 0) {
        m_LineEnd = end;
        if (end > m_Limits.requestLine) return http::status::uri_too_long;
        continue;
      }
      if (end - m_LineEnd > m_Limits.headerBlock) break;
      if (line == 1 || (line == 2 && data[end - 2] == '\r')) {
        m_HeadDone = true;
        return http::status::unknown;
      }
      if (++m_Fields > m_Limits.headerFields) return http::status::request_header_fields_too_large;
    }
    if (m_LineEnd == 0)
      return size >= m_Limits.requestLine ? http::status::uri_too_long : http::status::unknown;
    return size - m_LineEnd > m_Limits.headerBlock ? http::status::request_header_fields_too_large
                                                   : http::status::unknown;
  }

  void Process() {
    if (!m_HeadDone) {
      const http::status refused = ScanHead();
      if (refused != http::status::unknown) return Refuse(refused);
      if (!m_HeadDone) return Read();
    }
    while (!m_Parser->is_done()) {
      if (m_Buffer.size() == 0) return Read();
      beast::error_code ec;
      m_Buffer.consume(m_Parser->put(m_Buffer.data(), ec));
      if (ec == http::error::need_more) return Read();
      if (ec == http::error::body_limit) return Refuse(http::status::payload_too_large);
      if (ec) return Refuse(http::status::bad_request);
    }
    const http::request<http::string_body>& request = m_Parser->get();
    m_Answer = Respond(request, m_Server);
    m_Answer.keep_alive(request.keep_alive() && !m_Closing);
    Write();
  }

  // Answers a request that cannot be read on, then drops the connection.
  void Refuse(http::status status) {
    m_Answer = TextAnswer(status, "");
    m_Answer.keep_alive(false);
    m_Refused = true;
    Write();
  }

  void Write() {
    m_Answer.set(http::field::cache_control, "no-store");
    m_Answer.prepare_payload();
    m_Writing = true;
    http::async_write(m_Stream, m_Answer,
                      beast::bind_front_handler(&Session::OnWrite, shared_from_this()));
  }

  void OnWrite(beast::error_code ec, size_t) {
    m_Writing = false;
    if (ec) return m_Stream.close();
    if (m_Refused) return Linger();
    if (!m_Answer.keep_alive() || m_Closing) {
      beast::error_code ignored;
      m_Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
      return m_Stream.close();
    }
    NextRequest();
  }

  // Says it is done sending, then reads and drops what the client still sends for a little while.
  void Linger() {
    if (m_Lingering == Clock::time_point()) {
      beast::error_code ignored;
      m_Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
      m_Lingering = Clock::now() + kLingerTime;
      m_Stream.expires_at(m_Lingering);
    }
    if (m_Closing) return m_Stream.close();
    m_Buffer.clear();
    m_Stream.async_read_some(m_Buffer.prepare(512), [self = shared_from_this()](
                                                        beast::error_code ec, size_t) {
      if (ec) return self->m_Stream.close();
      self->Linger();
    });
  }

  FleetServer::Impl& m_Server;
  const HttpLimits& m_Limits;
  beast::tcp_stream m_Stream;
  beast::flat_buffer m_Buffer;
  std::optional<http::request_parser<http::string_body>> m_Parser;
  http::response<http::string_body> m_Answer;
  const uint64_t m_Id;
  bool m_Idle = false;     // waiting for a request's first byte
  bool m_Writing = false;  // an answer is being written
  bool m_Closing = false;  // closes after the answer being written
  bool m_Refused = false;  // the answer being written refuses the request
  Clock::time_point m_Lingering;
  // The head scan: next byte to look at, start of the current line, end of the request line
  // (0: not yet), fields seen, the empty line found.
  size_t m_Scanned = 0;
  size_t m_LineStart = 0;
  size_t m_LineEnd = 0;
  size_t m_Fields = 0;
  bool m_HeadDone = false;
};

// The answer to a connection whose address holds too many, written without waiting.
void RefuseBusy(tcp::socket& socket) {
  static const char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 46\r\nRetry-After: 5\r\nConnection: close\r\n\r\n"
      "503 Service Unavailable: too many connections\n";
  beast::error_code ignored;
  socket.non_blocking(true, ignored);
  socket.write_some(asio::buffer(kBusy, sizeof kBusy - 1), ignored);
  socket.shutdown(tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

}  // namespace

bool FleetServer::Impl::Admit(const std::string& client, uint64_t& id) {
  std::shared_ptr<Session> victim;
  {
    std::lock_guard<std::mutex> lock(mutex);
    size_t& mine = perClient[client];
    if (mine >= limits.connectionsPerClient) return false;
    ++mine;
    id = ++nextId;
    // A connection told to close still holds its descriptor until it is gone, but is not
    // chosen again, so that a burst of new connections closes as many old ones.
    if (open.size() - closing >= limits.connections) {
      const auto choose = [&](bool idleOnly) {
        return std::find_if(open.begin(), open.end(), [&](const auto& entry) {
          return !entry.second.closing && (entry.second.idle || !idleOnly) &&
                 !entry.second.session.expired();
        });
      };
      auto oldest = choose(true);
      if (oldest == open.end()) oldest = choose(false);
      if (oldest != open.end()) {
        victim = oldest->second.session.lock();
        oldest->second.closing = true;
        ++closing;
      }
    }
    open[id].client = client;
    peakOpen = std::max(peakOpen, open.size());
  }
  if (victim) victim->Close();
  return true;
}

bool FleetServer::Impl::Register(uint64_t id, const std::shared_ptr<Session>& session) {
  std::lock_guard<std::mutex> lock(mutex);
  open[id].session = session;
  return !stopping;
}

void FleetServer::Impl::SetIdle(uint64_t id, bool idle) {
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = open.find(id);
  if (entry != open.end()) entry->second.idle = idle;
}

void FleetServer::Impl::Forget(uint64_t id) {
  bool release = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto entry = open.find(id);
    if (entry == open.end()) return;
    auto client = perClient.find(entry->second.client);
    if (client != perClient.end() && --client->second == 0) perClient.erase(client);
    if (entry->second.closing) --closing;
    open.erase(entry);
    release = open.empty() && peakOpen >= kReleaseAfter;
    if (release) peakOpen = 0;
  }
  // A flood of connections is over: what it took goes back to the system.
  if (release) KVLX::CSystem::ReleaseFreeMemory();
}

void FleetServer::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void FleetServer::Impl::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;  // stopping
  if (ec) {
    // Out of descriptors (or a connection reset before it was taken): try again shortly.
    acceptPause.expires_after(kAcceptPause);
    acceptPause.async_wait([this](beast::error_code waited) {
      if (!waited) Accept();
    });
    return;
  }
  beast::error_code unknown;
  const std::string client = socket.remote_endpoint(unknown).address().to_string();
  uint64_t id = 0;
  if (unknown) {
    socket.close(unknown);
  } else if (!Admit(client, id)) {
    ++refused;
    RefuseBusy(socket);
  } else {
    auto session = std::make_shared<Session>(std::move(socket), *this, id);
    session->Start();
    if (!Register(id, session)) session->Close();
  }
  Accept();
}

bool HttpLimits::ReadEnvironment(std::string& error) {
  const char* text = std::getenv("VARNOCK_HTTP_LIMITS");
  if (text == nullptr) return true;
  const std::string all = text;
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    const std::string entry = all.substr(start, end - start);
    start = end + 1;
    const size_t equals = entry.find('=');
    const std::string key = entry.substr(0, equals);
    const char* value = equals == std::string::npos ? "" : entry.c_str() + equals + 1;
    char* rest = nullptr;
    const double number = std::strtod(value, &rest);
    const bool valid = *value != '\0' && *rest == '\0' && number > 0 && number < 1e9;
    if (valid && key == "idle") {
      idleSeconds = number;
    } else if (valid && key == "request") {
      requestSeconds = number;
    } else if (valid && key == "connections" && number == static_cast<size_t>(number)) {
      connections = static_cast<size_t>(number);
    } else {
      error = "VARNOCK_HTTP_LIMITS: bad entry \"" + entry +
              "\" (idle=SECONDS, request=SECONDS, connections=N, separated by commas)";
      return false;
    }
  }
  return true;
}

FleetServer::FleetServer(const HttpLimits& limits) : m_Impl(std::make_unique<Impl>(limits)) {}

FleetServer::~FleetServer() { Stop(); }

bool FleetServer::Bind(const std::string& host, int port, std::string& error) {
  beast::error_code ec;
  tcp::resolver resolver(m_Impl->io);
  const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  error = "the address cannot be bound";
  for (const auto& entry : found) {
    tcp::acceptor& acceptor = m_Impl->acceptor;
    // Only SO_REUSEADDR: a second shell on the same port fails instead of sharing it.
    if (!acceptor.open(entry.endpoint().protocol(), ec) &&
        !acceptor.set_option(tcp::acceptor::reuse_address(true), ec) &&
        !acceptor.bind(entry.endpoint(), ec) && !acceptor.listen(kListenBacklog, ec)) {
      m_Port = acceptor.local_endpoint(ec).port();
      if (!ec) return true;
    }
    error = ec.message();
    beast::error_code ignored;
    acceptor.close(ignored);
  }
  return false;
}

void FleetServer::Start() {
  if (!m_Impl->threads.empty() || m_Port < 0) return;
  asio::dispatch(m_Impl->acceptor.get_executor(), [impl = m_Impl.get()] { impl->Accept(); });
  for (int i = 0; i < kIoThreads; ++i)
    m_Impl->threads.emplace_back([impl = m_Impl.get()] { impl->io.run(); });
}

void FleetServer::Stop() {
  if (m_Impl->threads.empty()) return;
  std::vector<std::shared_ptr<Session>> sessions;
  {
    std::lock_guard<std::mutex> lock(m_Impl->mutex);
    m_Impl->stopping = true;
    for (auto& entry : m_Impl->open) {
      if (auto session = entry.second.session.lock()) sessions.push_back(std::move(session));
    }
  }
  asio::post(m_Impl->acceptor.get_executor(), [impl = m_Impl.get()] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
    impl->acceptPause.cancel();
  });
  for (auto& session : sessions) session->Close();
  sessions.clear();
  // The I/O threads return once nothing is left to do; answers being written get kStopWait.
  const auto deadline = Clock::now() + kStopWait;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_Impl->mutex);
      if (m_Impl->open.empty()) break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_Impl->io.stop();
  for (std::thread& thread : m_Impl->threads) thread.join();
  m_Impl->threads.clear();
}

void FleetServer::Publish(std::shared_ptr<const Pages> pages) {
  std::lock_guard<std::mutex> lock(m_Impl->mutex);
  m_Impl->pages = std::move(pages);
}

int RunServe(PluginHost& host, Notifier& notifier, const Options& options) {
  const std::string endpoint = Endpoint(options.listenHost, options.listenPort);
  HttpLimits limits;
  std::string error;
  if (!limits.ReadEnvironment(error)) {
    std::fprintf(stderr, "varnock-host: %s\n", error.c_str());
    return 2;
  }
  FleetServer server(limits);
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
