#!/usr/bin/env bash
# A private, headless PipeWire sound session for tests and benchmarks.
#
# In a directory of its own it runs a session D-Bus daemon, pipewire,
# wireplumber and pipewire-pulse, with configuration written there and
# nothing read from the user's home, and three nodes:
#   vistamo-test-speakers    Audio/Sink (null sink with a monitor), the
#                            default sink;
#   vistamo-test-microphone  Audio/Source playing a steady 300 Hz tone, the
#                            default source (highest priority.session), as
#                            a laptop's internal microphone on another ALSA
#                            card (0, or 1 when the stick is card 0);
#   vistamo-test-stick       Audio/Source playing a steady 1000 Hz tone, with
#                            the properties the source node of ALSA card N
#                            carries (alsa.card, api.alsa.pcm.card,
#                            api.alsa.card, api.alsa.path, device.api ...).
# The tones are 48 kHz stereo s16 at about -8.7 dBFS and flow for as long as
# the server runs; each source is a pw-cat stream fed from a loop.
#
# Usage (DIR defaults to $VISTAMO_PW_SESSION):
#   pipewire-session.sh start [--card N] [--dir DIR] [--owner PID]
#       Starts the session in the background and prints `export` lines for
#       eval: VISTAMO_PW_SESSION (the directory) and what a client needs.
#       The session stops by itself once process PID (default: the caller)
#       has ended.
#   pipewire-session.sh serve DIR [--card N] [--owner PID]
#       The same in the foreground: returns once the session has stopped.
#       DIR/env appears (NAME=value lines) when it is ready. A caller that
#       runs it as its own child (as the C++ helper does) reaps everything.
#   pipewire-session.sh stop [DIR]
#       Stops everything the session started and removes DIR.
#   pipewire-session.sh kill-server [DIR]
#       kill -9 of pipewire, wireplumber and pipewire-pulse, as a crashing
#       sound server; the tone streams end with them.
#   pipewire-session.sh restart-server [DIR]
#       Starts them again with the nodes and tones; returns once ready.
#   pipewire-session.sh record FILE [SECONDS] [--dir DIR]
#       Records what reaches the speakers (their monitor), 48 kHz stereo s16:
#       a WAV file if FILE ends in .wav, raw little-endian samples otherwise.
#       Without SECONDS it records until SIGINT or SIGTERM.
#
# Every wait is bounded (10 s per daemon); on failure the command says what
# did not come up and shows the end of its log. The processes are children
# of the serving process, which reaps them; their pids are also kept in
# DIR/pids so that `stop` can end them should the serving process be gone.
set -euo pipefail

script_path=$(readlink -f "${BASH_SOURCE[0]}")
readonly script_path
readonly rate=48000
readonly ready_timeout=10

die() {
  echo "pipewire-session: $*" >&2
  exit 1
}

# True while process $1 exists and is not a zombie.
alive() {
  local stat
  [[ -n ${1:-} ]] || return 1
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z && ${stat:0:1} != X ]]
}

# Sets deadline to $1 seconds from now, in microseconds; before_deadline
# is true until then.
set_deadline() { deadline=$((${EPOCHREALTIME//[.,]/} + $1 * 1000000)); }
before_deadline() { ((${EPOCHREALTIME//[.,]/} < deadline)); }

# ---------------------------------------------------------------------------
# The serving process.

s_dir=
s_card=
s_mic_card=
s_owner=
declare -A s_pid=()

write_config() {
  local d=$s_dir
  mkdir -p "$d/home" "$d/config/pipewire" "$d/config/wireplumber/main.lua.d" \
    "$d/state" "$d/data" "$d/cache" "$d/log" "$d/pids" "$d/tones"
  mkdir -m 0700 "$d/runtime"

  cat >"$d/config/pipewire/pipewire.conf" <<EOF
# Only what a headless session needs: no realtime module, portal or X11 bell.
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    link.max-buffers = 16
    default.clock.rate = $rate
}
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-device-factory }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Freewheel-Driver
            node.group = pipewire.freewheel
            node.freewheel = true
            priority.driver = 19000
        }
    }
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = "vistamo-test-speakers"
            node.description = "Vistamo test speakers"
            media.class = "Audio/Sink"
            audio.position = [ FL FR ]
            priority.session = 1000
            priority.driver = 1000
            monitor.channel-volumes = true
        }
    }
]
EOF

  cat >"$d/config/pipewire/pipewire-pulse.conf" <<'EOF'
context.properties = { }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-protocol-pulse args = { } }
]
pulse.properties = {
    server.address = [ "unix:native" ]
}
EOF

  # WirePlumber merges main.lua.d from XDG_CONFIG_HOME, /etc and /usr/share,
  # a file here replacing the one of the same name: this one leaves out the
  # ALSA, V4L2 and libcamera monitors, so that real devices stay out of the
  # session. Bluetooth is left out of the components.
  cat >"$d/config/wireplumber/wireplumber.conf" <<'EOF'
