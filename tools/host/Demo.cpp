#include "Demo.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "DriveState.h"
#include "Monitor.h"
#include "Notifier.h"
#include "Options.h"
#include "PluginHost.h"
#include "Text.h"

namespace host_shell {

namespace {

// How long one step waits for its events, in toolkit seconds: a removal shows only at the
// next full pass, which comes after the topology refresh time and a poll interval.
constexpr double kStepLimitSeconds = 180;

struct Step {
  std::string say;
  std::function<bool(isdct::State&, std::string&)> edit;
  std::vector<uint32_t> codes;  // event codes the step waits for (any one of them)
};

bool ShowsTemperature(const isdct::Drive& drive) {
  // The adapter shows a temperature for these model lines only.
  return drive.model.compare(0, 12, "INTEL SSDPED") == 0 ||
         drive.model.compare(0, 12, "INTEL SSDPEC") == 0;
}

// Loads the state, applies `edit` and saves it again (atomically).
bool Change(const std::string& path, const Step& step, std::string& error) {
  isdct::State state;
  if (!isdct::LoadState(path, state, error)) return false;
  if (!step.edit(state, error)) return false;
  return isdct::SaveState(path, state, error);
}

std::function<bool(isdct::State&, std::string&)> SetTemperature(const std::string& serial,
                                                                int degrees) {
  return [serial, degrees](isdct::State& state, std::string& error) {
    isdct::Drive* drive = state.FindBySerial(serial);
    if (drive == nullptr) {
      error = "drive " + serial + " is gone from the drive state";
      return false;
    }
    drive->temperature = degrees;
    return true;
  };
}

}  // namespace

int RunDemo(PluginHost& host, Notifier& notifier, const Options& options) {
  const std::string path = options.home + "/bin/drives.json";
  isdct::State original;
  std::string error;
  if (!isdct::LoadState(path, original, error)) {
    std::fprintf(stderr, "varnock-host: demo: cannot read the drive state %s: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  if (original.drives.empty()) {
    std::fprintf(stderr, "varnock-host: demo: the drive state %s holds no drive\n", path.c_str());
    return 1;
  }

  // The drive to heat: one whose adapter shows its temperature, else the first. The drive to
  // remove: the last other one, so the drives before it keep their places on the bus.
  size_t hot = 0;
  for (size_t i = original.drives.size(); i-- > 0;) {
    if (ShowsTemperature(original.drives[i])) hot = i;
  }
  const isdct::Drive hotDrive = original.drives[hot];
  const int normal = static_cast<int>(hotDrive.temperature);
  std::vector<Step> steps = {
      {"drive " + hotDrive.serial + " warms up to 79 °C",
       SetTemperature(hotDrive.serial, 79),
       {PI::EVT_TEMPERATURE_78_TO_79}},
      {"drive " + hotDrive.serial + " heats up to 86 °C",
       SetTemperature(hotDrive.serial, 86),
       {PI::EVT_TEMPERATURE_CRITICAL, PI::EVT_TEMPERATURE_AT_80}},
      {"drive " + hotDrive.serial + " cools down to " + std::to_string(normal) + " °C",
       SetTemperature(hotDrive.serial, normal),
       {PI::EVT_WARNINGS_CLEARED}},
  };
  size_t gone = original.drives.size() - 1;
  if (gone != hot) {
    const isdct::Drive goneDrive = original.drives[gone];
    steps.push_back({"drive " + goneDrive.serial + " is removed",
                     [serial = goneDrive.serial](isdct::State& state, std::string&) {
                       for (size_t i = 0; i < state.drives.size(); ++i) {
                         if (state.drives[i].serial == serial)
                           state.drives.erase(state.drives.begin() + static_cast<long>(i));
                       }
                       return true;
                     },
                     {PI::EVT_ADAPTER_VANISHED}});
    steps.push_back({"drive " + goneDrive.serial + " comes back",
                     [goneDrive, gone](isdct::State& state, std::string&) {
                       if (state.FindBySerial(goneDrive.serial) != nullptr) return true;
                       size_t at = std::min(gone, state.drives.size());
                       state.drives.insert(state.drives.begin() + static_cast<long>(at), goneDrive);
                       return true;
                     },
                     {PI::EVT_ADAPTER_APPEARED}});
  }

  Monitor monitor(host, notifier, options);
  int status = 0;
  if (monitor.Start()) {
    const double limitMs = kStepLimitSeconds * 1000.0 / options.timeScale;
    for (const Step& step : steps) {
      if (notifier.Stopped()) break;
      monitor.Say(step.say);
      if (!Change(path, step, error)) {
        std::fprintf(stderr, "varnock-host: demo: cannot change the drive state: %s\n",
                     error.c_str());
        status = 1;
        break;
      }
      if (!monitor.WaitForEvents(step.codes, limitMs) && !notifier.Stopped()) {
        monitor.Say("no such event within " + ShortNumber(kStepLimitSeconds) +
                    " s; going on");
      }
    }
    if (notifier.Stopped()) monitor.Say("interrupted");
    else if (status == 0) monitor.Say("demo finished");
  } else {
    status = 1;
  }
  monitor.Stop();
  if (!isdct::SaveState(path, original, error)) {
    std::fprintf(stderr, "varnock-host: demo: cannot restore the drive state: %s\n",
                 error.c_str());
    status = 1;
  }
  return status;
}

}  // namespace host_shell
