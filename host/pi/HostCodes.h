// The host's numbered codes by name: request function codes, results, property and operation
// IDs, object types, event codes, status and state values, value kinds and units. The plug-in,
// the host shell and the tests all name the host's numbers through this one header; it holds
// constants only and is safe from any thread.
#pragma once

#include <cstdint>

// Function codes of the request operation and the type its data pointer points to.
enum : int32_t {
  REQ_INITIALIZE = 1,        // std::vector<PI::CAdapterID> (output)
  REQ_SET_ADAPTER_IDS = 2,   // std::vector<PI::CAdapterID> (input)
  REQ_DEINITIALIZE = 3,      // nothing
  REQ_GET_TOPOLOGY = 4,      // std::vector<PI::CObject> (output)
  REQ_GET_PROPERTIES = 5,    // std::vector<PI::CProperty> (output)
  REQ_GET_PROPERTY = 6,      // PI::CProperty (in: ID; out: the property)
  REQ_SET_PROPERTY = 7,      // PI::CProperty (input)
  REQ_GET_OPERATIONS = 8,    // std::vector<PI::COperation> (output)
  REQ_CHECK_OPERATION = 9,   // PI::COperation
  REQ_EXECUTE_OPERATION = 10 // PI::COperation (in/out)
};

namespace PI {

// Results of a request.
enum _ERROR_CODE : uint32_t {
  ERR_SUCCESS = 0,
  ERR_NO_PROPERTY_FOUND = 20000,
  ERR_NO_SUPPORTED_HARDWARE = 20001,
  ERR_FUNCTION_OUT_OF_RANGE = 20002,
  ERR_TOOL_COMMAND_FAILED = 20003,
  ERR_PROPERTY_NOT_SETTABLE = 20004,
  ERR_OPERATION_NOT_EXECUTABLE = 20005,
  ERR_UNKNOWN_LOG_PAGE = 20006,
  ERR_OUT_OF_MEMORY = 20007,
  ERR_NO_OBJECT = 20008,
  ERR_LOCK_INITIALIZATION_FAILED = 20011,
  ERR_API_INITIALIZATION_FAILED = 20012,
  ERR_OPERATION_REFUSED = 20042,
};

// Property value kinds of a description row.
enum : uint32_t {
  KIND_TEXT = 2,
  KIND_ENUMERATION = 3,
  KIND_NUMBER = 5,
  KIND_BOUNDED = 7,
  KIND_VALUE_LIST = 8,
  KIND_SIZE = 9,
};

// Unit codes (see UnitName for their texts).
enum : uint32_t {
  UNIT_NONE = 1,
  UNIT_CELSIUS = 21000,
  UNIT_MIB = 21002,
  UNIT_HOURS = 21005,
  UNIT_SECONDS = 21007,
  UNIT_PERCENT = 21010,
  UNIT_BYTES = 21025,
  UNIT_KB = 21031,
  UNIT_MB = 21032,
  UNIT_GB = 21033,
  UNIT_TB = 21034,
  UNIT_PB = 21035,
};

// Property IDs. PROP_ALL, as the ID of a property request, asks for every property.
enum : uint32_t {
  PROP_ALL = 1,
  PROP_VENDOR = 30003,
  PROP_TOOL_VERSION = 30004,
  PROP_POLL_INTERVAL = 30005,
  PROP_NAME = 30007,
  PROP_STATUS = 30017,
  PROP_DRIVER_VERSION = 30018,
  PROP_FIRMWARE = 30020,
  PROP_SERIAL_NUMBER = 30022,
  PROP_BUS = 30037,
  PROP_DEVICE = 30038,
  PROP_FUNCTION = 30039,
  PROP_MEDIA_TYPE = 30056,
  PROP_CAPACITY = 30059,
  PROP_REPORTED_CAPACITY = 30060,
  PROP_MODEL = 30063,
  PROP_DRIVE_TEMPERATURE = 30069,
  PROP_VERSION = 30099,
  PROP_ADAPTER_NUMBER = 30120,
  PROP_PORT = 30122,
  PROP_TARGET_LUN = 30125,
  PROP_ADDRESS = 30137,
  PROP_MODEL_SUPPORT = 30158,
  PROP_WARNINGS = 30165,
  PROP_MEDIA_ERRORS = 30189,
  PROP_DEVICE_PATH = 30247,
  PROP_DRIVER_NAME = 30266,
  PROP_TEMPERATURE = 30442,
  PROP_SECTOR_SIZE = 30460,
  PROP_USABLE_CAPACITY = 30461,
  PROP_USABLE_PERCENT = 30462,
  PROP_SPARE_STATE = 30468,
  PROP_SEGMENT = 30479,
  PROP_END_OF_LIFE = 30483,
  PROP_AVAILABLE_SPARE = 30486,
  PROP_SMART_STATE = 30487,
  PROP_SPARE_THRESHOLD = 30488,
  PROP_DATA_READ = 30489,
  PROP_DATA_WRITTEN = 30490,
  PROP_ENDURANCE_USED = 30494,
  PROP_POWER_ON_HOURS = 30498,
  PROP_BOOTLOADER = 30500,
};

// Operation IDs.
enum : uint32_t {
  OP_GET_EVENTS = 50002,
  OP_NEEDS_HEALTHY_DRIVE = 50026,
};

// Object types; TYPE_SYSTEM is the object of events about the system as a whole.
enum : uint32_t {
  TYPE_SYSTEM = 19002,
  TYPE_PLUGIN = 19006,
  TYPE_PHYSICAL_DRIVE = 19018,
  TYPE_ADAPTER = 19038,
};

// Event codes.
enum : uint32_t {
  EVT_BACKUP_FAILED = 10957,
  EVT_TEMPERATURE_80_TO_83 = 10959,
  EVT_TEMPERATURE_CRITICAL = 10960,
  EVT_TEMPERATURE_AT_80 = 10962,
  EVT_TEMPERATURE_78_TO_79 = 10967,
  EVT_SPARE_LOW = 10968,
  EVT_WARNINGS_CLEARED = 10980,
  EVT_DRIVE_RESIZED = 10985,
  EVT_RELIABILITY_DEGRADED = 11088,
  EVT_ADAPTER_APPEARED = 11093,
  EVT_ADAPTER_VANISHED = 11094,
};

// Event severities.
enum : uint32_t {
  SEVERITY_DEBUG = 1,
  SEVERITY_INFORMATION = 2,
  SEVERITY_WARNING = 3,
  SEVERITY_CRITICAL = 4,
  SEVERITY_FATAL = 5,
};

// Status, state and other enumeration values of properties.
enum : int32_t {
  STATUS_OK = 40024,
  STATUS_CRITICAL = 40095,
  STATUS_DRIVE_OK = 40099,
  STATUS_WARNING = 40150,
  STATUS_DRIVE_REBUILDING = 40180,
  MEDIA_NVME = 40200,
  SPARE_NORMAL = 40252,
  MEDIA_SSD = 40293,
  SPARE_BELOW_THRESHOLD = 40410,
  SPARE_READ_ONLY = 40411,
  SMART_OK = 40473,
  SMART_FAILED = 40474,
  MODEL_SUPPORTED = 40480,
  MODEL_NOT_SUPPORTED = 40488,
  WARNING_BACKUP_FAILED = 40449,
  WARNING_READ_ONLY = 40452,
  WARNING_TEMPERATURE = 40459,
  WARNING_SPARE_LOW = 40460,
  WARNING_RELIABILITY = 40487,
};

// The values an adapter's warning list may hold.
inline constexpr int32_t ALLOWED_WARNINGS[] = {40387, 40128, 40393, 40394, 40395, 40396, 40397,
                                               40398, 40399, 40400, 40401, 40402, 40266};

// State codes that go with a status value.
enum : uint32_t {
  STATE_ADAPTER_OK = 24000,
  STATE_ADAPTER_CRITICAL = 24001,
  STATE_ADAPTER_WARNING = 24002,
  STATE_DRIVE_CRITICAL = 24177,
  STATE_DRIVE_OK = 24183,
  STATE_DRIVE_REBUILDING = 24189,
};

}  // namespace PI
