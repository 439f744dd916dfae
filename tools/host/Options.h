// Command line of the host shell: the options, the command, and the help text. Parsing is a
// pure function of the argument list; it touches no global state and is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace host_shell {

enum class Command { kMain, kScript, kDemo, kServe };

struct Options {
  std::string home;          // the host home (process path, tool, configuration, database)
  std::string plugin;        // path of the plug-in library
  bool json = false;         // answers as one JSON object per line
  uint32_t traceMask = 0;    // the module's trace level mask; 0 traces nothing
  double timeScale = 1.0;    // toolkit time runs this many times faster
  double toolTimeout = 60;   // seconds one tool run may take (real time)
  double seconds = -1;       // main job: toolkit seconds to watch; negative = until interrupted
  std::string listenHost = "127.0.0.1";  // serve: the address to listen on (no brackets)
  int listenPort = 9586;                  // serve: the port; 0 takes any free port
  bool listenGiven = false;              // --listen was on the command line
  Command command = Command::kMain;
  bool help = false;
  bool version = false;      // --version: print the versions and the build's commit
};

// Parses argv[1..argc-1] into `options`, which starts from the build's defaults. On a bad
// option, value or command returns false with a one-line message in `error`.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

// The help text: every option, every command and every script line.
std::string HelpText();

// Whole-text number conversions shared by the option and script parsers; false when the text
// is empty, has anything left over, or is out of the type's range.
bool ParseUInt64(const std::string& text, uint64_t& value);  // decimal, or hexadecimal with 0x
bool ParseInt32(const std::string& text, int32_t& value);    // decimal, optional sign
bool ParseDouble(const std::string& text, double& value);    // finite decimal number
// "ADDR:PORT": an IPv4 address, "[IPv6]" or "localhost", and a port 0 to 65535. The address is
// returned without brackets.
bool ParseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace host_shell
