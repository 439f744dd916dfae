// varnock-host: loads the plug-in and drives it as the storage-management host does. See
// HelpText in Options.cpp for the command line.

#include <cstdio>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "DatabaseErrors.h"
#include "Demo.h"
#include "KVL.h"
#include "KVLX.h"
#include "Monitor.h"
#include "Notifier.h"
#include "Options.h"
#include "Output.h"
#include "PluginHost.h"
#include "Script.h"
#include "Serve.h"
#include "ShellPlatform.h"
#include "Text.h"
#include "ToolWatch.h"
#include "Version.h"

namespace {

constexpr uint32_t kModuleNumber = 309;

// Registers the home with the toolkit before the plug-in exists: process path, PCI tree, clock,
// tool time limit and tracing.
bool SetUpHome(host_shell::Options& options, std::string& error) {
  // Boost's paths take the system's narrow encoding (the ANSI code page on Windows), as the
  // command line and the toolkit do; std::filesystem reads it in another code page there.
  namespace fs = boost::filesystem;
  boost::system::error_code ec;
  fs::path home = options.home.empty() ? fs::path() : fs::absolute(options.home);
  if (home.empty() || !fs::is_directory(home, ec)) {
    error = "the home " + options.home + " is not a directory";
    return false;
  }
  options.home = home.lexically_normal().string();
  while (options.home.size() > 1 && options.home.back() == '/') options.home.pop_back();

  KVL::Misc::CKvlApplication::SetProcessPath(
      boost::filesystem::path(options.home + "/varnock-host"));
  // Without a PCI tree of its own the home sees the machine's devices.
  const std::string pci = options.home + "/pci";
  KVLX::CConfigManager::SetPciRoot(fs::is_directory(pci, ec) ? pci : "");
  KVL::Misc::SetClock(KVL::Misc::MakeRealClock(options.timeScale));
  KVLX::CSystem::SetTimeLimit(static_cast<uint64_t>(options.toolTimeout * 1000.0));
  KVL::Misc::SetTraceMask(kModuleNumber, options.traceMask);
  if (options.traceMask != 0) KVL::Misc::SetTraceFile(options.home + "/trace.log");
  return true;
}

// The shell runs from the build tree with the build's plug-in and demo home; anywhere else it is
// installed, and takes the plug-in installed beside it and the service's home.
void DefaultPaths(host_shell::Options& options) {
  namespace fs = boost::filesystem;  // the system's narrow encoding, as in SetUpHome
  options.home = VARNOCK_DEFAULT_HOME;
  options.plugin = VARNOCK_DEFAULT_PLUGIN;
  const fs::path self = host_shell::ShellFile();
  if (self.empty()) return;
  boost::system::error_code ec;
  const fs::path built = fs::weakly_canonical(VARNOCK_BUILD_BIN_DIR, ec);
  if (ec || self.parent_path() == built) return;
  options.plugin = (self.parent_path() / VARNOCK_INSTALLED_PLUGIN).lexically_normal().string();
  options.home = VARNOCK_INSTALLED_HOME;
}

// --version: the shell's version and commit, and the version the plug-in reports for itself
// (PROP_VERSION of its object, which it shows before Initialize). A plug-in that cannot be
// loaded makes the exit status 1: the installation is broken.
int PrintVersion(const host_shell::Options& options) {
  std::printf("varnock-host %s\ncommit %s\n", host_shell::ShellVersion(),
              host_shell::BuildCommit());
  host_shell::Notifier notifier;
  host_shell::PluginHost host(notifier);
  std::string error;
  if (!host.Load(options.plugin, error)) {
    std::printf("plug-in: not loaded\n");
    std::fprintf(stderr, "varnock-host: %s\n", error.c_str());
    return 1;
  }
  std::string version = "unknown";
  if (host.Create() == PI::ERR_SUCCESS && host.Created()) {
    std::vector<PI::CObject> objects;
    if (host.Topology(objects) == PI::ERR_SUCCESS && !objects.empty()) {
      PI::CProperty property(PI::PROP_VERSION, false);
      if (host.Request(REQ_GET_PROPERTY, objects.front().m_ID, &property) == PI::ERR_SUCCESS &&
          property.m_ValueType == PI::CProperty::VALUE_TEXT)
        version = property.m_Text;
    }
  }
  host.Shutdown();
  std::printf("plug-in %s (%s)\n", version.c_str(), options.plugin.c_str());
  return 0;
}

int RunMainJob(host_shell::PluginHost& host, host_shell::Notifier& notifier,
               const host_shell::Options& options) {
  host_shell::Monitor monitor(host, notifier, options);
  int status = 0;
  if (monitor.Start()) {
    monitor.Say("watching for events (Ctrl-C stops)");
    monitor.Watch(options.seconds < 0 ? -1 : options.seconds * 1000.0 / options.timeScale);
    if (notifier.Stopped()) monitor.Say("interrupted");
  } else {
    status = 1;
  }
  monitor.Stop();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  host_shell::PrepareProcess();
  host_shell::Options options;
  DefaultPaths(options);
  std::string error;
  if (!host_shell::ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "varnock-host: %s\nTry 'varnock-host --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(host_shell::HelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) return PrintVersion(options);
  if (!SetUpHome(options, error)) {
    std::fprintf(stderr, "varnock-host: %s\n", error.c_str());
    return 2;
  }
  if (options.json && !host_shell::SeparateAnswers(error)) {
    std::fprintf(stderr, "varnock-host: %s\n", error.c_str());
    return 1;
  }

  // Declared in this order so that the plug-in goes first and the notifier it calls last.
  host_shell::Notifier notifier;
  host_shell::StopSignal stopSignal(notifier);
  if (!stopSignal.Install()) {
    std::fprintf(stderr, "varnock-host: cannot install the signal handlers\n");
    return 1;
  }
  // What goes wrong below the plug-in is told on standard error, not only in a trace: the tool's
  // problems with Initialize's failure, the first database error of each kind as it happens.
  host_shell::ToolWatch::Process().Install();
  DatabaseWrapper::SetDatabaseErrorReporter(
      [](DatabaseWrapper::DatabaseErrorKind kind, const std::string& message) {
        std::fprintf(stderr, "varnock-host: database error (%s, reported once): %s\n",
                     DatabaseWrapper::DatabaseErrorKindName(kind),
                     host_shell::TerminalText(message).c_str());
      });
  host_shell::PluginHost host(notifier);
  if (!host.Load(options.plugin, error)) {
    std::fprintf(stderr, "varnock-host: %s\n", error.c_str());
    return 1;
  }

  switch (options.command) {
    case host_shell::Command::kScript: {
      host_shell::ScriptSession session(host, notifier, options);
      return session.Run(host_shell::StandardInput(), stopSignal.Fd());
    }
    case host_shell::Command::kDemo:
      return host_shell::RunDemo(host, notifier, options);
    case host_shell::Command::kServe:
      return host_shell::RunServe(host, notifier, options);
    case host_shell::Command::kMain:
      break;
  }
  return RunMainJob(host, notifier, options);
}
