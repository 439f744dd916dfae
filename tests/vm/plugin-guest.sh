# Guest side of the plug-in test: the kernel's NVMe-oF target on the loopback makes a real
# /dev/nvmeX with a model the plug-in serves; the shell serves it, then the drive goes away.
out=$1
. "$out/guest.env"
build=$NVME_VM_BUILD
log() { echo "== $*"; }

busybox ip link set lo up
target=/sys/kernel/config/nvmet
subsystem=$target/subsystems/varnock-vm
mkdir "$subsystem"
echo 1 >"$subsystem/attr_allow_any_host"
echo "INTEL SSDPE2KX010T8" >"$subsystem/attr_model"
echo PHLJ915000VM1P0FGN >"$subsystem/attr_serial"
mkdir "$subsystem/namespaces/1"
truncate -s 64M /tmp/disk.img
echo /tmp/disk.img >"$subsystem/namespaces/1/device_path"
echo 1 >"$subsystem/namespaces/1/buffered_io"
echo 1 >"$subsystem/namespaces/1/enable"
mkdir "$target/ports/1"
echo tcp >"$target/ports/1/addr_trtype"; echo ipv4 >"$target/ports/1/addr_adrfam"
echo 127.0.0.1 >"$target/ports/1/addr_traddr"; echo 4420 >"$target/ports/1/addr_trsvcid"
ln -s "$subsystem" "$target/ports/1/subsystems/varnock-vm"
nvme connect -t tcp -a 127.0.0.1 -s 4420 -n varnock-vm \
  -q nqn.2014-08.org.nvmexpress:uuid:00000000-0000-0000-0000-000000000001 || exit 10
n=0; while [ ! -e /dev/nvme0 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n+1)); done
nvme smart-log /dev/nvme0 -o json >"$out/nvme-smart.json"
nvme id-ctrl /dev/nvme0 -o json >"$out/nvme-id.json"

# A home whose PCI tree holds one NVMe function of the maker, and the tool stand-in beside a
# settings file that chooses the kernel source.
home=/tmp/home
mkdir -p "$home/bin" "$home/pci/0000:03:00.0"
echo 0x8086 >"$home/pci/0000:03:00.0/vendor"; echo 0x0953 >"$home/pci/0000:03:00.0/device"
cp "$build/tools/isdct/isdct.exe" "$home/bin/isdct.exe"
echo source=kernel >"$home/bin/isdct.ini"
echo PollInterval=2 >"$home/Varnock.ini"
echo IntelPCIeTopologyRefreshRate=2000 >"$home/CustomOpts.ini"
"$home/bin/isdct.exe" show -all -o json -vedidevu >"$out/inventory.json"
"$home/bin/isdct.exe" show -o json -vedidevu 0 -nvmelog SmartHealthInfo >"$out/smart.json"

"$build/tools/host/varnock-host" --home "$home" serve --listen 127.0.0.1:9586 >"$out/serve.log" 2>&1 &
serve=$!
scrape() {  # scrape NAME: /metrics once the drive is there, or after 60 s
  n=0
  while [ $n -lt 300 ]; do
    busybox wget -q -O "$out/metrics-$1.txt" http://127.0.0.1:9586/metrics && grep -q "$2" "$out/metrics-$1.txt" && return 0
    sleep 0.2; n=$((n+1))
  done
  return 1
}
scrape present 'serial="PHLJ915000VM1P0FGN"'
log "drive gone"
nvme disconnect -n varnock-vm
scrape gone '^varnock_drives 0'
busybox wget -q -O "$out/events.json" http://127.0.0.1:9586/api/events
kill "$serve"; wait "$serve"
echo "serve $?" >"$out/serve.status"
