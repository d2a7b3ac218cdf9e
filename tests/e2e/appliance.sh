# Sourced by the end-to-end tests and the demo: a throwaway backup appliance.
#
# The caller runs inside a fresh network, mount and PID namespace (see sandbox.sh),
# so the bridge, the container's veth pair, the mounts and every process vanish
# with it. Needs TRELK (the launcher), FSAL_DIR (the folder with libfsalqor.so),
# MKMEDIUM (qor-mkmedium) and EXAMPLES (the examples folder).

APPLIANCE_BRIDGE=br-qor
APPLIANCE_HOST_ADDR=10.77.0.1
APPLIANCE_SERVER_ADDR=10.77.0.2

say() { printf '%s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# Ends the launchers still running (TRELK_PID, TRELK2_PID) and removes the work
# directory W; installed as the EXIT trap by appliance_workdir.
appliance_cleanup() {
  set +e
  local pid
  for pid in ${TRELK_PID:-} ${TRELK2_PID:-}; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$W"
}

# Makes the work directory W (under TMPDIR or /tmp, named after NAME) and arranges
# for it and the launchers to go when the script exits.
appliance_workdir() {
  W=$(mktemp -d -p "${TMPDIR:-/tmp}" "$1.XXXXXX")
  trap appliance_cleanup EXIT
}

# Makes a sample tree: nested folders, files around common block sizes, a large
# file, an empty file and symbolic links.
make_sample_tree() {
  local dir=$1 tag=$2
  mkdir -p "$dir/docs/reports" "$dir/data" "$dir/empty-dir"
  printf 'backup %s\n' "$tag" > "$dir/README.txt"
  : > "$dir/empty"
  local n
  for n in 1 511 4096 131071 131072 131073 1000000; do
    head -c "$n" /dev/urandom > "$dir/data/file-$n"
  done
  head -c 5242880 /dev/urandom > "$dir/data/large.bin"
  for n in $(seq 1 40); do printf 'report %s of %s\n' "$n" "$tag" > "$dir/docs/reports/r$n.txt"; done
  ln -s ../README.txt "$dir/docs/readme-link"
  ln -s /nonexistent/target "$dir/docs/dangling"
}

# Lays out the appliance under WORK: two media, the container root, the server and
# launcher configuration.
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
  sed 's#^\([[:space:]]*Plugins_Dir = \).*#\1"/srv/qor/plugins";#' \
    "$EXAMPLES/ganesha.conf" > "$W/conf/ganesha.conf"
  cat > "$W/trelk.json" <<JSON
{
  "target": "$W/root",
  "pidfile": "$W/run/trelk.pid",
  "bind_dirs": {
    "/usr": "/usr",
    "/dev": "/dev",
    "$W/conf": "/srv/qor/conf",
    "$W/media": "/srv/qor/media",
    "$W/log": "/var/log/qor",
    "$FSAL_DIR": "/srv/qor/plugins"
  },
  "net": {
    "name": "eth0",
    "link": "$APPLIANCE_BRIDGE",
    "ipv4": "$APPLIANCE_SERVER_ADDR/24",
    "gateway": "$APPLIANCE_HOST_ADDR"
  }
}
JSON
}

# The appliance's own network: loopback and the bridge the container joins.
appliance_network() {
  ip link set lo up
  ip link add "$APPLIANCE_BRIDGE" type bridge
  ip addr add "$APPLIANCE_HOST_ADDR/24" dev "$APPLIANCE_BRIDGE"
  ip link set "$APPLIANCE_BRIDGE" up
}

# Starts the container in the background; TRELK_PID is the launcher's pid.
appliance_start() {
  "$TRELK" "$W/trelk.json" /srv/qor/conf/container-entry.sh \
    /srv/qor/conf/ganesha.conf /var/log/qor/ganesha.log >>"$W/log/trelk.log" 2>&1 &
  TRELK_PID=$!
}

nfs_url() { printf 'nfs://%s/%s?version=3' "$APPLIANCE_SERVER_ADDR" "$1"; }

# Waits until the server answers for an export (or gives up after about 30 s).
appliance_wait_ready() {
  local export=$1 i
  for i in $(seq 1 150); do
    nfs-ls "$(nfs_url "$export")" >/dev/null 2>&1 && return 0
    kill -0 "$TRELK_PID" 2>/dev/null || { cat "$W/log/trelk.log" >&2; fail "the launcher ended early"; }
    sleep 0.2
  done
  tail -30 "$W/log/ganesha.log" >&2 || true
  fail "the server did not answer for /$export"
}

# Copies every regular file of SRC's tree out of EXPORT over NFS and compares it
# bit for bit; also compares the names of a recursive listing.
verify_export() {
  local export=$1 src=$2 out=$3 f rel
  mkdir -p "$out"
  ( cd "$src" && find . -mindepth 1 | sed 's#^\./##' | sort ) > "$out/expected.names"
  # nfs-ls -R prints mode, links, owner, group and size, then the path below the export.
  nfs-ls -R "$(nfs_url "$export")" | sed -E 's/^([^ ]+ +){5}//' | sort > "$out/listed.names" ||
    fail "nfs-ls -R of /$export failed"
  diff -u "$out/expected.names" "$out/listed.names" || fail "/$export lists other names than its source tree"
  while IFS= read -r rel; do
    f="$out/copy"
    rm -f "$f"
    nfs-cp "$(nfs_url "$export/$rel")" "$f" >/dev/null 2>&1 || fail "nfs-cp of /$export/$rel failed"
    cmp -s "$src/$rel" "$f" || fail "/$export/$rel differs from its source"
  done < <(cd "$src" && find . -type f | sed 's#^\./##' | sort)
  rm -f "$out/copy"
}

# The pid of the NFS server (visible because the sandbox's /proc shows its PID namespace).
server_pid() { pgrep -x ganesha.nfsd | head -1; }
