#include "Options.h"

#include <charconv>
#include <cmath>
#include <limits>

#include <boost/asio/ip/address.hpp>

namespace host_shell {

namespace {

// Options that take a value, with what the value must be.
enum class OptionKind { kHome, kPlugin, kTrace, kTimeScale, kToolTimeout, kSeconds, kListen };

struct ValueOption {
  const char* name;
  OptionKind kind;
};

constexpr ValueOption kValueOptions[] = {
    {"--home", OptionKind::kHome},
    {"--plugin", OptionKind::kPlugin},
    {"--trace", OptionKind::kTrace},
    {"--time-scale", OptionKind::kTimeScale},
    {"--tool-timeout", OptionKind::kToolTimeout},
    {"--seconds", OptionKind::kSeconds},
    {"--listen", OptionKind::kListen},
};

bool SetValue(OptionKind kind, const std::string& name, const std::string& value,
              Options& options, std::string& error) {
  double number = 0;
  uint64_t mask = 0;
  switch (kind) {
    case OptionKind::kHome:
    case OptionKind::kPlugin:
      if (value.empty()) {
        error = name + " needs a path";
        return false;
      }
      (kind == OptionKind::kHome ? options.home : options.plugin) = value;
      return true;
    case OptionKind::kTrace:
      if (!ParseUInt64(value, mask) || mask > std::numeric_limits<uint32_t>::max()) {
        error = name + " needs a 32-bit mask (decimal or 0x hexadecimal), not \"" + value + "\"";
        return false;
      }
      options.traceMask = static_cast<uint32_t>(mask);
      return true;
    case OptionKind::kTimeScale:
    case OptionKind::kToolTimeout:
      // Bounded so that every derived time stays a sane number of milliseconds.
      if (!ParseDouble(value, number) || number < 1e-3 || number > 1e6) {
        error = name + " needs a number above 0 (0.001 to 1000000), not \"" + value + "\"";
        return false;
      }
      (kind == OptionKind::kTimeScale ? options.timeScale : options.toolTimeout) = number;
      return true;
    case OptionKind::kSeconds:
      if (!ParseDouble(value, number) || number < 0) {
        error = name + " needs a number of seconds (0 or more), not \"" + value + "\"";
        return false;
      }
      options.seconds = number;
      return true;
    case OptionKind::kListen:
      if (!ParseListenAddress(value, options.listenHost, options.listenPort)) {
        error = name + " needs ADDR:PORT (an IPv4 address, [IPv6] or localhost, and a port 0 to " +
                "65535), not \"" + value + "\"";
        return false;
      }
      options.listenGiven = true;
      return true;
  }
  return false;
}

}  // namespace

bool ParseUInt64(const std::string& text, uint64_t& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  if (first == last) return false;
  auto [end, ec] = std::from_chars(first, last, value, base);
  return ec == std::errc() && end == last;
}

bool ParseInt32(const std::string& text, int32_t& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;  // from_chars takes no plus sign
  if (first == last) return false;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last;
}

bool ParseDouble(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first == last) return false;
  auto [end, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && end == last && std::isfinite(value);
}

bool ParseListenAddress(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string address = text.substr(0, colon);
  std::string digits = text.substr(colon + 1);
  uint64_t number = 0;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
      !ParseUInt64(digits, number) || number > 65535)
    return false;
  boost::system::error_code invalid;
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
    // Plain addresses only: a scope (fe80::1%eth0) names an interface.
    if (address.find('%') != std::string::npos) return false;
    boost::asio::ip::make_address_v6(address, invalid);
    if (invalid) return false;
  } else if (address != "localhost" &&
             (boost::asio::ip::make_address_v4(address, invalid), invalid)) {
    // Host names other than localhost are refused: resolving them could pick any interface.
    return false;
  }
  host = address;
  port = static_cast<int>(number);
  return true;
}

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
  // Our own few lines rather than CLI11: the shell's documented rules (no "--" end mark, no
  // grouped short flags, the word after a value option always its value, "--name=" an empty
  // value, one message per kind of bad value) differ from CLI11's, and keeping them on top of
  // it took a pass over the words that did the whole job anyway.
  bool haveCommand = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg.compare(0, 2, "--") == 0) {
      // --name value, or --name=value.
      std::string name = arg;
      std::string value;
      bool inlineValue = false;
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        inlineValue = true;
      }
      const ValueOption* found = nullptr;
      for (const ValueOption& option : kValueOptions) {
        if (name == option.name) found = &option;
      }
      if (found == nullptr) {
        error = "unknown option \"" + name + "\"";
        return false;
      }
      if (!inlineValue) {
        if (i + 1 >= argc) {
          error = name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (!SetValue(found->kind, name, value, options, error)) return false;
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (haveCommand) {
      error = "only one command may be given, got \"" + arg + "\" as well";
      return false;
    }
    if (arg == "script") {
      options.command = Command::kScript;
    } else if (arg == "demo") {
      options.command = Command::kDemo;
    } else if (arg == "serve") {
      options.command = Command::kServe;
    } else {
      error = "unknown command \"" + arg +
              "\" (commands: script, demo, serve; none runs the main job)";
      return false;
    }
    haveCommand = true;
  }
  if (options.listenGiven && options.command != Command::kServe) {
    error = "--listen applies to the serve command only";
    return false;
  }
  return true;
}