context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
EOF
  cat >"$d/config/wireplumber/main.lua.d/90-enable-all.lua" <<'EOF'
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
EOF

  make_tone 300 "$d/tones/microphone.raw"
  make_tone 1000 "$d/tones/stick.raw"
}

# One second of a sine at $1 Hz (a divisor of the rate, so that the second
# loops without a seam), stereo s16le, to $2.
make_tone() {
  local period i
  period=$(awk -v f="$1" -v r="$rate" 'BEGIN {
    n = r / f
    for (i = 0; i < n; i++) {
      v = int(sin(2 * 3.141592653589793 * i / n) * 12000)
      if (v < 0) v += 65536
      printf "\\%03o\\%03o\\%03o\\%03o", v % 256, int(v / 256), v % 256, int(v / 256)
    }
  }')
  for ((i = 0; i < $1; i++)); do
    # shellcheck disable=SC2059
    printf "$period"
  done >"$2"
}

# start NAME COMMAND...: a child of this process, logging to log/NAME.log.
spawn() {
  local name=$1
  shift
  "$@" </dev/null >>"$s_dir/log/$name.log" 2>&1 &
  s_pid[$name]=$!
  echo "$!" >"$s_dir/pids/$name"
}

# Ends the children named in $@: $signal (TERM unless set for the call),
# then SIGKILL after 3 s, reaping each.
signal=TERM
reap() {
  local name pid i
  for name in "$@"; do
    pid=${s_pid[$name]:-}
    if [[ -n $pid ]]; then kill -s "$signal" "$pid" 2>/dev/null || true; fi
  done
  for name in "$@"; do
    pid=${s_pid[$name]:-}
    [[ -n $pid ]] || continue
    for ((i = 0; i < 30; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset "s_pid[$name]"
    rm -f "$s_dir/pids/$name"
  done
}

# wait_until WHAT NAME COMMAND...: polls COMMAND every 0.1 s for up to
# ready_timeout seconds while child NAME runs.
wait_until() {
  local what=$1 name=$2 deadline
  shift 2
  set_deadline "$ready_timeout"
  while before_deadline; do
    if ! alive "${s_pid[$name]:-}"; then
      echo "pipewire-session: $name ended while waiting for $what; end of its log:" >&2
      tail -n 20 "$s_dir/log/$name.log" >&2 || true
      return 1
    fi
    if "$@" >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "pipewire-session: $what not ready after ${ready_timeout} s; end of the $name log:" >&2
  tail -n 20 "$s_dir/log/$name.log" >&2 || true
  return 1
}

# (Outputs are taken whole: grep -q could end a pipe early, which pipefail
# would count as a failure.)
pipewire_ready() { [[ -S $s_dir/runtime/pipewire-0 ]] && timeout 3 pw-cli info 0; }
wireplumber_ready() {
  local out
  out=$(timeout 3 pw-metadata -n default 0 default.audio.sink) || return 1
  grep -q '"vistamo-test-speakers"' <<<"$out"
}
pulse_ready() { timeout 3 pactl info; }
sources_ready() {
  local out
  out=$(timeout 3 pactl info) || return 1
  grep -q '^Default Source: vistamo-test-microphone$' <<<"$out" || return 1
  out=$(timeout 3 pactl list short sources) || return 1
  grep -q $'\tvistamo-test-stick\t' <<<"$out"
}

# feed NAME TONE PROPERTIES: a source node playing TONE for ever.
feed() {
  local name=$1 tone=$2 props=$3
  # Both ends are children of this process; $! is pw-cat. The loop ends
  # once pw-cat does (cat then fails on the closed pipe).
  while cat "$tone"; do :; done | pw-cat --playback --rate "$rate" --channels 2 --format s16 \
    --latency 20ms -P "$props" - >>"$s_dir/log/$name.log" 2>&1 &
  s_pid[$name]=$!
  echo "$!" >"$s_dir/pids/$name"
}

stick_properties() {
  local n=$s_card name="Vistamo Test Stick"
  cat <<EOF
{
  media.class = "Audio/Source"
  node.name = "vistamo-test-stick"
  node.description = "$name Analog Stereo"
  node.nick = "$name"
  priority.session = 1500
  device.api = "alsa"
  device.class = "sound"
  device.bus = "usb"
  device.bus-path = "pci-0000:00:14.0-usb-0:2:1.0"
  device.icon_name = "audio-card-analog"
  device.profile.name = "analog-stereo"
  device.profile.description = "Analog Stereo"
  object.path = "alsa:pcm:$n:hw:$n:capture"
  port.group = "capture"
  api.alsa.path = "hw:$n"
  api.alsa.card = "$n"
  api.alsa.pcm.card = "$n"
  api.alsa.pcm.stream = "capture"
  api.alsa.card.name = "$name"
  api.alsa.card.longname = "$name at usb-0000:00:14.0-2, high speed"
  alsa.card = "$n"
  alsa.card_name = "$name"
  alsa.long_card_name = "$name at usb-0000:00:14.0-2, high speed"
  alsa.driver_name = "snd_usb_audio"
  alsa.id = "USB Audio"
  alsa.name = "USB Audio"
  alsa.device = "0"
  alsa.subdevice = "0"
  alsa.subdevice_name = "subdevice #0"
  alsa.class = "generic"
  alsa.subclass = "generic-mix"
  alsa.resolution_bits = "16"
}
EOF
}

microphone_properties() {
  local n=$s_mic_card name="Built-in Audio"
  cat <<EOF
{
  media.class = "Audio/Source"
  node.name = "vistamo-test-microphone"
  node.description = "$name Analog Stereo"
  node.nick = "$name"
  priority.session = 2009
  device.api = "alsa"
  device.class = "sound"
  device.bus = "pci"
  device.icon_name = "audio-card-analog"
  device.profile.name = "analog-stereo"
  device.profile.description = "Analog Stereo"
  object.path = "alsa:pcm:$n:front:$n:capture"
  port.group = "capture"
  api.alsa.path = "front:$n"
  api.alsa.pcm.card = "$n"
  api.alsa.pcm.stream = "capture"
  alsa.card = "$n"
  alsa.card_name = "HDA Intel PCH"
  alsa.driver_name = "snd_hda_intel"
  alsa.id = "ALC257 Analog"
  alsa.name = "ALC257 Analog"
  alsa.device = "0"
}
EOF
}

start_server() {
  # Left over by a killed server; pipewire and pipewire-pulse would cope,
  # but a fresh start is plainer.
  rm -f "$s_dir/runtime/pipewire-0" "$s_dir/runtime/pipewire-0.lock" \
    "$s_dir/runtime/pipewire-0-manager" "$s_dir/runtime/pipewire-0-manager.lock"
  rm -rf "$s_dir/runtime/pulse"
  local conf=$s_dir/config/pipewire
  spawn pipewire env PIPEWIRE_CONFIG_DIR="$conf" pipewire
  wait_until "pipewire" pipewire pipewire_ready || return 1
  spawn wireplumber wireplumber
  wait_until "wireplumber (default sink)" wireplumber wireplumber_ready || return 1
  spawn pipewire-pulse env PIPEWIRE_CONFIG_DIR="$conf" pipewire-pulse
  wait_until "pipewire-pulse" pipewire-pulse pulse_ready || return 1
  feed microphone "$s_dir/tones/microphone.raw" "$(microphone_properties)"
  feed stick "$s_dir/tones/stick.raw" "$(stick_properties)"
  wait_until "the microphone and stick sources" stick sources_ready || return 1
}

kill_server() {
  signal=KILL reap pipewire wireplumber pipewire-pulse
  # The tone streams end with the server; reap them.
  reap microphone stick
}

shutdown() {
  trap '' TERM INT HUP
  reap microphone stick
  reap pipewire-pulse wireplumber
  reap pipewire
  reap dbus
  exec 3<&- || true
  rm -rf "$s_dir"
}

serve() {
  s_dir=
  s_card=0
  s_owner=$PPID
  while (($#)); do
    case $1 in
      --card) s_card=${2:?}; shift 2 ;;
      --owner) s_owner=${2:?}; shift 2 ;;
      -*) die "serve: unknown option $1" ;;
      *) s_dir=$1; shift ;;
    esac
  done
  [[ -n $s_dir ]] || die "serve: no directory given"
  [[ $s_card =~ ^[0-9]+$ ]] || die "serve: card number expected, got '$s_card'"
  s_mic_card=0
  ((s_card != 0)) || s_mic_card=1
  local tool
  for tool in dbus-daemon pipewire wireplumber pipewire-pulse pw-cat pw-cli pw-metadata pactl awk; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool not found; run tools/install-deps.sh"
  done
  mkdir -p "$s_dir"
  s_dir=$(cd "$s_dir" && pwd)
  [[ -z $(ls -A "$s_dir") ]] || die "serve: $s_dir is not empty"

  trap 'shutdown; exit 143' TERM
  trap 'shutdown; exit 130' INT
  trap 'shutdown; exit 129' HUP
  echo "$$" >"$s_dir/serve.pid"
  write_config

  # Everything started from here on sees only the session's directories.
  export HOME=$s_dir/home XDG_CONFIG_HOME=$s_dir/config XDG_STATE_HOME=$s_dir/state \
    XDG_DATA_HOME=$s_dir/data XDG_CACHE_HOME=$s_dir/cache XDG_RUNTIME_DIR=$s_dir/runtime \
    PIPEWIRE_RUNTIME_DIR=$s_dir/runtime PULSE_RUNTIME_PATH=$s_dir/runtime/pulse \
    PULSE_SERVER=unix:$s_dir/runtime/pulse/native PULSE_COOKIE=$s_dir/runtime/pulse-cookie \
    DBUS_SESSION_BUS_ADDRESS=unix:path=$s_dir/runtime/bus PIPEWIRE_LOG_SYSTEMD=false
  unset DISPLAY WAYLAND_DISPLAY PIPEWIRE_REMOTE PIPEWIRE_CONFIG_DIR PIPEWIRE_CONFIG_NAME \
    PIPEWIRE_CONFIG_PREFIX WIREPLUMBER_CONFIG_DIR WIREPLUMBER_DATA_DIR JACK_DEFAULT_SERVER

  spawn dbus dbus-daemon --session --nofork --nopidfile --nosyslog \
    --address="$DBUS_SESSION_BUS_ADDRESS" --print-address=1
  # --print-address goes to its log once it listens.
  if ! wait_until "dbus-daemon" dbus grep -q '^unix:' "$s_dir/log/dbus.log"; then
    shutdown
    exit 1
  fi
  if ! start_server; then
    shutdown
    exit 1
  fi

  mkfifo "$s_dir/control"
  exec 3<>"$s_dir/control"
  local name
  for name in XDG_RUNTIME_DIR PIPEWIRE_RUNTIME_DIR PULSE_RUNTIME_PATH PULSE_SERVER PULSE_COOKIE \
    DBUS_SESSION_BUS_ADDRESS; do
    echo "$name=${!name}"
  done >"$s_dir/env.tmp"
  mv "$s_dir/env.tmp" "$s_dir/env"

  # Requests arrive as "ID COMMAND" lines, each written at once; the answer
  # goes to reply.ID. (A read with a timeout could return with part of a
  # line, so it only looks for input, and the line is read once there.)
  local id command result
  while :; do
    if ! read -r -t 0 -u 3; then
      alive "$s_owner" || break
      sleep 0.2
      continue
    fi
    read -r -u 3 id command
    case $command in
      stop) break ;;
      kill-server)
        kill_server
        result=ok
        ;;
      restart-server)
        kill_server
        if start_server 2>"$s_dir/reply.err"; then result=ok; else result="error: $(cat "$s_dir/reply.err")"; fi
        ;;
      *) result="error: unknown request $command" ;;
    esac
    echo "$result" >"$s_dir/reply.$id.tmp"
    mv "$s_dir/reply.$id.tmp" "$s_dir/reply.$id"
  done
  shutdown
}

