#!/usr/bin/env bash
# packaging_test.sh BUILD_DIR: installs the build into a scratch prefix and checks what a
# desktop finds there (menu entry, AppStream data, icons, man pages, the doc folder) and
# that the help texts fit 80 columns and agree with the man pages, then builds the .deb
# with cpack and checks its control fields, that its tool runs from an unpacked root, and
# what lintian says of it where lintian is installed.
# Exit 77 (a skip for ctest) only when a checking tool is missing; scripts/setup installs them.
set -euo pipefail
build=$(cd "$1" && pwd)
id=io.github.tovrel.Tovrel

for tool in desktop-file-validate appstreamcli man groff dpkg-deb dpkg-shlibdeps file cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/setup installs the packaging test's tools)"
    exit 77
  fi
done

scratch=$(mktemp -d /tmp/tovrel-packaging.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# --- Install into a scratch prefix (HOME elsewhere, as under sudo) ---
prefix=$scratch/prefix
HOME=$scratch/prefix/.local cmake --install "$build" --prefix "$prefix" >/dev/null
expected=(
  bin/tovrel
  bin/tovrel-convert
  lib/systemd/user/tovrel.service
  share/applications/$id.desktop
  share/metainfo/$id.metainfo.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/icons/hicolor/48x48/apps/$id.png
  share/man/man1/tovrel.1.gz
  share/man/man1/tovrel-convert.1.gz
  share/doc/tovrel/copyright
  share/doc/tovrel/README.md.gz
  share/doc/tovrel/NEWS.gz
  share/doc/tovrel/changelog.gz
  share/doc/tovrel/docs/tovrel.png
  share/doc/tovrel/docs/stream-modes.png
)
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
for f in "$src"/docs/*.md; do expected+=("share/doc/tovrel/docs/$(basename "$f").gz"); done
installed=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[[ "$installed" == "$(printf '%s\n' "${expected[@]}" | sort)" ]] ||
  fail "installed files differ from the expected list:"$'\n'"$installed"
for f in bin/tovrel bin/tovrel-convert; do [[ -x "$prefix/$f" ]] || fail "$f is not executable"; done
grep -qx "ExecStart=$prefix/bin/tovrel --headless" "$prefix/lib/systemd/user/tovrel.service" ||
  fail "the user unit does not start $prefix/bin/tovrel"
# A user's own prefix puts the unit where systemd looks for it there, whatever HOME is.
HOME=/nonexistent cmake --install "$build" --prefix "$scratch/user/.local" >/dev/null
grep -qx "ExecStart=$scratch/user/.local/bin/tovrel --headless" "$scratch/user/.local/share/systemd/user/tovrel.service" ||
  fail "an install under .local has no share/systemd/user/tovrel.service starting its own tovrel"

# --- Desktop entry, AppStream data and icons ---
out=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1) || fail "desktop-file-validate: $out"
[[ -z "$out" ]] || fail "desktop-file-validate warns: $out"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" ||
  fail "appstreamcli validate"
# validate-tree also checks that the metainfo's launchable and icon exist in the tree.
appstreamcli validate-tree --no-net "$prefix" || fail "appstreamcli validate-tree"
file -b "$prefix/share/icons/hicolor/48x48/apps/$id.png" | grep -q '^PNG image data, 48 x 48' ||
  fail "the 48x48 icon is not a 48 x 48 PNG"
file -b "$prefix/share/icons/hicolor/scalable/apps/$id.svg" | grep -q 'SVG' || fail "the scalable icon is not SVG"

# --- Man pages render without a warning ---
for page in tovrel tovrel-convert; do
  err=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [[ -z "$err" ]] || fail "man $page warns: $err"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1.gz" | grep -q '^NAME' ||
    fail "man $page renders no NAME section"
done

# --- Help texts: at most 80 columns, and tovrel-convert's options as its man page lists them ---
bin=$prefix/bin
# A cross build's programs run under the emulator named by TOVREL_RUN.
read -r -a run <<<"${TOVREL_RUN:-}"
no_display=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "${run[@]}")
for command in "tovrel --help" "tovrel --headless --help" "tovrel-convert --help"; do
  read -r -a words <<<"$command"
  text=$("${no_display[@]}" "$bin/${words[0]}" "${words[@]:1}") || fail "$command failed"
  wide=$(
    LC_ALL=C.UTF-8
    while IFS= read -r line; do ((${#line} <= 80)) || echo "$line"; done <<<"$text"
  )
  [[ -z "$wide" ]] || fail "$command has lines over 80 columns:"$'\n'"$wide"
done
out=$("${no_display[@]}" "$bin/tovrel" --headless --version) || fail "tovrel --headless --version failed"
[[ "$out" == "Tovrel $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ]] ||
  fail "tovrel --headless --version printed: $out"
# The option tags: "  -h, --help  text" in the help, the tagged paragraphs of OPTIONS in the man page.
help_tags=$("${run[@]}" "$bin/tovrel-convert" --help | sed -n 's/^  \(-[^ ]*\( -[^ ]*\)*\) .*/\1/p' | tr -d , | tr ' ' '\n' | sort)
man_tags=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$prefix/share/man/man1/tovrel-convert.1.gz" 2>/dev/null |
  sed -n '/^OPTIONS/,/^[A-Z]/s/^       \(-[^ ,]*\(, -[^ ,]*\)*\).*/\1/p' | tr -d , | tr ' ' '\n' | sort)