std::string HelpText() {
  return R"(Usage: varnock-host [OPTIONS] [COMMAND]

Loads the Varnock plug-in and drives it as the storage-management host does.

Commands:
  (none)    The main job: starts the plug-in, shows the drives as a table, then prints each
            event as it arrives until Ctrl-C, SIGTERM or --seconds pass; then shuts the
            plug-in down (DeInitialize and release, also on Ctrl-C; a second Ctrl-C quits
            at once).
  demo      Plays the demo home's scenario through the tool stand-in's drive state: one
            drive heats up past 84 degrees and cools down, one drive is removed and comes
            back. Ends by itself and puts the drive state back as it found it.
  script    Reads one command per line from standard input and answers each (see below).
  serve     Runs the main job and serves what the plug-in shows over HTTP (--listen):
            /metrics for Prometheus, / a status page that refreshes itself,
            /api/topology and /api/events as the JSON answers of script --json. Pages
            answer from the picture last read (after every notification and once every
            poll interval), never waiting on the plug-in. Only GET is served.
            VARNOCK_HTTP_LIMITS="idle=S,request=S,connections=N" overrides the wait
            for a request (5 s), a request's whole time (15 s) and the connections
            open at once (10000).

Options:
  --home DIR          The host home: DIR/varnock-host is the process path the plug-in sees,
                      DIR/bin/isdct.exe the tool, DIR/Varnock.ini and DIR/CustomOpts.ini the
                      configuration, DIR/host.db the database, DIR/pci the PCI tree when it
                      exists (else the machine's). Default: the demo home of the build.
  --plugin PATH       The plug-in library to load. Default: the build's libVarnock.so.
  --json              Answer with one JSON object per line (script answers, the main job's
                      drive list and events).
  --trace MASK        The plug-in's trace level mask (decimal or 0x...): 2 entry/exit,
                      4 worker, 8 locks, 16 values, 128 database. Records go to
                      DIR/trace.log. Default 0: nothing traced.
  --time-scale F      Toolkit time runs F times faster: every toolkit wait and sleep, the
                      script's sleep and wait-notify, and --seconds are F times shorter.
                      Default 1.
  --tool-timeout S    A tool run that takes longer than S real seconds is killed and counts
                      as failed. Default 60.
  --seconds N         Main job and serve: stop after N seconds of toolkit time. Default:
                      run until interrupted.
  --listen ADDR:PORT  Serve: the address and port to listen on; ADDR is an IPv4 address,
                      [IPv6] or localhost; port 0 takes a free port (printed). Default:
                      127.0.0.1:9586.
  --version           Print the shell's version, the build's commit and the plug-in's
                      version (it loads the plug-in: exit status 1 when it cannot).
  --help, -h          This text.

Script lines (blank lines and lines starting with # are ignored):
  create                 createIf; the shell then installs its notification callback
  release                releaseIf
  init                   request 1 (Initialize); answers the result and the adapter IDs
  set-adapter-ids        request 2 with the IDs of the last init, numbered 0, 1, 2 ...
  deinit                 request 3 (DeInitialize)
  call CODE [OBJECT]     the request operation with any code (also out of range) and an
                         empty argument of the code's type; OBJECT defaults to 0
  topology               request 4: every object with its properties and operations
  props OBJECT           request 5: the object's properties
  get OBJECT PROP        request 6: one property; PROP is an ID or a name as props shows it
                         (case, blanks, hyphens and underscores do not matter:
                         "Temperature", "power-on-hours", "SpareThreshold")
  set OBJECT PROP VALUE  request 7 with the object's current property PROP (request 6,
                         bounds included) carrying VALUE: an integer for bounded and
                         enumeration values, a comma list for value lists, else the text
  ops OBJECT             request 8: the object's operations
  check OBJECT OP        request 9
  exec OBJECT OP         request 10; "exec plugin 50002" collects the pending events
  wait-notify SECONDS    waits until the plug-in calls the notification callback, or the
                         time passes; a call since the previous wait-notify counts at once
  sleep SECONDS          waits

  OBJECT is plugin, adapter:SERIAL, drive:SERIAL (looked up in a fresh topology) or a
  numeric identifier (decimal or 0x...). SECONDS is toolkit time and may have a fraction.
  An unknown or malformed line answers an error (result -1 with "error") and the script
  goes on. A line longer than 65536 bytes is skipped unread, with an error answer that
  does not repeat it. set answers the property as the plug-in holds it afterwards (it
  may have applied another value than the one given, e.g. a bound). At the end of the input a plug-in still initialized is shut down (request 3)
  and a plug-in still created is released.

  With --json standard output carries only the answers, one JSON object per line
  {"cmd": ..., "result": <error code>, ...}, with "adapterIds" (init, set-adapter-ids),
  "objects" (topology), "properties" (props, get, set), "operations" (ops), "events"
  (exec), "notified" (wait-notify). What the plug-in prints itself ("Varnock:
  Initialize:  adapter count is N") goes to standard error. Object IDs are strings
  ("86975767803592705"); a property with a unit also has its value in the base unit:
  "bytes", "seconds", "celsius" or "ratio" (percent / 100). Events carry "severityName"
  and the drive's "serial".

Exit status: 0 on success; 1 when the plug-in cannot be loaded or started, serve cannot
listen, or a script line failed (a result other than 0); 2 on a bad command line.
)";
}

}  // namespace host_shell
