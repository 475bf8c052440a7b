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

status=0
ctest --test-dir "$build_dir" --output-on-failure "$@" || status=$?
exit "$status"
