#!/usr/bin/env bash
# Runs every fuzz target of an already built fuzzing tree for a bounded time.
# Usage: scripts/fuzz-run.sh <fuzz build tree> [seconds per target]
# New inputs go to a scratch corpus, never into fuzz/corpus; a crash, a leak
# or an input that runs over 10 s leaves its input under <tree>/fuzz/artifacts
# and makes the script fail.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:?usage: fuzz-run.sh <fuzz build tree> [seconds]}
seconds=${2:-20}
targets=(json ini base64 command_line http_answer)

artifacts="$tree/fuzz/artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
for target in "${targets[@]}"; do
  exe="$tree/fuzz/fuzz_$target"
  [[ -x $exe ]] || { echo "missing $exe" >&2; failed+=("$target"); continue; }
  mkdir -p "$scratch/$target"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-")
  [[ -f $root/fuzz/$target.dict ]] && args+=(-dict="$root/fuzz/$target.dict")
  echo "== fuzz_$target for ${seconds}s"
  if ! "$exe" "${args[@]}" "$scratch/$target" "$root/fuzz/corpus/$target" \
       >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    failed+=("$target")
  else
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$scratch/$target.log" |
      tr -s ' \n' ' '
    echo
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "fuzzing: no failure in ${#targets[@]} targets"
