#include "Metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "PluginHost.h"
#include "Text.h"
#include "Version.h"

namespace host_shell {

namespace {

// How a drive metric reads its property.
enum class Reading {
  kNumber,          // the number as shown
  kPercentRatio,    // percent shown, ratio 0 to 1 exported
  kBytes,           // a size in decimal units (KB .. PB) or bytes, exported in bytes
  kHoursAsSeconds,  // hours shown, seconds exported
  kDate,            // "YYYY-MM-DD" shown, Unix seconds exported
  kWarningBits,     // the warning list shown, the NVMe critical-warning bits exported
  kStateSet,        // an enumeration shown, one 0/1 sample per allowed value exported
};

struct DriveMetric {
  const char* name;
  const char* type;
  const char* help;
  uint32_t adapterProperty;
  uint32_t driveProperty;  // read on the drive beneath when the adapter lacks it; 0: none
  Reading reading;
};

// Names follow what NVMe health dashboards already chart, in base units.
constexpr DriveMetric kDriveMetrics[] = {
    {"varnock_nvme_temperature_celsius", "gauge", "Composite temperature of the drive.",
     PI::PROP_TEMPERATURE, PI::PROP_DRIVE_TEMPERATURE, Reading::kNumber},
    {"varnock_nvme_available_spare_ratio", "gauge",
     "Remaining spare capacity, normalized to 0 to 1.", PI::PROP_AVAILABLE_SPARE, 0,
     Reading::kPercentRatio},
    {"varnock_nvme_available_spare_threshold_ratio", "gauge",
     "Available spare below this ratio raises a critical warning.", PI::PROP_SPARE_THRESHOLD, 0,
     Reading::kPercentRatio},
    {"varnock_nvme_endurance_used_ratio", "gauge",
     "Share of the rated write endurance used, as the plug-in estimates it (1 = worn out).",
     PI::PROP_ENDURANCE_USED, 0, Reading::kPercentRatio},
    {"varnock_nvme_read_bytes_total", "counter",
     "Data read from the drive in bytes (the plug-in shows about seven significant digits).",
     PI::PROP_DATA_READ, 0, Reading::kBytes},
    {"varnock_nvme_written_bytes_total", "counter",
     "Data written to the drive in bytes (the plug-in shows about seven significant digits).",
     PI::PROP_DATA_WRITTEN, 0, Reading::kBytes},
    {"varnock_nvme_power_on_seconds_total", "counter",
     "Power-on time in seconds (the drive counts whole hours).", PI::PROP_POWER_ON_HOURS, 0,
     Reading::kHoursAsSeconds},
    {"varnock_nvme_media_errors_total", "counter",
     "Unrecovered data integrity errors reported by the drive.", PI::PROP_MEDIA_ERRORS, 0,
     Reading::kNumber},
    {"varnock_nvme_critical_warning", "gauge",
     "NVMe critical-warning bits: 1 spare below threshold, 2 temperature, 4 reliability "
     "degraded, 8 read-only, 16 volatile memory backup failed.",
     PI::PROP_WARNINGS, 0, Reading::kWarningBits},
    {"varnock_nvme_status", "gauge",
     "Adapter status as a state set: 1 for the current state, 0 for the others.", PI::PROP_STATUS,
     0, Reading::kStateSet},
    {"varnock_nvme_end_of_life_timestamp_seconds", "gauge",
     "Estimated end of life of the drive: midnight UTC of the estimated day.", PI::PROP_END_OF_LIFE,
     0, Reading::kDate},
};

// The host's warning codes in the adapter's warning list, and the critical-warning bit each
// stands for.
struct WarningBit {
  int32_t code;
  uint32_t bit;
};

constexpr WarningBit kWarningBits[] = {
    {PI::WARNING_SPARE_LOW, 0x01},     {PI::WARNING_TEMPERATURE, 0x02},
    {PI::WARNING_RELIABILITY, 0x04},   {PI::WARNING_READ_ONLY, 0x08},
    {PI::WARNING_BACKUP_FAILED, 0x10},
};

// The text of a number property, exact for 64-bit integers.
bool NumberText(const PI::CProperty& property, std::string& text) {
  if (property.m_ValueType == PI::CProperty::VALUE_UINT64) {
    text = std::to_string(property.m_UInt64);
    return true;
  }
  double value = 0;
  if (!PropertyNumber(property, value)) return false;
  text = FormatDouble(value);
  return true;
}

std::string TextOf(const PI::CObject& object, uint32_t id) {
  const PI::CProperty* property = FindProperty(object, id);
  return property != nullptr && property->m_ValueType == PI::CProperty::VALUE_TEXT
             ? property->m_Text
             : "";
}

// "0000:03:00.0", or empty when the adapter does not show all four parts.
std::string PciAddress(const PI::CObject& adapter) {
  uint64_t parts[4];
  const uint32_t ids[4] = {PI::PROP_SEGMENT, PI::PROP_BUS, PI::PROP_DEVICE, PI::PROP_FUNCTION};
  for (int i = 0; i < 4; ++i) {
    const PI::CProperty* property = FindProperty(adapter, ids[i]);
    if (property == nullptr || property->m_ValueType != PI::CProperty::VALUE_UINT64) return "";
    parts[i] = property->m_UInt64;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%04llx:%02llx:%02llx.%llx",
                static_cast<unsigned long long>(parts[0]),
                static_cast<unsigned long long>(parts[1]),
                static_cast<unsigned long long>(parts[2]),
                static_cast<unsigned long long>(parts[3]));
  return text;
}

// One adapter with what its samples carry.
struct DriveRow {
  const PI::CObject* adapter;
  const PI::CObject* drive;  // the drive beneath, or null
  MetricLabels labels;
};

// Writes the samples of one metric for one drive.
void DriveSamples(MetricsWriter& writer, const DriveMetric& metric, const DriveRow& row) {
  const PI::CProperty* property = FindProperty(*row.adapter, metric.adapterProperty);
  if (property == nullptr && metric.driveProperty != 0 && row.drive != nullptr)
    property = FindProperty(*row.drive, metric.driveProperty);

  std::string text;
  double value = 0;
  switch (metric.reading) {
    case Reading::kNumber:
      if (property == nullptr || !NumberText(*property, text)) return;
      break;
    case Reading::kPercentRatio:
      if (property == nullptr || !PropertyNumber(*property, value)) return;
      text = FormatDouble(value / 100.0);
      break;
    case Reading::kBytes: {
      // A plain 64-bit number without a size unit counts bytes already.
      BaseValue base{};
      if (property != nullptr && ToBaseUnit(*property, base) &&
          std::string(base.field) == "bytes")
        text = FormatDouble(base.value);
      else if (property != nullptr && property->m_ValueType == PI::CProperty::VALUE_UINT64)
        text = std::to_string(property->m_UInt64);
      else
        return;
      break;
    }
    case Reading::kHoursAsSeconds:
      if (property == nullptr || property->m_ValueType != PI::CProperty::VALUE_UINT64) return;
      text = property->m_UInt64 <= std::numeric_limits<uint64_t>::max() / 3600
                 ? std::to_string(property->m_UInt64 * 3600)
                 : FormatDouble(static_cast<double>(property->m_UInt64) * 3600.0);
      break;
    case Reading::kDate: {
      int64_t seconds = 0;
      if (property == nullptr || property->m_ValueType != PI::CProperty::VALUE_TEXT ||
          !DateToUnixSeconds(property->m_Text, seconds))
        return;
      text = std::to_string(seconds);
      break;
    }
    case Reading::kWarningBits: {
      // The plug-in leaves the list out when it is empty: no warning.
      uint32_t bits = 0;
      if (property != nullptr && property->m_ValueType == PI::CProperty::VALUE_LIST) {
        for (int32_t code : property->m_Values) {
          for (const WarningBit& warning : kWarningBits) {
            if (warning.code == code) bits |= warning.bit;
          }
        }
      }
      text = std::to_string(bits);
      break;
    }
    case Reading::kStateSet: {
      if (property == nullptr || property->m_ValueType != PI::CProperty::VALUE_ENUMERATION)
        return;
      for (int32_t state : property->m_Allowed) {
        std::string word = PI::PropertyValueToString(state);
        MetricLabels labels = row.labels;
        labels.emplace_back("state", word.empty() ? std::to_string(state) : word);
        writer.Sample(labels, state == property->m_Int ? "1" : "0");
      }
      return;
    }
  }
  writer.Sample(row.labels, text);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace

void MetricsWriter::Family(const std::string& name, const char* type, const std::string& help) {
  m_Family = name;
  m_Text += "# HELP " + name + " " + EscapeHelp(help) + "\n";
  m_Text += "# TYPE " + name + " " + type + "\n";
}

void MetricsWriter::Sample(const MetricLabels& labels, const std::string& value) {
  m_Text += m_Family;
  if (!labels.empty()) {
    m_Text += "{";
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) m_Text += ",";
      m_Text += labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + "\"";
    }
    m_Text += "}";
  }
  m_Text += " " + value + "\n";
}

std::string EscapeLabelValue(const std::string& value) {
  // Label values must be UTF-8: one drive's bad byte would otherwise fail the whole scrape.
  // Other control characters are spelled out ("\x1b" reads back as those four characters).
  std::string text;
  for (char c : ValidUtf8(value)) {
    if (c == '\\') text += "\\\\";
    else if (c == '"') text += "\\\"";
    else if (c == '\n') text += "\\n";
    else if ((c >= 0 && c < 0x20) || c == 0x7f) text += "\\" + TerminalText(std::string(1, c));
    else text += c;
  }
  return text;
}

std::string EscapeHelp(const std::string& help) {
  std::string text;
  for (char c : help) {
    if (c == '\\') text += "\\\\";
    else if (c == '\n') text += "\\n";
    else text += c;
  }
  return text;
}

std::string FormatDouble(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (value == 0) return "0";  // no "-0"
  char buffer[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  return buffer;
}

bool DateToUnixSeconds(const std::string& text, int64_t& seconds) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const int64_t year = std::stoi(text.substr(0, 4));
  const unsigned month = static_cast<unsigned>(std::stoi(text.substr(5, 2)));
  const unsigned day = static_cast<unsigned>(std::stoi(text.substr(8, 2)));
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  seconds = DaysFromCivil(year, month, day) * 86400;
  return true;
}

std::string RenderMetrics(const FleetState& state) {
  MetricsWriter writer;
  writer.Family("varnock_up", "gauge",
                "1 when the plug-in runs and its last topology was read, else 0.");
  writer.Sample({}, state.up ? "1" : "0");

  const PI::CObject* plugin = nullptr;
  std::vector<DriveRow> rows;
  for (const PI::CObject& object : state.objects) {
    if (object.m_Type == PI::TYPE_PLUGIN) plugin = &object;
    if (object.m_Type != PI::TYPE_ADAPTER) continue;
    DriveRow row{&object, nullptr, {}};
    for (const PI::CObject& child : state.objects) {
      if (child.m_Type == PI::TYPE_PHYSICAL_DRIVE && !child.m_Parents.empty() &&
          child.m_Parents[0] == object.m_ID)
        row.drive = &child;
    }
    row.labels = {{"serial", TextOf(object, PI::PROP_SERIAL_NUMBER)},
                  {"model", TextOf(object, PI::PROP_MODEL)},
                  {"pci", PciAddress(object)}};
    // The block device as node_exporter names it ("nvme0n1"), so that drive metrics join its
    // disk metrics; left out where the plug-in shows no device path.
    std::string device = TextOf(object, PI::PROP_DEVICE_PATH);
    if (device.compare(0, 5, "/dev/") == 0) device.erase(0, 5);
    if (!device.empty()) row.labels.emplace_back("device", device);
    rows.push_back(row);
  }

  writer.Family("varnock_build_info", "gauge",
                "The shell's version, the plug-in's version and the build's commit; the value is "
                "always 1.");
  const PI::CProperty* pluginVersion =
      plugin != nullptr ? FindProperty(*plugin, PI::PROP_VERSION) : nullptr;
  writer.Sample({{"version", ShellVersion()},
                 {"plugin_version", pluginVersion != nullptr ? pluginVersion->m_Text : ""},
                 {"commit", BuildCommit()}},
                "1");

  writer.Family("varnock_poll_interval_seconds", "gauge",
                "How often the plug-in re-reads every drive's health.");
  const PI::CProperty* poll =
      plugin != nullptr ? FindProperty(*plugin, PI::PROP_POLL_INTERVAL) : nullptr;
  std::string text;
  if (poll != nullptr && NumberText(*poll, text)) writer.Sample({}, text);

  writer.Family("varnock_events_total", "counter",
                "Events the plug-in handed over since the shell started, by event code.");
  for (const auto& [code, count] : state.eventCounts)
    writer.Sample({{"code", std::to_string(code)}}, std::to_string(count));

  writer.Family("varnock_last_notification_timestamp_seconds", "gauge",
                "When the plug-in last notified the host (Unix seconds).");
  if (state.lastNotificationMs != 0)
    writer.Sample({}, FormatDouble(static_cast<double>(state.lastNotificationMs) / 1000.0));

  writer.Family("varnock_drives", "gauge", "Drives the plug-in shows.");
  writer.Sample({}, std::to_string(rows.size()));

  writer.Family("varnock_nvme_info", "gauge",
                "Identity of each drive the plug-in shows; the value is always 1.");
  for (const DriveRow& row : rows) {
    MetricLabels labels = row.labels;
    labels.emplace_back("firmware", TextOf(*row.adapter, PI::PROP_FIRMWARE));
    writer.Sample(labels, "1");
  }
  for (const DriveMetric& metric : kDriveMetrics) {
    writer.Family(metric.name, metric.type, metric.help);
    for (const DriveRow& row : rows) DriveSamples(writer, metric, row);
  }

  // A drive whose pages the tool stopped answering keeps the values read before (or shows 0
  // for what a failed pass resets), so the failure is a metric of its own.
  writer.Family("varnock_nvme_health_read_ok", "gauge",
                "1 when every health page of the drive was read the last time it was asked "
                "for, 0 when the tool failed on one.");
  for (const DriveRow& row : rows) {
    auto read = state.healthReadOk.find(TextOf(*row.adapter, PI::PROP_SERIAL_NUMBER));
    if (read != state.healthReadOk.end()) writer.Sample(row.labels, read->second ? "1" : "0");
  }
  writer.Family("varnock_last_error", "gauge",
                "Why the plug-in does not run (the reason label); no sample while it runs.");
  if (!state.lastError.empty()) writer.Sample({{"reason", state.lastError}}, "1");
  return writer.Text();
}

}  // namespace host_shell
