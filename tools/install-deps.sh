#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run, test and benchmark
# Vistamo. Prints nothing and touches nothing when they are all present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3
  libx11-dev libxext-dev libxfixes-dev libxss-dev libxrandr-dev libxinerama-dev
  libopencv-dev libturbojpeg0-dev libjpeg-dev
  libasound2-dev alsa-utils libpulse-dev
  libudev-dev libsystemd-dev dbus python3-dbusmock umockdev libumockdev-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good libgstreamer1.0-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb openbox x11-utils x11-xserver-utils xdotool imagemagick
  pipewire pipewire-bin wireplumber pipewire-alsa pipewire-pulse pulseaudio-utils
  lintian desktop-file-utils appstream
)
# The other window managers the wm-labelled cases run under. Their
# recommends stay out: through zenity, mutter's would add GStreamer's bad,
# libav and GL plugins, and with those GStreamer's registry makes GLib grow
# its quark table, which LeakSanitizer then reports as a leak in every case
# that opens the virtual stick.
packages_without_recommends=(mutter xfwm4)

declare -A have=()
while read -r pkg status; do
  if [[ $status == installed ]]; then have[$pkg]=1; fi
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" "${packages_without_recommends[@]}" \
  2>/dev/null || true)

missing=() missing_without_recommends=()
for pkg in "${packages[@]}"; do
  [[ -n ${have[$pkg]:-} ]] || missing+=("$pkg")
done
for pkg in "${packages_without_recommends[@]}"; do
  [[ -n ${have[$pkg]:-} ]] || missing_without_recommends+=("$pkg")
done
((${#missing[@]} + ${#missing_without_recommends[@]})) || exit 0

if ((EUID == 0)); then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: missing packages: ${missing[*]} ${missing_without_recommends[*]}" >&2
  echo "install-deps: run this script as root (or install sudo) to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]} ${missing_without_recommends[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
if ((${#missing[@]})); then
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q "${missing[@]}"
fi
if ((${#missing_without_recommends[@]})); then
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing_without_recommends[@]}"
fi
