#!/usr/bin/env bash
# The commands' package choices against simulated machines: apt-get plans (simulation
# only, nothing is installed) from a copy of this machine's dpkg state edited to look like
# a PipeWire desktop (pipewire-audio, which conflicts with pulseaudio), a PulseAudio
# desktop, or a machine with no sound server. No plan may remove a package, no desktop
# gets a second sound server, and an install that would remove one fails.
# Exit 77 (skipped) when apt has no package lists to plan from.
set -uo pipefail
root=${1:?usage: package_safety_test.sh SOURCE_TREE}
packages="$root/scripts/packages"
apt-cache show pulseaudio pipewire-pulse >/dev/null 2>&1 || { echo "no apt package lists: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# state NAME DROP... : dpkg state without the DROP packages (one not installed of each
# command's own, so that both commands really plan an install).
state() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  awk -v RS= -v ORS='\n\n' -v drop="$*" '
    BEGIN { n = split(drop, a, " "); for (i = 1; i <= n; i++) d[a[i]] = 1 }
    { split($0, l, "\n"); p = l[1]; sub(/^Package: /, "", p); if (!(p in d)) print }' \
    /var/lib/dpkg/status >"$work/$name/status"
}
common=(libsndfile1-dev sox)
state pipewire-desktop pulseaudio "${common[@]}"
# The desktop's PipeWire set: installed, and in conflict with pulseaudio.
cat >>"$work/pipewire-desktop/status" <<'STANZA'
Package: pipewire-audio
Status: install ok installed
Priority: optional
Section: sound
Maintainer: Debian
Architecture: all
Version: 0.3.65-3+deb12u1
Replaces: pulseaudio, pulseaudio-module-bluetooth
Depends: pipewire-pulse, wireplumber
Conflicts: pulseaudio, pulseaudio-module-bluetooth
Description: PipeWire desktop set

STANZA
state pulseaudio-desktop pipewire-pulse wireplumber pipewire-audio "${common[@]}"
state no-server pulseaudio pipewire-pulse wireplumber pipewire-audio "${common[@]}"

cat >"$work/apt-get" <<'APT'
#!/usr/bin/env bash
# apt-get in simulation against the state in $SIM_STATUS; no update, caches kept in the
# scratch folder.
[ "$1" = update ] && exit 0
exec apt-get -s -o Dir::State::status="$SIM_STATUS" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache="$SIM_CACHE" "$@"
APT

# check STATE EXPECTED_RC "SERVERS" "MUST_INSTALL" "MUST_NOT_INSTALL" COMMAND...
check() {
  local st=$1 want_rc=$2 want_servers=$3 must=$4 mustnot=$5
  shift 5
  local what="$* on $st" out rc servers p
  out=$(TOVREL_DPKG_ADMINDIR="$work/$st" SIM_STATUS="$work/$st/status" SIM_CACHE="$work/srcpkgcache.bin" TOVREL_APT_GET="bash $work/apt-get" \
    bash "$packages" "$@" 2>&1)
  rc=$?
  [ "$rc" -eq "$want_rc" ] || fail "$what: exit $rc, expected $want_rc"$'\n'"$out"
  grep -q '^Remv ' <<<"$out" && fail "$what: plans to remove packages:"$'\n'"$(grep '^Remv ' <<<"$out")"
  for p in $must; do grep -q "^Inst $p " <<<"$out" || fail "$what: does not install $p"$'\n'"$out"; done
  for p in $mustnot; do grep -q "^Inst $p " <<<"$out" && fail "$what: installs $p"; done
  if [ -n "$want_servers" ]; then
    servers=$(TOVREL_DPKG_ADMINDIR="$work/$st" bash "$packages" servers | tr '\n' ' ')
    [ "$servers" = "$want_servers " ] || fail "servers on $st: '$servers', expected '$want_servers'"
  fi
}

sound_servers="pulseaudio pipewire-pulse wireplumber pipewire"
#     state               rc servers                must install               must not install     command
check pipewire-desktop    0  ""                     "libsndfile1-dev"          "$sound_servers"     run
check pulseaudio-desktop  0  ""                     "libsndfile1-dev"          "$sound_servers"     run
check pipewire-desktop    0  "pipewire"             "sox"                      "pulseaudio"         test
check pulseaudio-desktop  0  "pulseaudio"           "sox"                      "pipewire-pulse wireplumber" test
check no-server           0  "pulseaudio pipewire"  "sox pulseaudio pipewire-pulse wireplumber" ""  test
# Whatever asks for it, pulseaudio cannot displace the desktop's PipeWire: the install fails.
check pipewire-desktop    100 ""                    ""                         "pulseaudio"         install pulseaudio

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package plans safe"
