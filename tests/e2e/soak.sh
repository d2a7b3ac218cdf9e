# Soak: concurrent clients list and read random files from both exports for a
# bounded time while the launcher forwards SIGHUP to the server; every read must
# return the right bytes, and the server's memory must settle.
# usage (through sandbox.sh): soak.sh [SECONDS] [CLIENTS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/appliance.sh"
duration=${1:-60}
clients=${2:-4}

appliance_workdir qor-soak

appliance_network
appliance_prepare "$W"
appliance_start
appliance_wait_ready backup-a
appliance_wait_ready backup-b

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$(server_pid)/status"; }

# One client: picks random files of both exports until the deadline; records each
# failure in its own file.
client() {
  local id=$1 deadline=$2 files=() n=0 rel export out="$W/client-$1"
  mkdir -p "$out"
  mapfile -t files < <(cd "$W/src" && find . -type f | sed 's#^\./##')
  while [ "$(date +%s)" -lt "$deadline" ]; do
    rel=${files[RANDOM % ${#files[@]}]}
    export=${rel%%/*}
    if [ $((n % 10)) -eq 0 ]; then
      nfs-ls "$(nfs_url "$export/docs/reports")" >"$out/ls" 2>&1 ||
        { echo "listing $export failed: $(cat "$out/ls")" >> "$out/errors"; }
      [ "$(wc -l < "$out/ls")" -eq 40 ] || echo "listing $export gave $(wc -l < "$out/ls") entries" >> "$out/errors"
    fi
    rm -f "$out/copy"
    if ! nfs-cp "$(nfs_url "$rel")" "$out/copy" >/dev/null 2>&1; then
      echo "read of $rel failed" >> "$out/errors"
    elif ! cmp -s "$W/src/$rel" "$out/copy"; then
      echo "read of $rel returned wrong bytes" >> "$out/errors"
    fi
    n=$((n + 1))
  done
  echo "$n" > "$out/count"
}

# Warm up, then take the baseline of the server's memory.
verify_export backup-a "$W/src/backup-a" "$W/warm-a" >/dev/null
verify_export backup-b "$W/src/backup-b" "$W/warm-b" >/dev/null
rss_start=$(rss_kib)

deadline=$(( $(date +%s) + duration ))
pids=()
for i in $(seq 1 "$clients"); do client "$i" "$deadline" & pids+=($!); done
hups=0
while [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 5
  kill -HUP "$TRELK_PID" || fail "the launcher is gone"
  hups=$((hups + 1))
done
for p in "${pids[@]}"; do wait "$p"; done
rss_end=$(rss_kib)

reads=$(cat "$W"/client-*/count | awk '{s += $1} END {print s}')
if cat "$W"/client-*/errors 2>/dev/null | head -20 | grep .; then
  fail "clients saw errors ($reads reads, $hups SIGHUPs)"
fi
say "ok - $clients clients made $reads reads in ${duration}s with $hups SIGHUPs, all correct"
# Growth beyond a generous allowance means something leaks per request.
[ $((rss_end - rss_start)) -lt 65536 ] ||
  fail "the server grew from ${rss_start} KiB to ${rss_end} KiB"
say "ok - server memory ${rss_start} KiB -> ${rss_end} KiB"
