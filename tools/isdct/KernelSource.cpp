#include "KernelSource.h"

#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "NvmePages.h"

namespace isdct {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kAdminGetLogPage = 0x02;
constexpr uint8_t kAdminIdentify = 0x06;
constexpr uint32_t kCnsNamespace = 0x00;
constexpr uint32_t kCnsController = 0x01;
constexpr uint32_t kAllNamespaces = 0xFFFFFFFF;
constexpr uint32_t kStatusHostAborted = 0x371;

constexpr const char* kNeedsCapability =
    "the admin pass-through needs CAP_SYS_ADMIN in the initial user namespace (CAP_SYS_RAWIO "
    "does not do; root in a rootless container does not count)";

// What a run could read of one controller, gathered before the answer is built.
struct Controller {
  int instance = 0;
  std::string name;  // "nvme3"
  fs::path dir;      // its sysfs directory
  fs::path blocks;   // the sysfs directory of the block devices
};

// The first line of a small sysfs file, trailing blanks cut. Plain open and read: a stream costs
// more to set up than the read itself, and a run reads a dozen of these per controller.
bool ReadText(const fs::path& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  close(fd);
  if (n < 0) return false;
  text.assign(buffer, static_cast<size_t>(n));
  text.erase(std::min(text.find('\n'), text.size()));
  const size_t end = text.find_last_not_of(" \t\r");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return true;
}

bool ReadNumber(const fs::path& path, int64_t& number) {
  std::string text;
  if (!ReadText(path, text) || text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  number = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

// "nvme12" -> 12; -1 for names of other kinds (nvme-fabrics, nvme0n1 ...).
int Instance(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "nvme") != 0) return -1;
  const std::string digits = name.substr(4);
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) return -1;
  return std::atoi(digits.c_str());
}

std::vector<Controller> Controllers(const KernelOptions& options) {
  std::vector<Controller> controllers;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(fs::path(options.sysfsRoot) / "class/nvme",
                                                  ignored)) {
    const std::string name = entry.path().filename().string();
    const int instance = Instance(name);
    if (instance >= 0) controllers.push_back(
          Controller{instance, name, entry.path(), fs::path(options.sysfsRoot) / "class/block"});
  }
  std::sort(controllers.begin(), controllers.end(),
            [](const Controller& a, const Controller& b) { return a.instance < b.instance; });
  return controllers;
}

KernelError Gone(const Controller& controller, const std::string& what) {
  return KernelError{kExitGone, controller.name + ": the controller went away (" + what + ")"};
}

// The digits of `text` from `at` on, advancing `at` past them; false when there are none.
bool Digits(const std::string& text, size_t& at, std::string& digits) {
  const size_t end = text.find_first_not_of("0123456789", at);
  digits = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  at = end == std::string::npos ? text.size() : end;
  return !digits.empty();
}

// "nvme1n2" and a multipath path "nvme1c3n2" give instance "1" and namespace "2".
bool NamespaceName(const std::string& name, std::string& instance, std::string& ns) {
  if (name.compare(0, 4, "nvme") != 0) return false;
  size_t at = 4;
  std::string path;
  if (!Digits(name, at, instance)) return false;
  if (at < name.size() && name[at] == 'c' && !Digits(name, ++at, path)) return false;
  return at < name.size() && name[at] == 'n' && Digits(name, ++at, ns) && at == name.size();
}

// What the controller's sysfs directory holds that a run reads, found in one pass over it.
struct Contents {
  // The block devices of the controller's namespaces, in namespace order: "nvme0n1", or for a
  // path of a multipath namespace ("nvme1c2n1") the namespace's device "nvme1n1". Parsed by
  // hand: a regular expression costs more to build than the rest of a run.
  std::vector<std::string> devices;
  // The controller's hwmon directory (the kernel's own sensor, read through the SMART log
  // without any capability), or an empty path.
  fs::path hwmon;
};

