#include "KernelSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "NvmePages.h"

namespace isdct {

namespace {

constexpr uint8_t kAdminGetLogPage = 0x02;
constexpr uint8_t kAdminIdentify = 0x06;
constexpr uint32_t kCnsNamespace = 0x00;
constexpr uint32_t kCnsController = 0x01;
constexpr uint32_t kAllNamespaces = 0xFFFFFFFF;
constexpr uint32_t kStatusHostAborted = 0x371;
constexpr int64_t kMaxInstance = 999999;  // six digits, as the names are read

constexpr const char* kNeedsCapability =
    "the admin pass-through needs CAP_SYS_ADMIN in the initial user namespace (CAP_SYS_RAWIO "
    "does not do; root in a rootless container does not count)";

// `name` below the folder `dir`, with one separator between them.
std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The first line of a small file at `path` (relative to the directory `dirFd`), trailing blanks
// cut. Plain open and read: a stream costs more to set up than the read itself. When it cannot
// be read, `missing` says whether the file does not exist.
bool ReadTextAt(int dirFd, const char* path, std::string& text, bool* missing = nullptr) {
  const int fd = openat(dirFd, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (missing != nullptr) *missing = errno == ENOENT || errno == ENOTDIR;
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
  }
  close(fd);
  if (missing != nullptr) *missing = false;
  if (n < 0) return false;
  text.assign(buffer, static_cast<size_t>(n));
  text.erase(std::min(text.find('\n'), text.size()));
  const size_t end = text.find_last_not_of(" \t\r");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return true;
}

bool ParseNumber(const std::string& text, int64_t& number) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  number = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

bool ReadNumberAt(int dirFd, const char* path, int64_t& number) {
  std::string text;
  return ReadTextAt(dirFd, path, text) && ParseNumber(text, number);
}

// An open sysfs directory. Its files are opened relative to it, so that a run walks a
// controller's path (in sysfs a symlink into the device tree) once, not once per file.
class Directory {
 public:
  Directory(int parentFd, const std::string& path)
      : fd_(openat(parentFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~Directory() {
    if (fd_ >= 0) close(fd_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Calls `visit` with the name of each entry but "." and "..", in directory order. The
  // directory is read once: a second call sees nothing.
  template <typename Visit>
  void ForEachName(Visit visit) const {
    if (fd_ < 0) return;
    alignas(dirent64) char buffer[8192];
    ssize_t n;
    while ((n = getdents64(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) visit(name);
      }
    }
  }

  // The directory's fd is -1 when it did not open: openat then fails with EBADF.
  bool ReadText(const std::string& path, std::string& text, bool* missing = nullptr) const {
    return ReadTextAt(fd_, path.c_str(), text, missing);
  }
  bool ReadNumber(const std::string& path, int64_t& number) const {
    return ReadNumberAt(fd_, path.c_str(), number);
  }
  bool Has(const std::string& path) const {
    return faccessat(fd_, path.c_str(), F_OK, 0) == 0;
  }

 private:
  const int fd_;
};

// One controller of the run.
struct Controller {
  int instance = 0;
  std::string name;  // "nvme3"
};

// "nvme12" -> 12; -1 for names of other kinds (nvme-fabrics, nvme0n1 ...).
int Instance(const char* name) {
  if (std::strncmp(name, "nvme", 4) != 0) return -1;
  const char* digits = name + 4;
  const size_t count = std::strlen(digits);
  if (count == 0 || count > 6 || std::strspn(digits, "0123456789") != count) return -1;
  return std::atoi(digits);
}

// The controllers of the class directory, in instance order.
std::vector<Controller> Controllers(const Directory& nvmeClass) {
  std::vector<Controller> controllers;
  nvmeClass.ForEachName([&](const char* name) {
    const int instance = Instance(name);
    if (instance >= 0) controllers.push_back(Controller{instance, name});
  });
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

bool IsHwmonName(const char* name) { return std::strncmp(name, "hwmon", 5) == 0; }

// What the controller's sysfs directory holds that a run reads, found in one pass over it.
struct Contents {
  // The block devices of the controller's namespaces, in namespace order: "nvme0n1", or for a
  // path of a multipath namespace ("nvme1c2n1") the namespace's device "nvme1n1". Parsed by
  // hand: a regular expression costs more to build than the rest of a run.
  std::vector<std::string> devices;
  // Its hwmon directories, in directory order: where the kernel's own sensor is, which gives
  // the composite temperature without any capability.
  std::vector<std::string> hwmons;
};

Contents Scan(const Directory& dir) {
  Contents contents;
  std::vector<std::pair<long, std::string>> found;
  dir.ForEachName([&](const char* name) {
    std::string instance, ns;
    if (NamespaceName(name, instance, ns))
      found.emplace_back(std::atol(ns.c_str()), "nvme" + instance + "n" + ns);
    else if (IsHwmonName(name))
      contents.hwmons.emplace_back(name);
  });
  std::sort(found.begin(), found.end());
  for (const auto& [number, device] : found) contents.devices.push_back(device);
  return contents;
}

// Reads `file` of the controller's sensor: the first hwmon directory that has temp1_input, in
// the controller's directory or else under its device's hwmon directory. A directory whose
// `file` opens is taken at once (temp1_input is asked after only when `file` is missing).
// `sensor` is its path below the controller's directory, or empty when there is none.
bool ReadSensor(const Directory& dir, const Contents& contents, const char* file, int64_t& value,
                std::string& sensor) {
  // 1: the sensor, `file` read; 0: the sensor, `file` not readable; -1: not the sensor.
  const auto probe = [&](const std::string& hwmon) {
    std::string text;
    bool missing = false;
    if (dir.ReadText(hwmon + "/" + file, text, &missing) || !missing) {
      sensor = hwmon;
      return missing || !ParseNumber(text, value) ? 0 : 1;
    }
    if (!dir.Has(hwmon + "/temp1_input")) return -1;
    sensor = hwmon;
    return 0;
  };
  sensor.clear();
  for (const std::string& hwmon : contents.hwmons) {
    if (const int found = probe(hwmon); found >= 0) return found == 1;
  }
  std::vector<std::string> under;
  Directory(dir.fd(), "device/hwmon").ForEachName([&](const char* name) {
    if (IsHwmonName(name)) under.push_back(std::string("device/hwmon/") + name);
  });
  for (const std::string& hwmon : under) {
    if (const int found = probe(hwmon); found >= 0) return found == 1;
  }
  return false;
}

// One open character device of a controller and its admin commands.
class AdminChannel {
 public:
  AdminChannel(const KernelOptions& options, const Controller& controller)
      : controller_(controller), timeoutMs_(options.timeoutMs) {
    path_ = Join(options.devRoot, controller.name);
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

// The rest of the identity from sysfs, which needs no capability (the serial is read already).
// The vendor file is read only when the model does not name the maker.
void ReadIdentity(const KernelOptions& options, const Directory& dir, const Contents& contents,
                  KernelDrive& out) {
  Drive& drive = out.drive;
  dir.ReadText("model", drive.model);
  dir.ReadText("firmware_rev", drive.firmware);
  std::string transport;
  std::string address;
  dir.ReadText("transport", transport);
  dir.ReadText("address", address);
  bool intel = drive.model.compare(0, 6, "INTEL ") == 0;
  std::string vendor;
  if (!intel && dir.ReadText("device/vendor", vendor)) intel = vendor == "0x8086";
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

  const std::vector<std::string>& devices = contents.devices;
  std::string list;
  for (const std::string& device : devices) list += (list.empty() ? "" : ",") + ("/dev/" + device);
  Extra(out, Section::kDriveInfo, "Namespaces", list);
  drive.devicePath = devices.empty() ? "" : "/dev/" + devices.front();
  drive.physicalSize = drive.maximumLba = drive.nativeMaxLba = 0;
  if (!devices.empty()) {
    const std::string block = Join(Join(options.sysfsRoot, "class/block"), devices.front());
    int64_t sectors = 0;
    int64_t blockBytes = 0;
    if (ReadNumberAt(AT_FDCWD, (block + "/size").c_str(), sectors) &&
        ReadNumberAt(AT_FDCWD, (block + "/queue/logical_block_size").c_str(), blockBytes) &&
        blockBytes > 0) {
      drive.physicalSize = static_cast<uint64_t>(sectors) * 512;
      drive.sectorSize = static_cast<uint64_t>(blockBytes);
      drive.nativeMaxLba = drive.physicalSize / drive.sectorSize;
      drive.maximumLba = drive.nativeMaxLba == 0 ? 0 : drive.nativeMaxLba - 1;
    }
  }
}

// What Identify adds to the identity: the format in use and the warning threshold (`threshold`
// says whether it gave one). Without the capability the sysfs identity stands alone.
bool ReadIdentify(AdminChannel& admin, KernelDrive& out, bool& threshold, KernelError& error) {
  std::vector<uint8_t> page;
  KernelError failure;
  if (!admin.Identify(kCnsController, 0, page, failure)) {
    if (failure.exitStatus == kExitPermission) return true;
    error = failure;
    return false;
  }
  IdentifyController controller;
  if (DecodeIdentifyController(page.data(), page.size(), controller) &&
      controller.warningTemperatureK != 0) {
    out.drive.tempThreshold = static_cast<uint64_t>(KelvinToCelsius(controller.warningTemperatureK));
    threshold = true;
  }
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
void FillFromHwmon(const Directory& dir, const KernelError& why, KernelDrive& out) {
  for (const FieldInfo& field : kDriveFields) {
    if (field.section == Section::kSmartHealth && std::strcmp(field.name, "criticalWarnings") != 0)
      out.unread.push_back(field.name);
  }
  std::string sensor;
  int64_t milli = 0;
  int64_t alarm = 0;
  const bool input = ReadSensor(dir, Scan(dir), "temp1_input", milli, sensor);
  if (!sensor.empty() && dir.ReadNumber(sensor + "/temp1_alarm", alarm)) {
    out.drive.criticalWarnings = alarm != 0 ? kWarnTemperature : 0;
  } else {
    out.unread.push_back("criticalWarnings");
  }
  if (input) Extra(out, Section::kSmartHealth, "Temperature", milli / 1000);
  Extra(out, Section::kSmartHealth, "Not Readable", why.message);
}

// The answer of `run` for the controller whose sysfs directory is `dir`. A page needs no more
// of the identity than the serial, which names its section.
bool ReadPage(const KernelOptions& options, const Controller& controller, const Directory& dir,
              Run run, KernelDrive& out, KernelError& error) {
  out.drive.index = controller.instance;
  if (!dir.ReadText("serial", out.drive.serial)) {
    error = Gone(controller, "its sysfs entry vanished");
    return false;
  }
  if (run == Run::kInventory || run == Run::kDriveInfo) {
    const Contents contents = Scan(dir);
    ReadIdentity(options, dir, contents, out);
    AdminChannel admin(options, controller);
    bool threshold = false;
    if (!ReadIdentify(admin, out, threshold, error)) return false;
    // The sensor's limit is the kernel's reading of the same threshold: asked only without it.
    int64_t maxMilli = 0;
    std::string sensor;
    if (!threshold && ReadSensor(dir, contents, "temp1_max", maxMilli, sensor))
      out.drive.tempThreshold = static_cast<uint64_t>(std::max<int64_t>(0, maxMilli / 1000));
    return true;
  }
  AdminChannel admin(options, controller);

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
    FillFromHwmon(dir, failure, out);
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
  const std::string where = Join(options.sysfsRoot, "class/nvme");
  const Directory nvmeClass(AT_FDCWD, where);
  const std::vector<Controller> controllers = Controllers(nvmeClass);
  if (controllers.empty()) {
    error = {kExitNoController, "no NVMe controller under " + where};
    return false;
  }
  for (const Controller& controller : controllers) {
    KernelDrive drive;
    const Directory dir(nvmeClass.fd(), controller.name);
    if (!ReadPage(options, controller, dir, Run::kInventory, drive, error)) return false;
    drives.push_back(std::move(drive));
  }
  return true;
}

bool ReadKernelDrive(const KernelOptions& options, int64_t index, Run run, KernelDrive& drive,
                     KernelError& error) {
  // The controller's directory is opened by its name: no scan of the class for one drive.
  if (index >= 0 && index <= kMaxInstance) {
    const Controller controller{static_cast<int>(index), "nvme" + std::to_string(index)};
    const Directory dir(AT_FDCWD, Join(Join(options.sysfsRoot, "class/nvme"), controller.name));
    if (dir.IsOpen()) return ReadPage(options, controller, dir, run, drive, error);
  }
  error = {kExitNoController, ""};
  return false;
}

}  // namespace isdct
