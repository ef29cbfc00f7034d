#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time on a scratch copy of its seeds.
set -euo pipefail
bin=$1 seeds=$2 seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work/corpus/"; fi
cd "$work"
"$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 corpus 2>&1 | tail -n 15
exit "${PIPESTATUS[0]}"