bool IsSensor(const fs::directory_entry& entry) {
  std::error_code ignored;
  return entry.path().filename().string().compare(0, 5, "hwmon") == 0 &&
         fs::exists(entry.path() / "temp1_input", ignored);
}

Contents Scan(const Controller& controller) {
  Contents contents;
  std::vector<std::pair<long, std::string>> found;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(controller.dir, ignored)) {
    std::string instance, ns;
    if (NamespaceName(entry.path().filename().string(), instance, ns))
      found.emplace_back(std::atol(ns.c_str()), "nvme" + instance + "n" + ns);
    else if (contents.hwmon.empty() && IsSensor(entry))
      contents.hwmon = entry.path();
  }
  std::sort(found.begin(), found.end());
  for (const auto& [number, device] : found) contents.devices.push_back(device);
  if (contents.hwmon.empty()) {
    for (const auto& entry : fs::directory_iterator(controller.dir / "device" / "hwmon", ignored)) {
      if (IsSensor(entry)) {
        contents.hwmon = entry.path();
        break;
      }
    }
  }
  return contents;
}

// One open character device of a controller and its admin commands.
class AdminChannel {
 public:
  AdminChannel(const KernelOptions& options, const Controller& controller)
      : controller_(controller), timeoutMs_(options.timeoutMs) {
    path_ = (fs::path(options.devRoot) / controller.name).string();
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) openErrno_ = errno;
  }
  ~AdminChannel() {
    if (fd_ >= 0) close(fd_);
  }
  AdminChannel(const AdminChannel&) = delete;
  AdminChannel& operator=(const AdminChannel&) = delete;

  // False when the channel cannot be had at all: no permission or no device node. `error` says
  // why; a controller gone under the open is a failure of its own (kExitGone).
  bool Usable(KernelError& error) const {
    if (fd_ >= 0) return true;
    if (openErrno_ == EACCES || openErrno_ == EPERM) {
      error = {kExitPermission, controller_.name + ": cannot open " + path_ + ": " +
                                    std::strerror(openErrno_) + "; " + kNeedsCapability};
    } else if (openErrno_ == ENODEV || openErrno_ == ENXIO) {
      error = Gone(controller_, "open " + path_ + ": " + std::strerror(openErrno_));
    } else {
      error = {kExitPermission, controller_.name + ": no admin pass-through: cannot open " +
                                    path_ + ": " + std::strerror(openErrno_)};
    }
    return false;
  }

  bool Identify(uint32_t cns, uint32_t nsid, std::vector<uint8_t>& page, KernelError& error) {
    page.assign(kIdentifyBytes, 0);
    return Submit(kAdminIdentify, nsid, cns, page, "Identify CNS " + std::to_string(cns), error);
  }

  bool LogPage(uint8_t id, std::vector<uint8_t>& page, KernelError& error) {
    page.assign(kLogPageBytes, 0);
    const uint32_t dwords = kLogPageBytes / 4 - 1;
    char name[32];
    std::snprintf(name, sizeof name, "Get Log Page 0x%02X", id);
    return Submit(kAdminGetLogPage, kAllNamespaces, id | (dwords << 16), page, name, error);
  }

 private:
  bool Submit(uint8_t opcode, uint32_t nsid, uint32_t cdw10, std::vector<uint8_t>& data,
              const std::string& what, KernelError& error) {
    if (!Usable(error)) return false;
    nvme_admin_cmd command;
    std::memset(&command, 0, sizeof command);
    command.opcode = opcode;
    command.nsid = nsid;
    command.addr = reinterpret_cast<uintptr_t>(data.data());
    command.data_len = static_cast<uint32_t>(data.size());
    command.cdw10 = cdw10;
    command.timeout_ms = static_cast<uint32_t>(timeoutMs_);
    const int result = ioctl(fd_, NVME_IOCTL_ADMIN_CMD, &command);
    if (result == 0) return true;
    const std::string prefix = controller_.name + ": " + what + ": ";
    if (result > 0 && (static_cast<uint32_t>(result) & 0x7FF) == kStatusHostAborted) {
      error = {kExitTimeout, prefix + "no completion within " + std::to_string(timeoutMs_) +
                                 " ms; the kernel aborted the command"};
    } else if (result > 0) {
      error = {kExitRefused, prefix + "refused by the controller, " +
                                 DescribeStatus(static_cast<uint32_t>(result))};
    } else if (errno == EPERM || errno == EACCES) {
      error = {kExitPermission, prefix + std::strerror(errno) + "; " + kNeedsCapability};
    } else if (errno == EINTR || errno == ETIMEDOUT) {
      error = {kExitTimeout, prefix + "no completion within " + std::to_string(timeoutMs_) +
                                 " ms (" + std::strerror(errno) + ")"};
    } else if (errno == ENODEV || errno == ENXIO || errno == EIO) {
      error = Gone(controller_, what + ": " + std::strerror(errno));
    } else {
      error = {kExitRefused, prefix + std::strerror(errno)};
    }
    return false;
  }

  const Controller& controller_;
  const int timeoutMs_;
  std::string path_;
  int fd_ = -1;
  int openErrno_ = 0;
};

