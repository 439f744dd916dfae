// Script mode: one command per line from standard input, one answer per command on standard
// output, so that tests and people can drive every request of the plug-in. Runs on the shell's
// main thread; a stop request (Ctrl-C) ends the script as the end of the input does.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Answer.h"
#include "PI.h"

namespace host_shell {

class Notifier;
class PluginHost;
struct Options;

// Reads lines from a descriptor, giving up as soon as a stop request arrives (the stop
// descriptor becomes readable) even while the input blocks. A line longer than kMaxLine bytes
// is not kept: the reader says so once and skips the rest of it, so memory stays bounded
// whatever the input.
class LineReader {
 public:
  static constexpr size_t kMaxLine = 64 * 1024;  // bytes, without the line end
  enum Status { kLine, kTooLong, kEnd, kStopped };
  LineReader(int fd, int stopFd, const Notifier& notifier)
      : m_Fd(fd), m_StopFd(stopFd), m_Notifier(notifier) {}
  // The next line without its line end (kLine), or kTooLong for a line past the limit.
  Status Next(std::string& line);

 private:
  int m_Fd;
  int m_StopFd;
  const Notifier& m_Notifier;
  std::string m_Buffer;      // at most kMaxLine plus one read
  bool m_Skipping = false;   // dropping the rest of a line that was too long
  bool m_Eof = false;
};

class ScriptSession {
 public:
  ScriptSession(PluginHost& host, Notifier& notifier, const Options& options)
      : m_Host(host), m_Notifier(notifier), m_Options(options) {}

  // Runs every line of `fd`, then shuts down a plug-in the script left running. Returns the
  // process exit status: 1 when any line failed (a result other than 0), else 0, so that a
  // script composes with `set -e` and `&&`.
  int Run(int fd, int stopFd);
  // Runs one line and prints its answer (nothing for a blank or comment line).
  void Execute(const std::string& line);

  // The words of a line and where each starts.
  struct Line {
    std::string text;
    std::vector<std::string> words;
    std::vector<size_t> starts;
  };

 private:
  void Create(const Line& line, Answer& answer);
  void Release(const Line& line, Answer& answer);
  void Init(const Line& line, Answer& answer);
  void SetAdapterIds(const Line& line, Answer& answer);
  void Deinit(const Line& line, Answer& answer);
  void Call(const Line& line, Answer& answer);
  void Topology(const Line& line, Answer& answer);
  void Props(const Line& line, Answer& answer);
  void Get(const Line& line, Answer& answer);
  void Set(const Line& line, Answer& answer);
  void Ops(const Line& line, Answer& answer);
  void Check(const Line& line, Answer& answer);
  void Exec(const Line& line, Answer& answer);
  void WaitNotify(const Line& line, Answer& answer);
  void Sleep(const Line& line, Answer& answer);

  struct CommandRow {
    const char* name;
    int minArgs;
    int maxArgs;  // -1: the last argument takes the rest of the line
    bool needsPlugin;
    void (ScriptSession::*run)(const Line&, Answer&);
  };
  static const CommandRow kCommands[];

  // Resolves an OBJECT word; on failure fills the answer's error.
  bool Object(const std::string& word, uint64_t& id, Answer& answer);
  // A PROP word: a property ID, or a property name as the object shows it ("Temperature").
  bool PropertyId(const std::string& word, uint64_t object, uint32_t& id, Answer& answer);
  // The operation OP of the object as the plug-in lists it (REQ_GET_OPERATIONS), else a bare one.
  PI::COperation Operation(uint64_t id, uint32_t op);
  // A SECONDS word as real milliseconds (toolkit time divided by the time scale).
  bool RealMs(const std::string& word, double& ms, Answer& answer);
  void Remember(const std::vector<PI::CObject>& objects);
  std::string Label(uint64_t id) const;

  PluginHost& m_Host;
  Notifier& m_Notifier;
  const Options& m_Options;
  std::vector<PI::CAdapterID> m_AdapterIds;  // from the last init
  std::map<uint64_t, std::string> m_Names;   // object names seen in topologies
  bool m_Failed = false;                     // some line answered a result other than 0
};

}  // namespace host_shell
