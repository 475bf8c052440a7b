#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run, test and benchmark
# Vistamo. Prints nothing and touches nothing when they are all present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3
  libx11-dev libxext-dev libxfixes-dev libxss-dev libxrandr-dev
  libopencv-dev libturbojpeg0-dev libjpeg-dev
  libasound2-dev alsa-utils libpulse-dev
  libudev-dev libsystemd-dev dbus python3-dbusmock umockdev libumockdev-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good libgstreamer1.0-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb openbox x11-utils x11-xserver-utils xdotool imagemagick
  pipewire pipewire-bin wireplumber pipewire-alsa pipewire-pulse pulseaudio-utils
  lintian desktop-file-utils appstream
)

declare -A have=()
while read -r pkg status; do
  if [[ $status == installed ]]; then have[$pkg]=1; fi
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)

missing=()
for pkg in "${packages[@]}"; do
  [[ -n ${have[$pkg]:-} ]] || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

if ((EUID == 0)); then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run this script as root (or install sudo) to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q "${missing[@]}"
