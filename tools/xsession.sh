# Private headless X session for the test and benchmark runners.
# Source this file, then call xsession_start: it starts Xvfb on a free display
# with openbox as window manager, exports DISPLAY and a private
# XDG_RUNTIME_DIR, and arranges for everything to be stopped and removed when
# the calling script exits, however it exits.

xsession_tmp=
xsession_xvfb_pid=
xsession_wm_pid=

_xsession_kill() {
  local pid=$1 i
  [[ -n $pid ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

xsession_stop() {
  _xsession_kill "$xsession_wm_pid"
  xsession_wm_pid=
  _xsession_kill "$xsession_xvfb_pid"
  xsession_xvfb_pid=
  if [[ -n $xsession_tmp ]]; then
    rm -rf "$xsession_tmp"
    xsession_tmp=
  fi
}

# Polls "$@" every 0.1 s for up to 10 s while process $1 stays alive.
_xsession_wait_for() {
  local pid=$1 i
  shift
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || return 1
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

_xsession_wm_ready() {
  xprop -display "$1" -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'
}

# Our server holds the display only if the lock file names its pid.
_xsession_owns() {
  local n=$1 pid=$2 owner
  owner=$(tr -d ' \n' <"/tmp/.X$n-lock" 2>/dev/null) || return 1
  [[ $owner == "$pid" ]]
}

xsession_start() {
  local tool n
  for tool in Xvfb xdpyinfo openbox xprop; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "xsession: $tool not found; run tools/install-deps.sh" >&2
      return 1
    fi
  done

  trap xsession_stop EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  xsession_tmp=$(mktemp -d "${TMPDIR:-/tmp}/vistamo-x.XXXXXX")
  mkdir -m 0700 "$xsession_tmp/runtime" "$xsession_tmp/home"

  for ((n = 90; n < 200; n++)); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >"$xsession_tmp/xvfb.log" 2>&1 &
    xsession_xvfb_pid=$!
    if _xsession_wait_for "$xsession_xvfb_pid" xdpyinfo -display ":$n" &&
      _xsession_owns "$n" "$xsession_xvfb_pid"; then
      # openbox gets an empty home and config dir so that no user setup
      # leaks in.
      HOME="$xsession_tmp/home" XDG_CONFIG_HOME="$xsession_tmp/home/.config" \
        XDG_CACHE_HOME="$xsession_tmp/home/.cache" XDG_DATA_HOME="$xsession_tmp/home/.local/share" \
        DISPLAY=":$n" openbox --sm-disable >"$xsession_tmp/openbox.log" 2>&1 &
      xsession_wm_pid=$!
      if _xsession_wait_for "$xsession_wm_pid" _xsession_wm_ready ":$n" &&
        kill -0 "$xsession_xvfb_pid" 2>/dev/null; then
        break
      fi
      echo "xsession: openbox did not come up on :$n; trying another display" >&2
      cat "$xsession_tmp/openbox.log" >&2 2>/dev/null || true
      _xsession_kill "$xsession_wm_pid"
      xsession_wm_pid=
    fi
    # Lost a race for this display, or the server failed: try the next one.
    _xsession_kill "$xsession_xvfb_pid"
    xsession_xvfb_pid=
  done
  if [[ -z $xsession_xvfb_pid ]]; then
    echo "xsession: could not start Xvfb with openbox" >&2
    cat "$xsession_tmp/xvfb.log" >&2 2>/dev/null || true
    return 1
  fi

  export DISPLAY=":$n"
  export XDG_RUNTIME_DIR="$xsession_tmp/runtime"
}
