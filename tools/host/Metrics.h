// The fleet view's metrics in the Prometheus text exposition format (version 0.0.4): a small
// writer that puts each family's HELP and TYPE lines before its samples and escapes what it is
// given, and the rendering of the picture the shell last read from the plug-in. Plain values
// and pure functions; a writer belongs to the thread that fills it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "PI.h"

namespace host_shell {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

class MetricsWriter {
 public:
  // Starts a family: its HELP and TYPE lines ("gauge", "counter"). Every family gets both, even
  // one that ends up without a sample.
  void Family(const std::string& name, const char* type, const std::string& help);
  // One sample of the family last started; `value` is a number as FormatDouble or
  // std::to_string writes it.
  void Sample(const MetricLabels& labels, const std::string& value);

  const std::string& Text() const { return m_Text; }

 private:
  std::string m_Text;
  std::string m_Family;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
// A HELP text with backslash and line feed escaped.
std::string EscapeHelp(const std::string& help);
// The shortest text that reads back as the same double; "NaN", "+Inf" and "-Inf" as Prometheus
// spells them.
std::string FormatDouble(double value);
// "YYYY-MM-DD" as Unix seconds at midnight UTC; false for anything else.
bool DateToUnixSeconds(const std::string& text, int64_t& seconds);

// What the metrics are made of: the shell's last picture of the plug-in.
struct FleetState {
  bool up = false;                           // started, and the last topology request succeeded
  std::vector<PI::CObject> objects;          // that topology
  std::map<uint32_t, uint64_t> eventCounts;  // events handed over since the start, by code
  uint64_t lastNotificationMs = 0;           // toolkit time of the last notification; 0: none
  std::string lastError;                     // why the plug-in does not run; empty: it does
  std::map<std::string, bool> healthReadOk;  // by serial: the drive's health was last read whole
};

// The whole exposition: the plug-in's families, then one family per drive metric with a sample
// for every adapter that shows the value (a value the plug-in leaves out has no sample).
std::string RenderMetrics(const FleetState& state);

}  // namespace host_shell
