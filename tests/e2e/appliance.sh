# Sourced by the end-to-end tests and the demo, run through sandbox.sh: a throwaway backup
# appliance. Needs TRELK, FSAL_DIR (the folder of libfsalqor.so), MKMEDIUM and EXAMPLES.

. "$(dirname "${BASH_SOURCE[0]}")/../lib/bridge.sh"
APPLIANCE_BRIDGE=br-qor
APPLIANCE_HOST_ADDR=10.77.0.1
APPLIANCE_SERVER_ADDR=10.77.0.2

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

appliance_workdir() {
  W=$(mktemp -d -p "${TMPDIR:-/tmp}" "$1.XXXXXX")
  trap 'set +e; kill -TERM ${TRELK_PID:-} 2>/dev/null; wait; rm -rf "$W"' EXIT
}

# odd modes, hard links, a name with a space, links (dangling, longest target), old mtimes
make_sample_tree() {
  local d=$1 n
  mkdir -p "$d/docs/reports" "$d/data"
  mkdir -m 0700 "$d/private"
  mkdir -m 1777 "$d/sticky"
  printf 'backup %s\n' "$2" >"$d/README.txt"
  : >"$d/empty file"
  echo secret >"$d/private/key"
  for n in 1 511 4096 131071 131072 131073 1000000 5242880; do head -c "$n" /dev/urandom >"$d/data/file-$n"; done
  for n in $(seq 40); do printf 'report %s of %s\n' "$n" "$2" >"$d/docs/reports/r$n.txt"; done
  for n in data/hard-1 docs/hard-2; do ln "$d/data/file-4096" "$d/$n"; done
  chmod 4755 "$d/data/file-1"
  chmod 0444 "$d/README.txt"
  ln -s ../README.txt "$d/docs/readme-link"
  ln -s /nonexistent/target "$d/docs/dangling"
  ln -s "$(head -c 4095 /dev/zero | tr '\0' x)" "$d/docs/long-link"
  touch -d '2001-02-03 04:05:06 UTC' "$d/docs/reports/r1.txt"
  touch -h -d '2002-03-04 05:06:07 UTC' "$d/docs/readme-link"
  touch -d '1999-12-31 23:59:59 UTC' "$d/docs" "$d/private"
}

appliance_prepare() {
  W=$1
  mkdir -p "$W/media" "$W/conf" "$W/log" "$W/run" "$W/src"
  make_sample_tree "$W/src/backup-a" a
  make_sample_tree "$W/src/backup-b" b
  "$MKMEDIUM" "$W/src/backup-a" "$W/media" backup-a 1 >/dev/null
  "$MKMEDIUM" -c zstd "$W/src/backup-b" "$W/media" backup-b 1 >/dev/null
  sh "$EXAMPLES/make-root.sh" "$W/root"
  mkdir -p "$W/root/srv/qor/plugins"
  cp "$EXAMPLES/container-entry.sh" "$W/conf/"
  sed 's#^\([[:space:]]*Plugins_Dir = \).*#\1"/srv/qor/plugins";#' "$EXAMPLES/ganesha.conf" >"$W/conf/ganesha.conf"
  cat >"$W/trelk.json" <<JSON
{ "target": "$W/root", "pidfile": "$W/run/trelk.pid",
  "bind_dirs": { "/usr": "/usr", "/dev": "/dev", "$W/conf": "/srv/qor/conf", "$W/media": "/srv/qor/media",
                 "$W/log": "/var/log/qor", "$FSAL_DIR": "/srv/qor/plugins" },
  "net": { "name": "eth0", "link": "$APPLIANCE_BRIDGE", "ipv4": "$APPLIANCE_SERVER_ADDR/24", "gateway": "$APPLIANCE_HOST_ADDR" } }
JSON
}

appliance_network() { setup_bridge "$APPLIANCE_BRIDGE" "$APPLIANCE_HOST_ADDR/24"; }

appliance_start() {
  "$TRELK" "$W/trelk.json" /srv/qor/conf/container-entry.sh \
    /srv/qor/conf/ganesha.conf /var/log/qor/ganesha.log >>"$W/log/trelk.log" 2>&1 &
  TRELK_PID=$!
}

nfs_url() { printf 'nfs://%s/%s?version=3' "$APPLIANCE_SERVER_ADDR" "$1"; }

appliance_wait_ready() {
  for _ in $(seq 150); do
    nfs-ls "$(nfs_url "$1")" >/dev/null 2>&1 && return 0
    kill -0 "$TRELK_PID" 2>/dev/null || { cat "$W/log/trelk.log" >&2; fail "the launcher ended early"; }
    sleep 0.2
  done
  fail "the server did not answer for /$1: $(tail -30 "$W/log/ganesha.log" 2>&1)"
}

# verify_export EXPORT SRC COPY: nfs-ls -R names what SRC holds; every file copies out equal
verify_export() {
  local rel
  diff -u <(cd "$2" && find . -mindepth 1 | sed 's#^\./##' | sort) \
    <(nfs-ls -R "$(nfs_url "$1")" | sed -E 's/^([^ ]+ +){5}//' | sort) || fail "/$1 lists other names than its source"
  while IFS= read -r rel; do
    nfs-cp "$(nfs_url "$1/$rel")" "$3" >/dev/null 2>&1 && cmp -s "$2/$rel" "$3" || fail "/$1/$rel differs from its source"
    rm -f "$3"
  done < <(cd "$2" && find . -type f | sed 's#^\./##')
}

server_pid() { pgrep -x ganesha.nfsd | head -1; }