[[ -n "$help_tags" && "$help_tags" == "$man_tags" ]] ||
  fail "tovrel-convert --help lists"$'\n'"$help_tags"$'\n'"but man tovrel-convert lists"$'\n'"$man_tags"
for section in OPTIONS "EXIT STATUS" ENVIRONMENT FILES; do
  LC_ALL=C.UTF-8 man -l "$prefix/share/man/man1/tovrel.1.gz" 2>/dev/null | grep -qx "$section" ||
    fail "man tovrel has no $section section"
done

# --- The doc folder: the README as in the tree, and a machine-readable copyright file
# whose licence is the tree's LICENSE, word for word ---
doc=$prefix/share/doc/tovrel
gzip -dc "$doc/README.md.gz" | cmp -s - "$src/README.md" || fail "share/doc/tovrel/README.md.gz is not the tree's README"
(($(wc -l <"$src/README.md") <= 250)) || fail "README.md is over 250 lines: measurements and design go to docs/"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$doc/copyright" ||
  fail "the copyright file is not in the machine-readable format"
licence=$(sed -n '/^License: Expat$/,$p' "$doc/copyright" | tail -n +2 | sed 's/^ \.$//; s/^ //')
[[ "$licence" == "$(cat "$src/LICENSE")" ]] || fail "the copyright file's licence is not LICENSE (Expat)"
# Every link of the README to a file of the tree resolves in the doc folder.
for link in $(grep -o '](docs/[^)]*)' "$src/README.md" | sed 's/^](//; s/)$//'); do
  [[ -f "$doc/$link" || -f "$doc/$link.gz" ]] || fail "the installed README links to $link, which is not installed"
done

# --- The Debian package ---
cpack -G DEB -B "$scratch/package" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$scratch/package/tovrel_${version}_${arch:-$(dpkg --print-architecture)}.deb
[[ -f "$deb" ]] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch/package")"
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == tovrel ]] || fail "Package: $(field Package)"
[[ "$(field Section)" == hamradio ]] || fail "Section: $(field Section)"
[[ -n "$(field Maintainer)" ]] || fail "no Maintainer"
depends=$(field Depends)
echo "Depends: $depends"
grep -Eq '(^|, )libpulse0( |,|$)' <<<"$depends" || fail "Depends lacks libpulse0"
grep -Eq '(^|, )libqt6widgets6( |,|$)' <<<"$depends" || fail "Depends lacks libqt6widgets6 (shlibdeps not run?)"
# A sound server in the dependencies would fight the one the desktop already runs.
if grep -Eqi '(^|[ ,|])(pulseaudio|pipewire[a-z0-9-]*)( |,|$)' <<<"$depends"; then
  fail "Depends names a sound server"
fi

# The package holds the same files as the install, under /usr.
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sed 's|^\./usr/||' | sort)
[[ "$packaged" == "$(printf '%s\n' "${expected[@]}" | sort)" ]] ||
  fail "the package's files differ from the expected list:"$'\n'"$packaged"

# Unpacked into a scratch root, the tool runs and answers.
dpkg -x "$deb" "$scratch/root"
out=$("${run[@]}" "$scratch/root/usr/bin/tovrel-convert" --version) || fail "tovrel-convert --version from the package"
[ "$out" = "tovrel-convert $version" ] || fail "tovrel-convert --version printed: $out"

# --- What a Debian maintainer's check says: no error, no warning ---
if command -v lintian >/dev/null; then
  lintian --pedantic --fail-on error,warning "$deb" || fail "lintian --pedantic reports errors or warnings"
else
  echo "lintian is not installed: the package's lint was not checked"
fi
echo "packaging: $(basename "$deb") built, installed files and package checked"
