#include "ShellProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <boost/beast/http.hpp>

bool Eventually(const std::function<bool()>& done, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

Child::Child(const std::vector<std::string>& args, const std::string& out, const std::string& err,
             const std::string& in, size_t addressSpace) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  m_Pid = fork();
  if (m_Pid == 0) {
    int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int inFd = open(in.c_str(), O_RDONLY);
    dup2(outFd, 1);
    dup2(errFd, 2);
    dup2(inFd, 0);
    const rlimit limit = {addressSpace, addressSpace};
    if (addressSpace > 0) setrlimit(RLIMIT_AS, &limit);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

Child::~Child() {
  if (Running()) {
    kill(m_Pid, SIGKILL);
    waitpid(m_Pid, nullptr, 0);
  }
}

bool Child::Running() {
  if (m_Pid <= 0 || m_Done) return false;
  int status = 0;
  if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
    m_Done = true;
    m_Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return !m_Done;
}

int Child::Finish(int signal, double seconds) {
  if (signal != 0 && Running()) kill(m_Pid, signal);
  Eventually([this] { return !Running(); }, seconds);
  return m_Done ? m_Status : -1;
}

RawConnection::RawConnection(int port, const char* from, double seconds)
    : m_Fd(socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in source = {};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from, &source.sin_addr);
  bind(m_Fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address);  // a failure shows in Send
  // A bound for the test, never reached by a working server.
  timeval limit = {static_cast<time_t>(seconds),
                   static_cast<suseconds_t>((seconds - static_cast<time_t>(seconds)) * 1e6)};
  setsockopt(m_Fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

RawConnection::~RawConnection() { close(m_Fd); }

bool RawConnection::Send(const std::string& data) {
  return send(m_Fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string RawConnection::Answer() {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while (text.find("\r\n\r\n") == std::string::npos &&
         (got = recv(m_Fd, buffer, sizeof buffer, 0)) > 0)
    text.append(buffer, got);
  return text;
}

bool RawConnection::Receive(std::string& into) {
  char buffer[4096];
  const ssize_t got = recv(m_Fd, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  into.append(buffer, static_cast<size_t>(got));
  return true;
}

std::string HttpAnswer::Header(const std::string& name) const {
  namespace http = boost::beast::http;
  http::response_parser<http::empty_body> parser;
  parser.skip(true);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(head), ec);
  if (ec) return "";
  return std::string(parser.get()[name]);
}

HttpAnswer ReadAnswer(RawConnection& connection, std::string& pending) {
  namespace http = boost::beast::http;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 << 20);
  HttpAnswer answer;
  for (;;) {
    if (!pending.empty()) {
      boost::beast::error_code ec;
      const size_t used = parser.put(boost::asio::buffer(pending), ec);
      if (answer.head.empty() && parser.is_header_done()) answer.head = pending.substr(0, used);
      pending.erase(0, used);
      if (ec && ec != http::error::need_more) return answer;
      if (parser.is_done()) break;
      if (used > 0 && !ec) continue;
    }
    if (!connection.Receive(pending)) return answer;
  }
  answer.status = static_cast<int>(parser.get().result_int());
  answer.body = parser.get().body();
  return answer;
}

HttpAnswer HttpGet(int port, const std::string& target, const std::string& headers,
                   double seconds) {
  RawConnection connection(port, "127.0.0.1", seconds);
  if (!connection.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
                       "Connection: close\r\n\r\n"))
    return HttpAnswer();
  std::string pending;
  return ReadAnswer(connection, pending);
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

long PeakMemoryKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

bool ProcessEnded(pid_t pid, double seconds) {
  return Eventually([pid] {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    return !std::getline(in, stat) || stat.find(") Z ") != std::string::npos;
  }, seconds);
}
