# Shared by the operations tests: a scratch directory removed at exit, a copy of the demo home,
# a free loopback port, a shell serving on it, and one HTTP GET over bash's /dev/tcp.

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# copy_demo_home SOURCE TARGET: the build's demo home with a fresh database and no trace.
copy_demo_home() {
  mkdir -p "$2"
  cp -r "$1"/. "$2"
  rm -f "$2"/host.db* "$2"/trace.log
}

# free_port: a loopback port nobody listens on (tried a bounded number of times).
free_port() {
  local port try
  for try in $(seq 1 50); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# start_serve SHELL HOME OUT [OPTIONS...]: runs SHELL serve on a free port in the background and
# sets `port` once it serves (the shell says "serving on http://127.0.0.1:PORT/"); gives up after
# a minute, which a busy machine may need to start the plug-in. Call it directly, not inside
# $(...), so that the shell's pid reaches the clean-up at exit.
start_serve() {
  local shell=$1 home=$2 out=$3
  shift 3
  "$shell" --home "$home" "$@" serve --listen 127.0.0.1:0 >"$out" 2>"$out.err" &
  pids+=($!)
  local try
  for try in $(seq 1 600); do
    port=$(sed -n 's|.*serving on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$out" | head -n1)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "serve did not start within a minute:" >&2
  cat "$out" "$out.err" >&2
  return 1
}

# http_get PORT PATH: the body of a GET on the loopback port.
http_get() {
  local reply
  exec 3<>"/dev/tcp/127.0.0.1/$1"
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$2" >&3
  reply=$(cat <&3)
  exec 3>&-
  printf '%s\n' "${reply#*$'\r\n\r\n'}"
}
