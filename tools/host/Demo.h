// The demo: plays a short scenario through the tool stand-in's drive state of the host home
// while the main job watches (a drive heats up past 84 degrees and cools down, a drive is
// removed and comes back), then puts the state back as it found it. Main thread only.
#pragma once

namespace host_shell {

class Notifier;
class PluginHost;
struct Options;

// Returns the process exit status: 0 when the scenario ran (even if an event did not come in
// time), 1 when the plug-in or the drive state could not be used.
int RunDemo(PluginHost& host, Notifier& notifier, const Options& options);

}  // namespace host_shell
