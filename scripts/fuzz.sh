#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the fuzz targets (clang with libFuzzer, Address- and
# UndefinedBehaviorSanitizer, in build-fuzz) and runs each for SECONDS (default 60), starting
# from its seed corpus and past findings. Fails when any target finds a crash or a broken
# property; the input that did it is left in build-fuzz/runs/<target>/ and belongs, once fixed,
# in fuzz/regressions/<target>/ so the ordinary suite replays it. `scripts/fuzz.sh 3600` is the
# long session.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/setup.sh
CC=clang-14 CXX=clang++-14 scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELLATRIX_FUZZ=ON -DPELLATRIX_BUILD_GUI=OFF -DBUILD_TESTING=OFF \
  -DPELLATRIX_BUILD_BENCH=OFF

targets=(list_reader path_rules scrambler wildcard_utf8 creation_run)
failed=()
summary=()
for t in "${targets[@]}"; do
  work=build-fuzz/runs/$t
  mkdir -p "$work/corpus"
  dirs=("$work/corpus" "fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  echo "fuzz: $t for ${seconds}s" >&2
  if build-fuzz/bin/fuzz_$t -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$work/" "${dict[@]}" "${dirs[@]}" >"$work/log" 2>&1; then
    status=ok
  else
    status=FOUND
    failed+=("$t")
    grep -E 'PROPERTY FAILED|ERROR:|SUMMARY:|Test unit written' "$work/log" >&2 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$work/log" | tail -1)
  summary+=("$(printf '%-14s %-5s %10s runs  %s' "$t" "$status" "${execs:-?}" "${cov:-}")")
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]} (logs and inputs under build-fuzz/runs/)" >&2
  exit 1
fi
