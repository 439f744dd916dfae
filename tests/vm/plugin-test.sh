#!/usr/bin/env bash
# The plug-in on a real kernel NVMe device: the NVMe-oF target on the guest's loopback makes
# /dev/nvme0 with a model the plug-in serves; `varnock-host serve` shows it on /metrics with the
# values nvme-cli reads, and its going away (nvme disconnect) raises the plug-in's event. The
# target's SMART page is all zeros and cannot be changed, so a critical warning is shown on the
# emulated PCIe controllers (tool-test.sh), whose model the plug-in does not serve.
# Usage: plugin-test.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=$build/nvme-vm/plugin
export NVME_VM_BUILD=$build NVME_VM_CACHE=${NVME_VM_CACHE:-$build/nvme-vm/cache}
"$here/run-guest.sh" - "$here/plugin-guest.sh" "$out" || exit $?
. "$here/checks.sh"

serial=$(field nvme-id.json '.sn | sub(" +$"; "")')
labels="serial=\"$serial\",model=\"SSDPE2KX010T8\",pci=\"0000:03:00.0\",device=\"nvme0n1\""
sample() { sed -n "s/^$2{$labels} //p" "$out/$1"; }
check "target serial" PHLJ915000VM1P0FGN "$serial"
check "one drive served" 1 "$(sed -n 's/^varnock_drives //p' "$out/metrics-present.txt")"
check "its identity" 1 "$(sed -n "s/^varnock_nvme_info{$labels,firmware=\"$(field nvme-id.json '.fr | sub(" +$"; "")')\"} //p" \
  "$out/metrics-present.txt")"
check "critical warning as nvme-cli reads it" "$(field nvme-smart.json .critical_warning)" \
  "$(sample metrics-present.txt varnock_nvme_critical_warning)"
check "spare as nvme-cli reads it" "$(field nvme-smart.json .avail_spare)" \
  "$(sample metrics-present.txt varnock_nvme_available_spare_ratio)"
check "0 K is no temperature sample" "" "$(sample metrics-present.txt varnock_nvme_temperature_celsius)"
check "status OK" 1 "$(sed -n "s/^varnock_nvme_status{$labels,state=\"OK\"} //p" "$out/metrics-present.txt")"
check "no drive once disconnected" 0 "$(sed -n 's/^varnock_drives //p' "$out/metrics-gone.txt")"
check "its event names it" "11094 $serial Adapter missing" \
  "$(field events.json '.events[] | select(.code == 11094) | "\(.code) \(.serial) \(.message)"')"
check "the shell shut down cleanly" "serve 0" "$(cat "$out/serve.status")"
finish "plug-in side"
