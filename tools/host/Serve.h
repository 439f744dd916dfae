// serve: the main job with an HTTP face. The main thread runs the plug-in as the main job does
// and re-reads its picture after every notification and once every poll interval; an
// event-driven server on a few I/O threads of its own answers /metrics, the status page and the
// JSON views from the last rendered picture only, so a request never waits on the plug-in.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "Fleet.h"

namespace host_shell {

// What one client may cost the server. Requests past a size limit are answered as soon as the
// limit is passed, then the connection closes; a connection past a time limit is closed.
struct HttpLimits {
  size_t requestLine = 8 * 1024;      // bytes of the request line, its CRLF included: else 414
  size_t headerBlock = 16 * 1024;     // bytes of the header fields after it: else 431
  size_t headerFields = 100;          // header fields: else 431
  size_t body = 64 * 1024;            // bytes of a request body (GETs need none): else 413
  double idleSeconds = 5;             // waiting for the first byte of a request
  double requestSeconds = 15;         // from a request's first byte to its answer's last
  size_t connections = 10000;         // open at once, at most the descriptor limit less a reserve
  size_t connectionsPerClient = 48;   // open at once from one address: more get 503
  size_t descriptorReserve = 64;      // descriptors kept for the plug-in, its tool and the database

  // Read from VARNOCK_HTTP_LIMITS ("idle=0.5,request=2,connections=20", any subset) over the
  // defaults. False with a message for a malformed text.
  bool ReadEnvironment(std::string& error);
};

class Notifier;
class PluginHost;
struct Options;

// The HTTP side. Bind, Start and Stop from one thread (the main one); Publish from any thread;
// the connections are served on the server's own threads.
class FleetServer {
 public:
  explicit FleetServer(const HttpLimits& limits = HttpLimits());
  // Stops serving (see Stop).
  ~FleetServer();
  FleetServer(const FleetServer&) = delete;
  FleetServer& operator=(const FleetServer&) = delete;

  // Binds the listening socket; port 0 takes a free port. False with a message on failure.
  bool Bind(const std::string& host, int port, std::string& error);
  // The port bound.
  int Port() const { return m_Port; }
  // Serves on a thread of its own until Stop.
  void Start();
  // Stops accepting, closes the connections that wait for a client, lets answers being written
  // finish for a bounded time, then ends the I/O threads.
  void Stop();

  // The picture that requests answer from from now on.
  void Publish(std::shared_ptr<const Pages> pages);

  // The I/O side (sockets, threads) and what the connections share with the server object.
  struct Impl;

 private:
  std::unique_ptr<Impl> m_Impl;
  int m_Port = -1;
};

// Runs serve; returns the process exit status (0, or 1 when it cannot listen or the plug-in
// never started before the shell was stopped or --seconds ran out). A plug-in that does not
// start is tried again with backoff while the shell serves varnock_up 0 and the reason.
int RunServe(PluginHost& host, Notifier& notifier, const Options& options);

}  // namespace host_shell