# ---------------------------------------------------------------------------
# Commands for a running session.

session_dir() {
  local dir=${1:-${VISTAMO_PW_SESSION:-}}
  [[ -n $dir ]] || die "no session directory given and VISTAMO_PW_SESSION is not set"
  [[ -d $dir ]] || die "no session at $dir"
  echo "$dir"
}

# request DIR COMMAND TIMEOUT: asks the serving process and waits for its answer.
request() {
  local dir=$1 command=$2 timeout=$3 id answer deadline
  [[ -f $dir/env ]] || die "the session at $dir is not ready"
  alive "$(cat "$dir/serve.pid" 2>/dev/null)" || die "the session at $dir is no longer served"
  id=$$.$RANDOM
  # Opened read-write so that the open cannot block.
  exec 4<>"$dir/control"
  echo "$id $command" >&4
  exec 4>&-
  set_deadline "$timeout"
  while before_deadline; do
    if [[ -f $dir/reply.$id ]]; then
      answer=$(cat "$dir/reply.$id")
      rm -f "$dir/reply.$id"
      [[ $answer == ok ]] || die "$command: ${answer#error: }"
      return 0
    fi
    sleep 0.1
  done
  die "$command: no answer after $timeout s"
}

cmd_start() {
  local dir='' card=0 owner=$PPID
  while (($#)); do
    case $1 in
      --card) card=${2:?}; shift 2 ;;
      --dir) dir=${2:?}; shift 2 ;;
      --owner) owner=${2:?}; shift 2 ;;
      *) die "start: unknown argument $1" ;;
    esac
  done
  [[ -n $dir ]] || dir=$(mktemp -d "${TMPDIR:-/tmp}/vistamo-pw.XXXXXX")
  local err pid deadline
  err=$(mktemp "${TMPDIR:-/tmp}/vistamo-pw-err.XXXXXX")
  setsid "$script_path" serve "$dir" --card "$card" --owner "$owner" </dev/null >/dev/null 2>"$err" &
  pid=$!
  # Five waits of at most 10 s each.
  set_deadline 60
  while before_deadline; do
    [[ -f $dir/env ]] && break
    alive "$pid" || break
    sleep 0.1
  done
  if [[ ! -f $dir/env ]]; then
    cat "$err" >&2
    rm -f "$err"
    cmd_stop "$dir" 2>/dev/null || true
    die "start: the session did not come up"
  fi
  rm -f "$err"
  printf 'export VISTAMO_PW_SESSION=%q\n' "$dir"
  local line
  while IFS= read -r line; do
    printf 'export %s=%q\n' "${line%%=*}" "${line#*=}"
  done <"$dir/env"
}

