#include "Monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Answer.h"
#include "Notifier.h"
#include "Options.h"
#include "Output.h"
#include "PluginHost.h"
#include "ShellPlatform.h"
#include "Text.h"
#include "ToolWatch.h"

namespace host_shell {

namespace {

// The table's columns: heading and the adapter property shown (0: a rule of its own).
struct Column {
  const char* heading;
  uint32_t property;
};

constexpr Column kColumns[] = {
    {"Name", PI::PROP_NAME},
    {"Model", PI::PROP_MODEL},
    {"Serial", PI::PROP_SERIAL_NUMBER},
    {"Status", PI::PROP_STATUS},
    {"Temp", PI::PROP_TEMPERATURE},
    {"Spare", PI::PROP_AVAILABLE_SPARE},
    {"Used", PI::PROP_ENDURANCE_USED},
    {"Written", PI::PROP_DATA_WRITTEN},
    {"Hours", PI::PROP_POWER_ON_HOURS},
    {"End of life", PI::PROP_END_OF_LIFE},
};

bool UseColour(const Options& options) {
  if (options.json || !OutputIsTerminal()) return false;
  const char* term = std::getenv("TERM");
  return term != nullptr && std::strcmp(term, "dumb") != 0;
}

std::string Pad(const std::string& text, size_t width) {
  size_t shown = DisplayWidth(text);
  return shown >= width ? text : text + std::string(width - shown, ' ');
}

void Print(const std::string& text) { WriteAnswer(text); }

std::chrono::steady_clock::time_point Deadline(double realMs) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double, std::milli>(std::min(realMs, kLongestWaitMs)));
}

double Remaining(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration<double, std::milli>(deadline - std::chrono::steady_clock::now())
      .count();
}

}  // namespace

Monitor::Monitor(PluginHost& host, Notifier& notifier, const Options& options)
    : m_Host(host), m_Notifier(notifier), m_Options(options), m_Colour(UseColour(options)) {}

bool Monitor::Start() {
  // Each failure names its request and result, and for Initialize the tool's own problem when
  // the inventory query did not give JSON (the usual cause of ERR_API_INITIALIZATION_FAILED).
  auto fail = [this](const char* request, uint32_t result, const std::string& cause) {
    m_LastError = std::string(request) + " failed: " + std::to_string(result) + " (" +
                  ErrorText(result) + ")" + (cause.empty() ? "" : ": " + cause);
    std::fprintf(stderr, "varnock-host: %s\n", TerminalText(m_LastError).c_str());
    return false;
  };
  m_LastError.clear();
  uint32_t result = m_Host.Create();
  if (result != PI::ERR_SUCCESS || !m_Host.Created()) return fail("createIf", result, "");
  std::vector<PI::CAdapterID> ids;
  result = m_Host.Request(REQ_INITIALIZE, 0, &ids);
  if (result != PI::ERR_SUCCESS)
    return fail("Initialize", result, ToolWatch::Process().InventoryProblem());
  // The host numbers the adapters in the order Initialize reported them.
  for (size_t i = 0; i < ids.size(); ++i) ids[i].SetAdapterNumber(static_cast<int32_t>(i));
  result = m_Host.Request(REQ_SET_ADAPTER_IDS, 0, &ids);
  if (result != PI::ERR_SUCCESS) return fail("SetAdapterIDs", result, "");
  Refresh();
  PrintTable();
  return true;
}

void Monitor::Stop() {
  if (m_Host.Created()) Say("shutting the plug-in down");
  m_Host.Shutdown();
}

void Monitor::Say(const std::string& text) {
  if (m_Options.json) {
    host_shell::Answer answer("say", true);
    answer.Result(PI::ERR_SUCCESS);
    answer.Field("text", text);
    Print(answer.Render());
  } else {
    Print((m_Colour ? std::string(kBold) + "== " + text + kReset : "== " + text) + "\n");
  }
}

void Monitor::Watch(double realMs) {
  auto deadline = Deadline(realMs < 0 ? 0 : realMs);
  for (;;) {
    double wait = realMs < 0 ? -1 : Remaining(deadline);
    if (realMs >= 0 && wait <= 0) return;
    if (m_Notifier.Wait(wait) != Notifier::kNotified) return;
    Collect(nullptr);
  }
}

bool Monitor::WaitForEvents(const std::vector<uint32_t>& codes, double realMs) {
  auto deadline = Deadline(realMs);
  for (;;) {
    double wait = Remaining(deadline);
    if (wait <= 0) return false;
    if (m_Notifier.Wait(wait) != Notifier::kNotified) return false;
    std::vector<PI::CEvent> seen;
    Collect(&seen);
    for (const PI::CEvent& event : seen) {
      for (uint32_t code : codes) {
        if (event.m_Code == code) return true;
      }
    }
  }
}

