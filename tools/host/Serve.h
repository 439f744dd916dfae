// serve: the main job with an HTTP face. The main thread runs the plug-in as the main job does
// and re-reads its picture after every notification and once every poll interval; a server on
// threads of its own answers /metrics, the status page and the JSON views from the last
// rendered picture only, so a request never waits on the plug-in's data lock.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "Fleet.h"

namespace httplib {
class Server;
}

namespace host_shell {

class Notifier;
class PluginHost;
struct Options;

// The HTTP side. Bind and Start from one thread (the main one); Publish from any thread; the
// request handlers run on the server's own threads.
class FleetServer {
 public:
  FleetServer();
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
  // Stops accepting and waits a bounded time for open connections to finish; a connection
  // that still dribbles then is left to the end of the process.
  void Stop();

  // The picture that requests answer from from now on.
  void Publish(std::shared_ptr<const Pages> pages);

  // What the request handlers share with the server object; it lives as long as the last
  // handler that may still run.
  struct Shared;

 private:
  // Owned, but left alive on purpose when Stop gives up on a connection (its thread still
  // uses it).
  httplib::Server* m_Server;
  std::shared_ptr<Shared> m_Shared;
  std::thread m_Thread;
  int m_Port = -1;
};

// Runs serve; returns the process exit status (0, or 1 when it cannot listen or the plug-in
// never started before the shell was stopped or --seconds ran out). A plug-in that does not
// start is tried again with backoff while the shell serves varnock_up 0 and the reason.
int RunServe(PluginHost& host, Notifier& notifier, const Options& options);

}  // namespace host_shell