void Extra(KernelDrive& drive, Section section, const char* key,
           std::variant<std::string, int64_t> value) {
  drive.extras.push_back(ExtraField{section, key, std::move(value)});
}

void DriverVersion(Drive& drive) {
  // The kernel's release, asked once per run: it is the driver of every controller.
  static const std::pair<int, int> version = [] {
    utsname name;
    int major = -1;
    int minor = -1;
    if (uname(&name) != 0 || std::sscanf(name.release, "%d.%d", &major, &minor) != 2)
      major = minor = -1;
    return std::make_pair(major, minor);
  }();
  if (version.first < 0) return;
  drive.driverMajorVersion = version.first;
  drive.driverMinorVersion = version.second;
}

// Identity from sysfs, which needs no capability; false when the controller's directory is gone.
bool ReadIdentity(const Controller& controller, KernelDrive& out, KernelError& error) {
  Drive& drive = out.drive;
  drive.index = controller.instance;
  if (!ReadText(controller.dir / "serial", drive.serial)) {
    error = Gone(controller, "its sysfs entry vanished");
    return false;
  }
  ReadText(controller.dir / "model", drive.model);
  ReadText(controller.dir / "firmware_rev", drive.firmware);
  std::string transport;
  std::string address;
  ReadText(controller.dir / "transport", transport);
  ReadText(controller.dir / "address", address);
  std::string vendor;
  ReadText(controller.dir / "device" / "vendor", vendor);
  const bool intel = vendor == "0x8086" || drive.model.compare(0, 6, "INTEL ") == 0;
  drive.family = intel ? "Intel SSD" : "NVMe SSD";
  drive.productFamily = drive.family + " (" + drive.model + ")";
  drive.controllerManufacturer = intel ? "Intel Corporation" : "";
  drive.driverManufacturer = "Linux";
  drive.bootloader.clear();
  drive.powerGovernorMode.clear();
  drive.deviceStatus = "Healthy";
  DriverVersion(drive);
  Extra(out, Section::kDriveInfo, "Transport", transport);
  if (transport == "pcie") Extra(out, Section::kDriveInfo, "PCIAddress", address);
  else Extra(out, Section::kDriveInfo, "Address", address);

  const Contents contents = Scan(controller);
  const std::vector<std::string>& devices = contents.devices;
  std::string list;
  for (const std::string& device : devices) list += (list.empty() ? "" : ",") + ("/dev/" + device);
  Extra(out, Section::kDriveInfo, "Namespaces", list);
  drive.devicePath = devices.empty() ? "" : "/dev/" + devices.front();
  drive.physicalSize = drive.maximumLba = drive.nativeMaxLba = 0;
  if (!devices.empty()) {
    const fs::path block = controller.blocks / devices.front();
    int64_t sectors = 0;
    int64_t blockBytes = 0;
    if (ReadNumber(block / "size", sectors) &&
        ReadNumber(block / "queue" / "logical_block_size", blockBytes) && blockBytes > 0) {
      drive.physicalSize = static_cast<uint64_t>(sectors) * 512;
      drive.sectorSize = static_cast<uint64_t>(blockBytes);
      drive.nativeMaxLba = drive.physicalSize / drive.sectorSize;
      drive.maximumLba = drive.nativeMaxLba == 0 ? 0 : drive.nativeMaxLba - 1;
    }
  }
  int64_t maxMilli = 0;
  const fs::path& hwmon = contents.hwmon;
  if (!hwmon.empty() && ReadNumber(hwmon / "temp1_max", maxMilli))
    drive.tempThreshold = static_cast<uint64_t>(std::max<int64_t>(0, maxMilli / 1000));
  return true;
}