void Monitor::Collect(std::vector<PI::CEvent>* seen) {
  // The plug-in's operation as it lists it, handed back to it to be executed.
  PI::COperation operation;
  operation.m_ID = operation.m_ID2 = PI::OP_GET_EVENTS;
  std::vector<PI::COperation> operations;
  if (m_Host.Request(REQ_GET_OPERATIONS, m_PluginId, &operations) == PI::ERR_SUCCESS) {
    for (const PI::COperation& offered : operations) {
      if (offered.m_ID == PI::OP_GET_EVENTS) operation = offered;
    }
  }
  uint32_t result = m_Host.Request(REQ_EXECUTE_OPERATION, m_PluginId, &operation);
  const std::vector<PI::CEvent>& events = operation.GetEvents();
  // Re-read first, so events about new objects can name them.
  bool changed = Refresh();

  if (m_Options.json) {
    host_shell::Answer answer("events", true);
    answer.Result(result);
    answer.Events(events, [this](uint64_t id) { return Label(id); });
    Print(answer.Render());
  } else {
    if (result != PI::ERR_SUCCESS) {
      Print("varnock-host: collecting events failed: " + std::to_string(result) + " (" +
            ErrorText(result) + ")\n");
    }
    for (const PI::CEvent& event : events)
      Print(EventLine(event, Label(event.m_ObjectID), m_Colour) + "\n");
  }
  if (seen != nullptr) seen->insert(seen->end(), events.begin(), events.end());
  if (changed) PrintTable();
  if (m_Observer) m_Observer(result, events, m_Objects);
}

bool Monitor::Refresh() {
  std::vector<PI::CObject> objects;
  if (m_Host.Topology(objects) != PI::ERR_SUCCESS) return false;
  m_Objects = objects;
  std::vector<Row> rows;
  for (const PI::CObject& object : objects) {
    m_Names[object.m_ID] = ObjectName(object);
    if (object.m_Type == PI::TYPE_PLUGIN) m_PluginId = object.m_ID;
    if (object.m_Type != PI::TYPE_ADAPTER) continue;
    Row row;
    row.id = object.m_ID;
    for (const Column& column : kColumns) {
      const PI::CProperty* property = FindProperty(object, column.property);
      if (property == nullptr && column.property == PI::PROP_TEMPERATURE) {
        // Some models report their temperature on the drive beneath the adapter only.
        for (const PI::CObject& child : objects) {
          if (child.m_Type == PI::TYPE_PHYSICAL_DRIVE && !child.m_Parents.empty() &&
              child.m_Parents[0] == object.m_ID)
            property = FindProperty(child, PI::PROP_DRIVE_TEMPERATURE);
        }
      }
      std::string cell = property != nullptr ? TerminalText(ValueText(*property)) : "";
      row.cells.push_back(cell.empty() ? "-" : cell);
      if (column.property == PI::PROP_STATUS && property != nullptr) row.status = property->m_Int;
    }
    rows.push_back(row);
  }
  bool changed = rows.size() != m_Rows.size();
  for (size_t i = 0; !changed && i < rows.size(); ++i)
    changed = rows[i].id != m_Rows[i].id || rows[i].cells != m_Rows[i].cells;
  m_Rows = rows;
  return changed;
}

void Monitor::PrintTable() {
  if (m_Options.json) {
    host_shell::Answer answer("drives", true);
    answer.Result(PI::ERR_SUCCESS);
    answer.Objects(m_Objects);
    Print(answer.Render());
    return;
  }
  if (m_Rows.empty()) {
    Print("(no drives)\n");
    return;
  }
  constexpr size_t kCount = sizeof kColumns / sizeof kColumns[0];
  size_t widths[kCount];
  for (size_t c = 0; c < kCount; ++c) {
    widths[c] = DisplayWidth(kColumns[c].heading);
    for (const Row& row : m_Rows) widths[c] = std::max(widths[c], DisplayWidth(row.cells[c]));
  }
  std::string heading;
  for (size_t c = 0; c < kCount; ++c) heading += Pad(kColumns[c].heading, widths[c] + 2);
  while (!heading.empty() && heading.back() == ' ') heading.pop_back();
  std::string text = m_Colour ? std::string(kBold) + heading + kReset + "\n" : heading + "\n";
  for (const Row& row : m_Rows) {
    std::string line;
    for (size_t c = 0; c < kCount; ++c) {
      std::string cell = Pad(row.cells[c], c + 1 < kCount ? widths[c] + 2 : 0);
      const char* colour = m_Colour ? StatusColour(row.status) : "";
      if (kColumns[c].property == PI::PROP_STATUS && *colour != '\0') {
        // Colour the word only, so the padding stays plain and the columns aligned.
        cell = colour + row.cells[c] + kReset + cell.substr(row.cells[c].size());
      }
      line += cell;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  Print(text);
}

std::string Monitor::Label(uint64_t id) const {
  if (id == PI::TYPE_SYSTEM) return "system";
  auto found = m_Names.find(id);
  return found != m_Names.end() ? found->second : std::to_string(id);
}

}  // namespace host_shell
