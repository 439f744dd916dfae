#!/usr/bin/env bash
# Installs into a scratch root and runs what was installed: `--version` and `serve` on a copy of
# the demo home, scraped once. Then packages the build as a .deb, reads it back with dpkg-deb,
# installs it with dpkg into a second scratch root, runs its shell, and purges it. Nothing
# touches the machine's own root.
# Usage: install_test.sh BUILD_DIR DEMO_HOME
set -euo pipefail
. "$(dirname "$0")/lib.sh"
build=$1 demo_home=$2

# check_tree ROOT: the installed layout, a shell that finds its own plug-in and libraries
# (none from the build tree), and a unit that runs the installed shell.
check_tree() {
  local root=$1 file version
  for file in bin/varnock-host lib/varnock/libVarnock.so lib/varnock/libzkKVL.so \
              lib/varnock/libzkPI.so lib/varnock/libzkDB.so lib/varnock/isdct.exe \
              share/man/man1/varnock-host.1 lib/systemd/system/varnock-host.service \
              share/varnock/varnock.rules.yml share/varnock/grafana-dashboard.json \
              share/varnock/kernel-source.conf lib/udev/rules.d/60-varnock-nvme.rules; do
    [ -f "$root/usr/$file" ] || fail "$root: /usr/$file is not installed"
  done
  version=$("$root/usr/bin/varnock-host" --version) || fail "--version exits $?: $version"
  [[ $version == *"varnock-host 7.20.0"*"plug-in 7.20.0 ($root/usr/lib/varnock/libVarnock.so)"* ]] ||
    fail "--version printed: $version"
  if ldd "$root/usr/bin/varnock-host" "$root/usr/lib/varnock/libVarnock.so" |
     grep -E "not found|$build"; then
    fail "installed programs use libraries outside their tree"
  fi
  grep -qx "ExecStart=/usr/bin/varnock-host --home /var/lib/varnock \$VARNOCK_OPTIONS serve --listen \${VARNOCK_LISTEN}" \
    "$root/usr/lib/systemd/system/varnock-host.service" || fail "the unit does not run the installed shell"
}

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >"$work/install.log" ||
  fail "cmake --install: $(cat "$work/install.log")"
check_tree "$work/root"

# The installed shell serves the demo home; one scrape shows the drives and the build.
copy_demo_home "$demo_home" "$work/home"
start_serve "$work/root/usr/bin/varnock-host" "$work/home" "$work/serve.out" ||
  fail "the installed shell does not serve"
metrics=$(http_get "$port" /metrics)
grep -q '^varnock_up 1$' <<<"$metrics" || fail "varnock_up is not 1: $metrics"
grep -q '^varnock_drives 4$' <<<"$metrics" || fail "not 4 drives"
grep -q '^varnock_build_info{version="7.20.0",plugin_version="7.20.0",commit="\([0-9a-f]\{12\}\|unknown\)"} 1$' \
  <<<"$metrics" || fail "no build info: $(grep build_info <<<"$metrics")"

# The package: its control data, its files, and its tree unpacked.
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) ||
  fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/package/varnock_7.20.0_*.deb)
info=$(dpkg-deb --info "$deb")
for field in "Package: varnock" "Version: 7.20.0" "Depends: .*libsqlite3-0" "Section: admin"; do
  grep -q "^ $field" <<<"$info" || fail "control has no \"$field\": $info"
done
contents=$(dpkg-deb --contents "$deb")
grep -q ' ./usr/lib/systemd/system/varnock-host.service$' <<<"$contents" || fail "no unit in the package"
if grep -E ' ./(etc|var|usr/local)/' <<<"$contents"; then fail "files outside /usr"; fi
# Installed by dpkg into a root of its own (the maintainer scripts leave the running system
# alone there), it runs; a purge leaves nothing but dpkg's own records.
root="$work/dpkg-root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() {
  dpkg --root="$root" --admindir="$root/var/lib/dpkg" --force-script-chrootless \
    --force-depends --force-not-root --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1 ||
    fail "dpkg $*: $(cat "$work/dpkg.log")"
}
dpkg_root -i "$deb"
check_tree "$root"
mkdir -p "$root/var/lib/varnock" && touch "$root/var/lib/varnock/host.db"
dpkg_root --purge varnock
left=$(cd "$root" && find . -path ./var/lib/dpkg -prune -o -type f -print)
[ -z "$left" ] || fail "files left after the purge: $left"
echo "ok"