// What Identify adds to the identity: the format in use and the warning threshold. Without the
// capability the sysfs identity stands alone.
bool ReadIdentify(AdminChannel& admin, KernelDrive& out, KernelError& error) {
  std::vector<uint8_t> page;
  KernelError failure;
  if (!admin.Identify(kCnsController, 0, page, failure)) {
    if (failure.exitStatus == kExitPermission) return true;
    error = failure;
    return false;
  }
  IdentifyController controller;
  if (DecodeIdentifyController(page.data(), page.size(), controller) &&
      controller.warningTemperatureK != 0)
    out.drive.tempThreshold = static_cast<uint64_t>(KelvinToCelsius(controller.warningTemperatureK));
  if (!admin.Identify(kCnsNamespace, 1, page, failure)) return true;  // no namespace 1
  IdentifyNamespace ns;
  if (DecodeIdentifyNamespace(page.data(), page.size(), ns)) {
    out.drive.numLbaFormats = ns.formatCount;
    out.drive.lbaFormat = ns.formatIndex;
  }
  return true;
}

void FillSmartHealth(const SmartHealth& page, KernelDrive& out) {
  Drive& drive = out.drive;
  drive.criticalWarnings = page.criticalWarning;
  drive.spareBelowThreshold = (page.criticalWarning & kWarnSpare) != 0;
  drive.reliabilityDegraded = (page.criticalWarning & kWarnReliability) != 0;
  drive.readOnly = (page.criticalWarning & kWarnReadOnly) != 0;
  drive.volatileBackupFailed = (page.criticalWarning & kWarnVolatileBackup) != 0;
  drive.availableSpare = page.availableSpare;
  drive.availableSpareThreshold = page.availableSpareThreshold;
  drive.percentageUsed = page.percentageUsed;
  drive.dataUnitsRead = page.dataUnitsRead.Clamped();
  drive.dataUnitsWritten = page.dataUnitsWritten.Clamped();
  drive.powerOnHours = page.powerOnHours.Clamped();
  drive.mediaErrors = page.mediaErrors.Clamped();
  const Section s = Section::kSmartHealth;
  if (page.compositeTemperatureK != 0)
    Extra(out, s, "Temperature", int64_t{KelvinToCelsius(page.compositeTemperatureK)});
  Extra(out, s, "Power Cycles", HexCounter(page.powerCycles));
  Extra(out, s, "Unsafe Shutdowns", HexCounter(page.unsafeShutdowns));
  Extra(out, s, "Error Information Log Entries", HexCounter(page.errorLogEntries));
  Extra(out, s, "Warning Temperature Time", int64_t{page.warningTemperatureMinutes});
  Extra(out, s, "Critical Temperature Time", int64_t{page.criticalTemperatureMinutes});
}

