#!/usr/bin/env bash
# Runs the viewer with a virtual capture stick.
# On a desktop it opens the window there. Without a display it runs under a
# private Xvfb for a few seconds, saves screenshots of the no-signal screen
# and of live video into a new folder, names the folder, and exits.
# Usage: tools/demo.sh BUILD_DIR
set -euo pipefail

build_dir=${1:?usage: $0 BUILD_DIR}
demo="$build_dir/vistamo-demo"

if [[ -n ${DISPLAY:-} ]] && xdpyinfo >/dev/null 2>&1; then
  exec "$demo"
fi

source "$(dirname "${BASH_SOURCE[0]}")/xsession.sh"
xsession_start

out=$(mktemp -d "${TMPDIR:-/tmp}/vistamo-demo.XXXXXX")

# Runs the demo with the given options for a few seconds and saves the
# screen as the given file. With FULL_SCREEN=1 the window is double-clicked
# first, as a user switches it to full screen.
shot() {
  local file=$1 pid wid
  shift
  "$demo" "$@" &
  pid=$!
  sleep 4
  if [[ ${FULL_SCREEN:-0} == 1 ]]; then
    wid=$(xdotool search --name '^Vistamo v2\.1\.9$' | head -n 1 || true)
    if [[ -n $wid ]]; then
      xdotool mousemove --window "$wid" 300 200 click --repeat 2 --delay 80 1 || true
      sleep 2
    else
      echo "demo: no window to switch to full screen" >&2
    fi
  fi
  import -window root "$out/$file"
  xdotool search --name '^Vistamo v2\.1\.9$' windowclose >/dev/null 2>&1 || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

shot no-signal.png --no-device
shot live-video.png
FULL_SCREEN=1 shot live-video-full-screen.png
echo "demo: screenshots of the no-signal screen and of live video, windowed and full screen, are in $out"
