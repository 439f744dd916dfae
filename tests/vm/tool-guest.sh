# Guest side of the tool test: the kernel source's answers and nvme-cli's, before and after the
# host changes the emulated controllers. Sourced by nothing; runs as the guest's first process.
out=$1
. "$out/guest.env"
export ISDCT_SOURCE=kernel
isdct=$NVME_VM_BUILD/tools/isdct/isdct.exe

# Waits for the host's NAME.go after saying NAME.ready (bounded: the host's limit ends the guest).
step() { : >"$out/$1.ready"; n=0; while [ ! -e "$out/$1.go" ] && [ $n -lt 1500 ]; do sleep 0.1; n=$((n+1)); done; }
answers() {
  "$isdct" show -all -o json -vedidevu >"$out/inventory-$1.json"; echo "inventory $?" >>"$out/status-$1"
  for i in 0 1; do
    [ -e /dev/nvme$i ] || continue
    "$isdct" show -o json -vedidevu $i -nvmelog SmartHealthInfo >"$out/smart$i-$1.json"
    echo "smart$i $?" >>"$out/status-$1"
    nvme smart-log /dev/nvme$i -o json >"$out/nvme-smart$i-$1.json"
  done
}

# The package's udev rule applied by the real udevd: the controllers' character devices go to
# the group varnock-nvme with mode 0640, after Debian's own rules; the block devices keep theirs.
udev_rule() {
  udevd=/lib/systemd/systemd-udevd
  if [ ! -x "$udevd" ]; then echo "skipped: $udevd is not installed" >"$out/udev.txt"; return; fi
  export SYSTEMD_IGNORE_CHROOT=1  # the guest script runs chrooted into the host's root
  mkdir -p /run/udev/rules.d
  cp "$NVME_VM_SOURCE/packaging/60-varnock-nvme.rules" /run/udev/rules.d/
  { cat /etc/group; echo "varnock-nvme:x:990:"; } >/run/group && mount --bind /run/group /etc/group
  "$udevd" --daemon >"$out/udevd.log" 2>&1 &&
    udevadm trigger --action=add --subsystem-match=nvme --subsystem-match=block &&
    udevadm settle --timeout=30
  stat -c '%n %G %a' /dev/nvme0 /dev/nvme0n1 >"$out/udev.txt"
  udevadm control --exit
  umount /etc/group
}
udev_rule

for i in 0 1; do nvme id-ctrl /dev/nvme$i -o json >"$out/nvme-id$i.json"; done
cat /sys/class/nvme/nvme0/address >"$out/pci0"; cat /sys/class/nvme/nvme1/address >"$out/pci1"
# The pages as the controller answers them, for the decoder's fixtures.
nvme id-ctrl /dev/nvme0 -b >"$out/id-ctrl.bin"
nvme id-ns /dev/nvme0 -n 1 -b >"$out/id-ns.bin"
nvme get-log /dev/nvme0 --log-id=2 --log-len=512 -b >"$out/smart-log.bin"
answers before

# A temperature threshold below the controller's constant 323 K raises the temperature bit.
nvme set-feature /dev/nvme1 -f 4 -v 300 >"$out/set-feature.log" 2>&1
step warn
answers warn

step remove
n=0; while [ -e /sys/class/nvme/nvme1 ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n+1)); done
answers removed
