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
# screen as the given file.
shot() {
  local file=$1 pid
  shift
  "$demo" "$@" &
  pid=$!
  sleep 4
  import -window root "$out/$file"
  xdotool search --name '^Vistamo v2\.1\.9$' windowclose >/dev/null 2>&1 || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

shot no-signal.png --no-device
shot live-video.png
echo "demo: screenshots of the no-signal screen and of live video are in $out"
