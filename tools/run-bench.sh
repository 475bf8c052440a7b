#!/usr/bin/env bash
# Runs every benchmark of a built tree under a private Xvfb with openbox.
# Usage: tools/run-bench.sh BUILD_DIR [benchmark args...]
set -euo pipefail

if (($# < 1)); then
  echo "usage: $0 BUILD_DIR [benchmark args...]" >&2
  exit 2
fi
build_dir=$1
shift

benches=()
for f in "$build_dir"/bench/bench_*; do
  if [[ -f $f && -x $f ]]; then benches+=("$f"); fi
done
if ((${#benches[@]} == 0)); then
  echo "no benchmarks yet"
  exit 0
fi

source "$(dirname "${BASH_SOURCE[0]}")/xsession.sh"
xsession_start

status=0
for b in "${benches[@]}"; do
  echo "== $(basename "$b")"
  "$b" "$@" || status=1
done
exit "$status"
