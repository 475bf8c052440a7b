#!/usr/bin/env bash
# Runs every test of a built tree under a private Xvfb with openbox.
# Usage: tools/run-tests.sh BUILD_DIR [ctest args...]
set -euo pipefail

if (($# < 1)); then
  echo "usage: $0 BUILD_DIR [ctest args...]" >&2
  exit 2
fi
build_dir=$1
shift

source "$(dirname "${BASH_SOURCE[0]}")/xsession.sh"
xsession_start

# Sound goes nowhere: ALSA's "default" is its null device, for this run only
# (tests that need other devices set up their own).
alsa_dir=$(mktemp -d)
cat > "$alsa_dir/asound.conf" <<'EOF'
</usr/share/alsa/alsa.conf>
!@hooks []
pcm.!default { type null }
EOF
export ALSA_CONFIG_PATH=$alsa_dir/asound.conf

status=0
ctest --test-dir "$build_dir" --output-on-failure "$@" || status=$?
rm -rf "$alsa_dir"
exit "$status"
