# Private headless X session for the test and benchmark runners.
# Source this file, then call xsession_start: it starts Xvfb on a free display
# with a window manager, exports DISPLAY and a private XDG_RUNTIME_DIR, and
# arranges for everything to be stopped and removed when the calling script
# exits, however it exits.
#
# VISTAMO_WM picks the window manager: openbox (the default), mutter (X11
# mode, compositing) or xfwm4 (compositor off). Words after the name are
# passed to it as well, e.g. VISTAMO_WM='xfwm4 --compositor=on'.
# xsession_wm holds the name of the one in use once the session is up.

xsession_tmp=
xsession_xvfb_pid=
xsession_wm_pid=
xsession_bus_pid=
xsession_wm=
xsession_wm_cmd=()

# Whether process $1 still runs. A zombie does not: helpers that a session
# bus started get re-parented, and not every init reaps them.
_xsession_alive() {
  local state
  kill -0 "$1" 2>/dev/null || return 1
  state=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ ${state:0:1} != Z ]]
}

_xsession_kill() {
  local pid=$1 i
  [[ -n $pid ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    _xsession_alive "$pid" || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Ends the window manager's private session bus and whatever it started on
# demand (xfwm4's xfconfd, say): those leave when the bus goes, but not
# necessarily before this script has removed their files.
_xsession_stop_bus() {
  local address=unix:path=$xsession_tmp/wm-runtime/bus name pid pids=()
  [[ -n $xsession_bus_pid ]] || return 0
  if _xsession_alive "$xsession_bus_pid"; then
    for name in $(dbus-send --bus="$address" --print-reply=literal --dest=org.freedesktop.DBus \
      /org/freedesktop/DBus org.freedesktop.DBus.ListNames 2>/dev/null || true); do
      [[ $name == :* ]] || continue
      # A name may go between the two calls (dbus-send's own does).
      pid=$(dbus-send --bus="$address" --print-reply=literal --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null) || continue
      pid=${pid##* }
      if [[ $pid =~ ^[0-9]+$ ]]; then pids+=("$pid"); fi
    done
  fi
  for pid in "${pids[@]}"; do
    _xsession_kill "$pid"
  done
  _xsession_kill "$xsession_bus_pid"
  xsession_bus_pid=
}

# Whether the window manager still runs; if not, says so with the end of
# its log, since every window test after its end fails for that alone.
xsession_check_wm() {
  [[ -n $xsession_wm_pid ]] || return 0
  _xsession_alive "$xsession_wm_pid" && return 0
  local status=0
  wait "$xsession_wm_pid" 2>/dev/null || status=$?
  echo "xsession: $xsession_wm ended during the session (status $status); the end of its log:" >&2
  tail -n 40 "$xsession_tmp/wm.log" >&2 2>/dev/null || true
  xsession_wm_pid=
  return 1
}

xsession_stop() {
  xsession_check_wm || true
  _xsession_kill "$xsession_wm_pid"
  xsession_wm_pid=
  _xsession_stop_bus
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
    _xsession_alive "$pid" || return 1
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

# mutter and xfwm4 want a session bus (xfwm4 reads its settings from
# xfconfd, which the bus starts; without it, it exits). They get a private
# one, in a runtime dir of their own: the tests do not see it, not even at
# the bus's usual place in XDG_RUNTIME_DIR, so that they find the same
# environment under every window manager.
_xsession_start_bus() {
  local socket=$xsession_tmp/wm-runtime/bus
  dbus-daemon --session --nofork --nopidfile --address="unix:path=$socket" \
    >"$xsession_tmp/dbus.log" 2>&1 &
  xsession_bus_pid=$!
  if ! _xsession_wait_for "$xsession_bus_pid" test -S "$socket"; then
    echo "xsession: the window manager's session bus did not come up" >&2
    cat "$xsession_tmp/dbus.log" >&2 2>/dev/null || true
    _xsession_kill "$xsession_bus_pid"
    xsession_bus_pid=
    return 1
  fi
}

# Starts the window manager of $xsession_wm_cmd on display $1, in the
# background, with an empty home and config dirs so that no user setup leaks
# in.
_xsession_start_wm() {
  local display=$1 wm_env
  wm_env=(
    HOME="$xsession_tmp/home" XDG_CONFIG_HOME="$xsession_tmp/home/.config"
    XDG_CACHE_HOME="$xsession_tmp/home/.cache" XDG_DATA_HOME="$xsession_tmp/home/.local/share"
    XDG_RUNTIME_DIR="$xsession_tmp/wm-runtime" DISPLAY="$display"
  )
  if [[ $xsession_wm != openbox ]]; then
    _xsession_start_bus || return 1
    # No accessibility bus, and settings from the schemas' defaults only:
    # fewer helper processes, none that outlive the session.
    wm_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=$xsession_tmp/wm-runtime/bus"
      NO_AT_BRIDGE=1 GTK_A11Y=none GSETTINGS_BACKEND=memory)
  fi
  env "${wm_env[@]}" "${xsession_wm_cmd[@]}" >"$xsession_tmp/wm.log" 2>&1 &
  xsession_wm_pid=$!
}

xsession_start() {
  local tool n wm_words wm_failures=0
  read -r -a wm_words <<<"${VISTAMO_WM:-openbox}"
  xsession_wm=${wm_words[0]:-openbox}
  case $xsession_wm in
    openbox) xsession_wm_cmd=(openbox --sm-disable) ;;
    # --sm-disable: no session manager to register with.
    mutter) xsession_wm_cmd=(mutter --x11 --sm-disable) ;;
    # Its compositor stays off unless asked for: it draws through GL, which
    # under Xvfb is software rendering, slow on a loaded machine.
    xfwm4) xsession_wm_cmd=(xfwm4 --compositor=off --sm-client-disable) ;;
    *)
      echo "xsession: unknown window manager '$xsession_wm' in VISTAMO_WM (openbox, mutter or xfwm4)" >&2
      return 1
      ;;
  esac
  xsession_wm_cmd+=("${wm_words[@]:1}")

  local tools=(Xvfb xdpyinfo xprop "$xsession_wm")
  [[ $xsession_wm == openbox ]] || tools+=(dbus-daemon dbus-send)
  for tool in "${tools[@]}"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "xsession: $tool not found; run tools/install-deps.sh" >&2
      return 1
    fi
  done

  trap xsession_stop EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  xsession_tmp=$(mktemp -d "${TMPDIR:-/tmp}/vistamo-x.XXXXXX")
  mkdir -m 0700 "$xsession_tmp/runtime" "$xsession_tmp/wm-runtime" "$xsession_tmp/home"

  for ((n = 90; n < 200; n++)); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >"$xsession_tmp/xvfb.log" 2>&1 &
    xsession_xvfb_pid=$!
    if _xsession_wait_for "$xsession_xvfb_pid" xdpyinfo -display ":$n" &&
      _xsession_owns "$n" "$xsession_xvfb_pid"; then
      if _xsession_start_wm ":$n" &&
        _xsession_wait_for "$xsession_wm_pid" _xsession_wm_ready ":$n" &&
        _xsession_alive "$xsession_xvfb_pid"; then
        break
      fi
      echo "xsession: $xsession_wm did not come up on :$n" >&2
      cat "$xsession_tmp/wm.log" >&2 2>/dev/null || true
      _xsession_kill "$xsession_wm_pid"
      xsession_wm_pid=
      _xsession_stop_bus
      # A window manager that fails on three displays will fail on all.
      if ((++wm_failures == 3)); then
        _xsession_kill "$xsession_xvfb_pid"
        xsession_xvfb_pid=
        break
      fi
    fi
    # Lost a race for this display, or the server failed: try the next one.
    _xsession_kill "$xsession_xvfb_pid"
    xsession_xvfb_pid=
  done
  if [[ -z $xsession_xvfb_pid ]]; then
    echo "xsession: could not start Xvfb with $xsession_wm" >&2
    cat "$xsession_tmp/xvfb.log" >&2 2>/dev/null || true
    return 1
  fi

  export DISPLAY=":$n"
  export XDG_RUNTIME_DIR="$xsession_tmp/runtime"
}
