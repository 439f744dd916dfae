// The kernel source where the kernel has no NVMe admin pass-through of Linux's kind (Windows):
// every run says so and exits as for a machine without controllers.
#include "KernelSource.h"

namespace isdct {
namespace {

bool Unavailable(KernelError& error) {
  error.exitStatus = kExitNoController;
  error.message = "source=kernel reads Linux's NVMe interface; this system has none";
  return false;
}

}  // namespace

bool ListKernelDrives(const KernelOptions&, std::vector<KernelDrive>&, KernelError& error) {
  return Unavailable(error);
}

bool ReadKernelDrive(const KernelOptions&, int64_t, Run, KernelDrive&, KernelError& error) {
  return Unavailable(error);
}

}  // namespace isdct
