#!/usr/bin/env bash
# The tool's kernel source against two emulated controllers, judged by nvme-cli in the same
# guest: identity and SMART values, a critical warning set over QMP and a temperature threshold
# below the controller's temperature, a controller removed while the guest runs, and the
# package's udev rule applied by the real udevd.
# Usage: tool-test.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=$build/nvme-vm/tool
export NVME_VM_SOURCE=$(cd "$here/../.." && pwd)
export NVME_VM_BUILD=$build NVME_VM_CACHE=${NVME_VM_CACHE:-$build/nvme-vm/cache}

host_steps=$(mktemp)
trap 'rm -f "$host_steps"' EXIT
cat >"$host_steps" <<'STEPS'
wait_ready warn || return 1
qmp '{"execute":"qom-set","arguments":{"path":"/machine/peripheral/nvme0","property":"smart_critical_warning","value":4}}'
sleep 1; go warn
wait_ready remove || return 1
qmp '{"execute":"device_del","arguments":{"id":"nvme1"}}'
go remove
STEPS
"$here/run-guest.sh" "$host_steps" "$here/tool-guest.sh" "$out" \
  -device pcie-root-port,id=port1,chassis=1 -device pcie-root-port,id=port2,chassis=2 \
  -blockdev driver=null-co,node-name=disk0,size=1073741824 \
  -device nvme,id=nvme0,serial=VNK0001,use-intel-id=on,bus=port1,drive=disk0 \
  -device nvme,id=nvme1,serial=VNK0002,use-intel-id=on,bus=port2
status=$?
[ "$status" -eq 0 ] || exit "$status"
. "$here/checks.sh"

for i in 0 1; do
  inv=".[] | select(.Index == $i)"
  check "nvme$i answers" "smart$i 0" "$(grep "^smart$i " "$out/status-before")"
  check "nvme$i serial" "$(field nvme-id$i.json '.sn | sub(" +$"; "")')" \
    "$(field inventory-before.json "$inv | .SerialNumber")"
  check "nvme$i model" "$(field nvme-id$i.json '.mn | sub(" +$"; "")')" \
    "$(field inventory-before.json "$inv | .ModelNumber")"
  check "nvme$i firmware" "$(field nvme-id$i.json '.fr | sub(" +$"; "")')" \
    "$(field inventory-before.json "$inv | .Firmware")"
  check "nvme$i PCI address" "$(cat "$out/pci$i")" "$(field inventory-before.json "$inv | .PCIAddress")"
  check "nvme$i temperature (nvme-cli kelvin less 273)" \
    "$(($(field nvme-smart$i-before.json .temperature) - 273))" \
    "$(field smart$i-before.json '.[] | .Temperature')"
  check "nvme$i critical warning before" "$(field nvme-smart$i-before.json .critical_warning)" \
    "$(field smart$i-before.json '.[] | ."Critical Warnings"')"
done
check "namespace block device of nvme0" /dev/nvme0n1 "$(field inventory-before.json ".[] | select(.Index == 0) | .DevicePath")"
check "emulated temperature" 50 "$(field smart0-before.json '.[] | .Temperature')"
check "QMP reliability bit on nvme0" 4 "$(field smart0-warn.json '.[] | ."Critical Warnings"')"
check "reliability flag on nvme0" true "$(field smart0-warn.json '.[] | ."Device reliability has degraded"')"
check "nvme-cli agrees on nvme0" 4 "$(field nvme-smart0-warn.json .critical_warning)"
check "threshold below 323 K sets nvme1's temperature bit" 2 \
  "$(field smart1-warn.json '.[] | ."Critical Warnings"')"
check "removed controller left the inventory" "0" "$(field inventory-removed.json '[.[] | .Index] | join(",")')"
check "the other keeps its answers" "smart0 0" "$(grep "^smart0 " "$out/status-removed")"
check "removed index is no device" "no" "$( [ -e "$out/smart1-removed.json" ] && echo yes || echo no)"
if grep -q '^skipped' "$out/udev.txt"; then
  echo "NOTE: udev rule not checked: $(cat "$out/udev.txt")"
else
  check "udev rule: controller device" "/dev/nvme0 varnock-nvme 640" "$(sed -n 1p "$out/udev.txt")"
  check "udev rule: block device untouched" "/dev/nvme0n1 disk 660" "$(sed -n 2p "$out/udev.txt")"
fi
finish "tool side"