cmd_stop() {
  local dir=${1:-${VISTAMO_PW_SESSION:-}} pid i name
  # Nothing to do once it is gone.
  [[ -z $dir || -d $dir ]] || return 0
  dir=$(session_dir "$dir")
  pid=$(cat "$dir/serve.pid" 2>/dev/null || true)
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < 150; i++)); do
      alive "$pid" || break
      sleep 0.1
    done
  fi
  # Should the serving process be gone or stuck, its children are ended here.
  if alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  for name in "$dir"/pids/*; do
    [[ -f $name ]] || continue
    pid=$(cat "$name" 2>/dev/null || true)
    if [[ -n $pid ]]; then kill -KILL "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$dir"
}

cmd_record() {
  local dir='' file='' seconds='' args=()
  while (($#)); do
    case $1 in
      --dir) dir=${2:?}; shift 2 ;;
      *) args+=("$1"); shift ;;
    esac
  done
  file=${args[0]:-}
  seconds=${args[1]:-}
  [[ -n $file ]] || die "record: no file given"
  [[ -z $seconds || $seconds =~ ^[0-9]+$ ]] || die "record: whole seconds expected, got '$seconds'"
  dir=$(session_dir "$dir")
  [[ -f $dir/env ]] || die "the session at $dir is not ready"
  local line
  while IFS= read -r line; do
    export "${line?}"
  done <"$dir/env"
  local pwcat=(pw-cat --record --target vistamo-test-speakers -P '{ stream.capture.sink = true }'
    --rate "$rate" --channels 2 --format s16 --latency 20ms)
  if [[ $file == *.wav ]]; then
    if [[ -n $seconds ]]; then
      # pw-cat completes the file's header when interrupted.
      timeout -s INT "$seconds" "${pwcat[@]}" "$file" || (($? == 124))
    else
      exec "${pwcat[@]}" "$file"
    fi
  elif [[ -n $seconds ]]; then
    local bytes=$((seconds * rate * 4)) size
    { "${pwcat[@]}" - || true; } | head -c "$bytes" >"$file"
    size=$(stat -c %s "$file")
    ((size == bytes)) || die "record: got $size bytes of $bytes"
  else
    exec "${pwcat[@]}" - >"$file"
  fi
}

main() {
  # A program that ignores SIGPIPE (as the viewer does) passes that on, and
  # bash cannot undo it: the tone loops and a timed recording would then
  # outlive their readers. Start again with the default.
  if [[ -z ${VISTAMO_PW_SIGPIPE_RESET:-} ]]; then
    VISTAMO_PW_SIGPIPE_RESET=1 exec env --default-signal=PIPE "$script_path" "$@"
  fi
  unset VISTAMO_PW_SIGPIPE_RESET
  local command=${1:-}
  (($#)) && shift
  case $command in
    start) cmd_start "$@" ;;
    serve) serve "$@" ;;
    stop) cmd_stop "${1:-}" ;;
    kill-server) request "$(session_dir "${1:-}")" kill-server 10 ;;
    restart-server) request "$(session_dir "${1:-}")" restart-server 60 ;;
    record) cmd_record "$@" ;;
    *)
      sed -n '2,/^set -euo/p' "$script_path" | sed '$d' | sed 's/^# \{0,1\}//' >&2
      exit 2
      ;;
  esac
}

main "$@"
