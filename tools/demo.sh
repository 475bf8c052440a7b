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

window='^Vistamo v2\.1\.9$'

# Ends a demo run: its window closed as a user does, then the process.
finish() {
  local pid=$1
  xdotool search --name "$window" windowclose >/dev/null 2>&1 || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Without a stick: the no-signal screen the viewer starts with.
"$demo" --no-device &
pid=$!
sleep 4
import -window root "$out/no-signal.png"
finish "$pid"

# The stick is plugged in two seconds after start-up and the viewer goes to
# full screen with live video; SIGUSR1 pulls it out again.
"$demo" &
pid=$!
sleep 5
import -window root "$out/live-video-full-screen.png"
kill -USR1 "$pid"
sleep 2
import -window root "$out/no-signal-after-unplug.png"
finish "$pid"

echo "demo: screenshots of the no-signal screen, of full-screen live video after the stick is plugged in, and of the no-signal screen after it is pulled out are in $out"