// The SMART / Health page from the hwmon sensor alone: the composite temperature and its alarm
// (the temperature bit of the critical warnings); the other fields are not printed.
void FillFromHwmon(const Controller& controller, const KernelError& why, KernelDrive& out) {
  for (const FieldInfo& field : kDriveFields) {
    if (field.section == Section::kSmartHealth && std::strcmp(field.name, "criticalWarnings") != 0)
      out.unread.push_back(field.name);
  }
  const fs::path hwmon = Scan(controller).hwmon;
  int64_t milli = 0;
  int64_t alarm = 0;
  if (!hwmon.empty() && ReadNumber(hwmon / "temp1_alarm", alarm)) {
    out.drive.criticalWarnings = alarm != 0 ? kWarnTemperature : 0;
  } else {
    out.unread.push_back("criticalWarnings");
  }
  if (!hwmon.empty() && ReadNumber(hwmon / "temp1_input", milli))
    Extra(out, Section::kSmartHealth, "Temperature", milli / 1000);
  Extra(out, Section::kSmartHealth, "Not Readable", why.message);
}

bool ReadPage(const KernelOptions& options, const Controller& controller, Run run,
              KernelDrive& out, KernelError& error) {
  if (!ReadIdentity(controller, out, error)) return false;
  AdminChannel admin(options, controller);
  if (run == Run::kInventory || run == Run::kDriveInfo) return ReadIdentify(admin, out, error);

  std::vector<uint8_t> page;
  if (run == Run::kSmartHealth) {
    KernelError failure;
    SmartHealth health;
    if (admin.LogPage(kLogSmartHealth, page, failure)) {
      (void)DecodeSmartHealth(page.data(), page.size(), health);  // the page is whole
      FillSmartHealth(health, out);
      return true;
    }
    if (failure.exitStatus != kExitPermission) {
      error = failure;
      return false;
    }
    FillFromHwmon(controller, failure, out);
    return true;
  }
  if (run == Run::kTemperature) {
    TemperatureStatistics statistics;
    if (!admin.LogPage(kLogTemperatureStatistics, page, error)) return false;
    (void)DecodeTemperatureStatistics(page.data(), page.size(), statistics);
    out.drive.temperature = statistics.currentCelsius;
    out.drive.temperatureOffset = statistics.offsetCelsius;
    return true;
  }
  std::vector<SmartAttribute> attributes;
  if (!admin.LogPage(kLogSmartAttributes, page, error)) return false;
  (void)DecodeSmartAttributes(page.data(), page.size(), attributes);
  bool seenEA = false;
  bool seenAD = false;
  for (const SmartAttribute& attribute : attributes) {
    if (attribute.id == 0xEA) {
      out.drive.normalizedEA = attribute.normalized;
      seenEA = true;
    } else if (attribute.id == 0xAD) {
      out.drive.normalizedAD = attribute.normalized;
      seenAD = true;
    }
  }
  if (!seenEA) out.unread.push_back("normalizedEA");
  if (!seenAD) out.unread.push_back("normalizedAD");
  return true;
}

}  // namespace

bool ListKernelDrives(const KernelOptions& options, std::vector<KernelDrive>& drives,
                      KernelError& error) {
  drives.clear();
  const std::vector<Controller> controllers = Controllers(options);
  if (controllers.empty()) {
    error = {kExitNoController,
             "no NVMe controller under " + (fs::path(options.sysfsRoot) / "class/nvme").string()};
    return false;
  }
  for (const Controller& controller : controllers) {
    KernelDrive drive;
    if (!ReadPage(options, controller, Run::kInventory, drive, error)) return false;
    drives.push_back(std::move(drive));
  }
  return true;
}

bool ReadKernelDrive(const KernelOptions& options, int64_t index, Run run, KernelDrive& drive,
                     KernelError& error) {
  for (const Controller& controller : Controllers(options)) {
    if (controller.instance == index) return ReadPage(options, controller, run, drive, error);
  }
  error = {kExitNoController, ""};
  return false;
}

}  // namespace isdct
