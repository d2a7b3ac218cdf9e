# Private apt configurations derived from the machine's own sources; sourced by the
# scripts that fetch Debian packages. apt reads the machine's keys and apt.conf.d but
# keeps its sources, package lists, status and downloads in a private directory:
# nothing under /etc/apt, /var/lib/apt or dpkg's database changes.

# apt_private_sources FILE TYPE ARCH SUITE
# Writes to FILE one deb822 stanza per enabled "deb" entry of the machine's sources
# (deb822 *.sources and one-line *.list entries), typed TYPE (deb or deb-src); with
# ARCH, restricted to that architecture; with SUITE, only the entries that name that
# suite, each then naming it alone. Fails when no entry qualifies.
apt_private_sources() {
  local out=$1 type=$2 arch=$3 suite=$4 f
  {
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -e "$f" ] || continue
      awk -v form=deb822 -v type="$type" -v arch="$arch" -v suite="$suite" "$_apt_private_awk" "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -e "$f" ] || continue
      awk -v form=oneline -v type="$type" -v arch="$arch" -v suite="$suite" "$_apt_private_awk" "$f"
    done
  } >"$out"
  grep -qs '^URIs:' "$out"
}

# Fields other than Types, Architectures, Enabled, URIs, Suites and Components are
# kept as they stand (a Signed-By may hold a key on continuation lines); a one-line
# entry's options become the fields apt gives them in deb822, its arch= dropped.
_apt_private_awk='
function reset() { types = uris = suites = comps = extra = ""; enabled = 1; last = "" }
function emit(   n, s, i, keep) {
  if (types !~ /(^|[[:space:]])deb([[:space:]]|$)/ || !enabled || uris == "") return
  keep = suites
  if (suite != "") {
    keep = ""; n = split(suites, s, /[[:space:]]+/)
    for (i = 1; i <= n; i++) if (s[i] == suite) keep = suite
    if (keep == "") return
  }
  print "Types: " type
  if (arch != "") print "Architectures: " arch
  print "URIs: " uris; print "Suites: " keep
  if (comps != "") print "Components: " comps
  printf "%s", extra; print ""
}
function field(opt,   k) {
  k = opt; sub(/[-+]?=.*/, "", k)
  if (k == "arch") return ""
  if (k == "lang") return "Languages"
  if (k == "target") return "Targets"
  if (k == "signed-by") return "Signed-By"
  if (k == "trusted") return "Trusted"
  if (k == "check-valid-until") return "Check-Valid-Until"
  if (k == "check-date") return "Check-Date"
  if (k == "by-hash") return "By-Hash"
  if (k == "pdiffs") return "PDiffs"
  return k
}
BEGIN { reset() }
form == "deb822" && /^[[:space:]]*#/ { next }
form == "deb822" && /^[[:space:]]*$/ { emit(); reset(); next }
form == "deb822" && /^[[:space:]]/ { if (last == "extra") extra = extra $0 "\n"; next }
form == "deb822" {
  key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[[:space:]]*/, "", val); last = ""
  if (key == "Types") types = val
  else if (key == "Enabled") { if (val == "no") enabled = 0 }
  else if (key == "URIs") uris = val
  else if (key == "Suites") suites = val
  else if (key == "Components") comps = val
  else if (key != "Architectures") { extra = extra $0 "\n"; last = "extra" }
  next
}
form == "oneline" && /^[[:space:]]*deb[[:space:]]/ {
  reset(); types = "deb"; line = $0
  if (match(line, /\[[^]]*\]/)) {
    opts = substr(line, RSTART + 1, RLENGTH - 2)
    line = substr(line, 1, RSTART - 1) substr(line, RSTART + RLENGTH)
    n = split(opts, o, /[[:space:]]+/)
    for (i = 1; i <= n; i++) {
      f = field(o[i]); if (f == "" || o[i] !~ /=/) continue
      v = o[i]; sub(/^[^=]*=/, "", v); extra = extra f ": " v "\n"
    }
  }
  n = split(line, w, /[[:space:]]+/)
  for (i = 1; i <= n && w[i] != "deb"; i++) ;
  uris = w[i + 1]; suites = w[i + 2]
  for (i += 3; i <= n; i++) if (w[i] != "") comps = comps (comps ? " " : "") w[i]
  emit()
}
END { if (form == "deb822") emit() }'

# apt_private_init DIR ARCH
# Makes apt's private directories under DIR (kept, so that package lists and
# downloads can be reused) and sets APT_PRIVATE to the apt options that use them
# with the sources in DIR/parts; with ARCH, apt works for that architecture only.
apt_private_init() {
  local dir=$1 arch=$2
  mkdir -p "$dir/parts" "$dir/preferences.d" "$dir/lists/partial" "$dir/cache/archives/partial"
  [ -e "$dir/status" ] || : >"$dir/status"
  APT_PRIVATE=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$dir/parts"
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$dir/preferences.d"
    -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status"
    -o Dir::State::extended_states="$dir/extended_states" -o Dir::Cache="$dir/cache"
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  [ -z "$arch" ] || APT_PRIVATE+=(-o APT::Architecture="$arch" -o APT::Architectures="$arch")
}
