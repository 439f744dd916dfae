#!/usr/bin/env bash
# Boots Debian's kernel under QEMU (TCG, no network card) with NVMe controllers and runs a guest
# script against them. The guest sees this machine's root read-only over 9p and the output
# directory writable at the same path, so the build tree's binaries and nvme-cli run unchanged.
# The host side of a scenario (QMP commands while the guest runs) meets the guest through files
# in the output directory: the guest writes NAME.ready and waits for NAME.go.
#
# Usage: run-guest.sh SCENARIO_HOST_SCRIPT GUEST_SCRIPT OUTDIR [QEMU device options...]
# Exit: the guest script's status; 77 when QEMU cannot run here at all; 124 on a hang.
set -euo pipefail

host_script=$1 guest_script=$2 out=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
cache=${NVME_VM_CACHE:-$(dirname "$out")/vm-cache}
limit=${NVME_VM_LIMIT_S:-140}  # a hang, not slowness: a run takes about 30 s here

skip() { echo "SKIP: $*"; exit 77; }
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (scripts/setup.sh --tests installs it)"
[ -x /bin/busybox ] || skip "busybox-static is not installed"
for tool in cpio modprobe dpkg-deb nvme; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup.sh --tests installs it)"
done

rm -rf "$out" && mkdir -p "$out" "$cache"
out=$(cd "$out" && pwd)
# What the guest script needs of this side: every NVME_VM_* variable.
env | grep '^NVME_VM_' | sed 's/^/export /' >"$out/guest.env" || true

# Debian's kernel of the version apt offers, unpacked once into the cache.
debian_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/.*Depends: linux-image-\([0-9][^ ]*-amd64\)$/\1/p' | head -1
}
kernel_root() {
  local version
  version=$(debian_kernel)
  [ -n "$version" ] || [ -d "$cache/root/lib/modules" ] || { apt-get update -qq >&2; version=$(debian_kernel); }
  [ -n "$version" ] || version=$(ls "$cache"/root/lib/modules 2>/dev/null | sort -V | tail -1)
  [ -n "$version" ] || { echo "no Debian kernel version known (apt-get update?)" >&2; return 1; }
  if [ ! -f "$cache/root/boot/vmlinuz-$version" ]; then
    (cd "$cache" && rm -f linux-image-*.deb && apt-get download -q -o APT::Sandbox::User=root "linux-image-$version" >&2 &&
     dpkg-deb -x linux-image-"$version"_*.deb root && rm -f linux-image-*.deb) || return 1
    depmod -b "$cache/root" "$version"
  fi
  echo "$version"
}
version=$(kernel_root) || { echo "Debian's kernel image could not be fetched" >&2; exit 1; }
modules="$cache/root/lib/modules/$version"

# The initramfs: busybox as init, the modules in dependency order.
initrd="$cache/initrd-$version.cpio"
if [ ! -f "$initrd" ] || [ "$here/run-guest.sh" -nt "$initrd" ]; then
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  mkdir -p "$stage"/{bin,proc,sys,dev,host,out,lib/modules}
  cp /bin/busybox "$stage/bin/"
  : >"$stage/modules"
  for module in virtio_pci 9pnet_virtio 9p nvme nvme-tcp nvmet nvmet-tcp; do
    modprobe -d "$cache/root" -S "$version" --show-depends "$module" |
      awk '$1 == "insmod" { print $2 }' | while read -r path; do
        grep -qxF "/lib/modules/${path#"$modules"/}" "$stage/modules" && continue
        mkdir -p "$stage/lib/modules/$(dirname "${path#"$modules"/}")"
        cp "$path" "$stage/lib/modules/${path#"$modules"/}"
        echo "/lib/modules/${path#"$modules"/}" >>"$stage/modules"
      done
  done
  cat >"$stage/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
while read -r module; do insmod "$module" 2>/dev/null; done </modules
set -- $(cat /proc/cmdline)
for word; do case $word in vm.out=*) out=${word#vm.out=};; vm.script=*) script=${word#vm.script=};; esac; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro host /host
mkdir -p /out; mount -t 9p -o trans=virtio,version=9p2000.L out /out
for dir in proc sys dev; do mount --bind "/$dir" "/host/$dir"; done
mount -t tmpfs tmp /host/tmp; mount -t tmpfs run /host/run
mkdir -p "/host$out" 2>/dev/null; mount --bind /out "/host$out"
mount -t configfs configfs /host/sys/kernel/config
chroot /host /bin/sh -c "cd /tmp && sh '$script' '$out' >'$out/guest.log' 2>&1; echo \$? >'$out/guest.status'"
sync; poweroff -f
INIT
  chmod +x "$stage/init"
  (cd "$stage" && find . | cpio -o -H newc --quiet) >"$initrd.tmp" && mv "$initrd.tmp" "$initrd"
  rm -rf "$stage"
  trap - EXIT
fi

# QEMU with QMP on its standard input (a FIFO the host script writes to) and the serial console in
# a file; killed on every way out of this script.
mkfifo "$out/qmp.in"
qemu_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null; sleep 1; kill -9 "$qemu_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 143' INT TERM
qemu-system-x86_64 -machine q35,accel=tcg -cpu max -smp 1 -m 768 -nodefaults -no-reboot \
  -display none -nic none -serial "file:$out/console.log" -qmp stdio \
  -kernel "$cache/root/boot/vmlinuz-$version" -initrd "$initrd" \
  -append "console=ttyS0 panic=-1 quiet vm.out=$out vm.script=$guest_script" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$out",mount_tag=out,security_model=none \
  "$@" <"$out/qmp.in" >"$out/qmp.out" 2>"$out/qemu.err" &
qemu_pid=$!
exec 3>"$out/qmp.in"
echo '{"execute":"qmp_capabilities"}' >&3

# QMP for the host script: qmp JSON-ARGUMENTS-OF-EXECUTE.
qmp() { echo "$1" >&3; }
# Waits for the guest's NAME.ready; false when QEMU ended first or the limit passed.
wait_ready() {
  while [ ! -e "$out/$1.ready" ]; do
    kill -0 "$qemu_pid" 2>/dev/null || return 1
    [ "$SECONDS" -lt "$limit" ] || return 1
    sleep 0.2
  done
}
go() { : >"$out/$1.go"; }
export -f qmp wait_ready go 2>/dev/null || true

SECONDS=0
status=0
if [ -n "$host_script" ] && [ "$host_script" != - ]; then
  # shellcheck source=/dev/null
  . "$host_script" || status=$?
fi
while kill -0 "$qemu_pid" 2>/dev/null && [ "$SECONDS" -lt "$limit" ]; do sleep 0.2; done
if kill -0 "$qemu_pid" 2>/dev/null; then
  echo "the guest did not end within ${limit} s; console:" >&2
  tail -20 "$out/console.log" >&2
  exit 124
fi
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=
if [ ! -f "$out/guest.status" ]; then
  if grep -q "could not\|failed to initialize\|Could not access KVM" "$out/qemu.err" 2>/dev/null &&
     [ ! -s "$out/console.log" ]; then
    skip "QEMU cannot run here: $(head -1 "$out/qemu.err")"
  fi
  echo "the guest ended without running its script; console:" >&2
  tail -30 "$out/console.log" >&2; cat "$out/qemu.err" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
exit "$(cat "$out/guest.status")"
