#!/usr/bin/env bash
# Checks the Debian package that tools/build-package.sh made in BUILD_DIR:
# lintian (no errors, no warnings), the desktop entry and the AppStream
# metadata; then unpacks it into a throw-away root, checks that every library
# the program needs resolves and comes from a package it depends on, starts
# the unpacked `vistamo` command under a private Xvfb with openbox and checks
# that its window shows the no-signal picture (so the picture was found
# through the installed layout), and ends it.
# Usage: tools/check-package.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR}
tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() {
  echo "check-package: $*" >&2
  exit 1
}

debs=("$build_dir"/vistamo_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one vistamo_*.deb in $build_dir, found: ${debs[*]}"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)

# lintian warns about being run as root; that is not about the package.
lintian --fail-on error,warning --info "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
  fail "lintian found problems in $deb"

work=$(mktemp -d "${TMPDIR:-/tmp}/vistamo-package.XXXXXX")
pid=
cleanup() {
  if [[ -n $pid ]]; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"

desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop entry does not validate"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml >"$work/appstream.log" 2>&1 || {
  cat "$work/appstream.log" >&2
  fail "AppStream metadata does not validate"
}

# Every library resolves, and each one the program links directly comes from
# a package it depends on (the rest come with those packages).
exe=$root/usr/lib/vistamo/vistamo
ldd "$exe" >"$work/ldd.txt"
if grep -q 'not found' "$work/ldd.txt"; then
  cat "$work/ldd.txt" >&2
  fail "libraries of the installed vistamo do not resolve"
fi
for lib in $(objdump -p "$exe" | awk '$1 == "NEEDED" { print $2 }'); do
  path=$(awk -v lib="$lib" '$1 == lib && $2 == "=>" { print $3 }' "$work/ldd.txt")
  [[ -n $path ]] || fail "ldd does not name a file for $lib"
  owner=
  for candidate in "$path" "$(realpath "$path")" "${path#/usr}" "/usr$path"; do
    owner=$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1) && [[ -n $owner ]] && break
  done
  [[ -n $owner ]] || fail "no installed package owns $path ($lib)"
  [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
    fail "$lib comes from $owner, which the package does not depend on (Depends: $depends)"
done
[[ $depends != *gstreamer1.0-plugins* ]] || fail "the package depends on GStreamer plugins: $depends"
# The virtual devices (and the JPEG encoder their sticks send with) stay out
# of the product. The installed binary is stripped: its symbols are read
# from the build's copy, which must be the same binary.
[[ $depends != *libjpeg62-turbo* ]] || fail "the package depends on libjpeg62-turbo: $depends"
build_id() { readelf -n "$1" | awk '/Build ID/ { print $3 }'; }
[[ -n $(build_id "$exe") && $(build_id "$exe") == $(build_id "$build_dir/vistamo") ]] ||
  fail "$build_dir/vistamo is not the binary the package installs"
virtual_symbols=$(nm -C "$build_dir/vistamo" | grep -E '_virtual|virtual_|mjpeg|jpeg_(CreateCompress|start_compress)' |
  grep -v -E 'virtual_key|__cxa_pure_virtual' || true)
[[ -z $virtual_symbols ]] || fail "the installed vistamo holds virtual-device code: $virtual_symbols"

# Start the unpacked command as a user would, on a private display with
# sound going nowhere.
source "$tools/xsession.sh"
xsession_start
trap 'cleanup; xsession_stop' EXIT
cat >"$work/asound.conf" <<'CONF'
</usr/share/alsa/alsa.conf>
!@hooks []
pcm.!default { type null }
CONF
export ALSA_CONFIG_PATH=$work/asound.conf

"$root/usr/bin/vistamo" 2>"$work/vistamo.log" &
pid=$!
show_log() {
  echo "check-package: what vistamo wrote:" >&2
  cat "$work/vistamo.log" >&2
}

caption="Vistamo v$version"
window=$(timeout 20 xdotool search --sync --onlyvisible --name "^${caption//./\\.}\$" 2>/dev/null | head -n 1) || true
[[ -n $window ]] || {
  show_log
  fail "no window \"$caption\" appeared"
}

# The picture is drawn 1:1 in the middle of the black window: what is not
# black must be exactly the picture. Without it the window shows only a line
# of text.
picture=$root/usr/share/vistamo/dis.jpg
want=$(identify -format '%wx%h' "$picture")
shown=
for ((i = 0; i < 100; i++)); do
  if import -window "$window" "$work/window.png" 2>/dev/null; then
    shown=$(convert "$work/window.png" -fuzz 5% -trim -format '%wx%h' info: 2>/dev/null) || shown=
    [[ $shown == "$want" ]] && break
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [[ $shown != "$want" ]]; then
  show_log
  fail "the window does not show the no-signal picture (non-black area ${shown:-none}, picture $want)"
fi
convert "$work/window.png" -fuzz 5% -trim +repage "$work/shown.png"
error=$(compare -metric RMSE "$work/shown.png" "$picture" null: 2>&1 | sed -n 's/.*(\(.*\)).*/\1/p') || true
awk -v e="${error:-1}" 'BEGIN { exit !(e < 0.03) }' || {
  show_log
  fail "the window shows something else than the no-signal picture (RMSE ${error:-unknown})"
}

# It has no capture device and keeps showing the no-signal screen; it must
# still be running, and close itself when the session asks it to end.
kill -0 "$pid" 2>/dev/null || {
  show_log
  fail "vistamo ended on its own"
}
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
((status == 0)) || {
  show_log
  fail "vistamo ended with status $status after SIGTERM"
}
echo "check-package: $deb: lintian clean, desktop entry and metadata valid, libraries resolve;" \
  "the installed vistamo showed its window with the no-signal picture"
