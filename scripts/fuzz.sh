#!/usr/bin/env bash
# Builds a libFuzzer target of fuzz/ (clang, ASan + UBSan, the module's
# sources instrumented too; the targets share fuzz/oracle.cpp) and runs it for
# SECONDS (default 60) on its working corpus seeded from fuzz/seeds/ and
# fuzz/regressions/.
#
#   bash scripts/fuzz.sh [SECONDS]              fuzz_loads, the decoder (Debian's libpython3.11)
#   bash scripts/fuzz.sh --refcount [SECONDS]   against Debian's debug libpython3.11d:
#                                               also checks the total reference count
#                                               around every input ("refcount drift")
#   bash scripts/fuzz.sh --roundtrip [SECONDS]  the target fuzz_roundtrip: every tree
#                                               that decodes is encoded again natively
#                                               and decoded again (combines with --refcount)
#   bash scripts/fuzz.sh --arrow [SECONDS]      the target fuzz_arrow: loads_arrow's table
#                                               against loads' rows
#   bash scripts/fuzz.sh --target NAME [SECONDS]  a target by name (fuzz_loads,
#                                               fuzz_roundtrip, fuzz_arrow)
#   bash scripts/fuzz.sh --build-only [--refcount] [--roundtrip|--arrow|--target NAME|--all]
#                                               (--all: every target)
#
# Environment: WEXO_FUZZ_JOBS (parallel fuzzing processes, default 1),
# WEXO_FUZZ_MAX_LEN (default 16384), WEXO_FUZZ_ARGS (extra libFuzzer flags),
# WEXO_FUZZ_REINIT=N (finalise and initialise the interpreter again every N
# inputs; leak detection is then off, as the interpreter's own finalisation
# leaves blocks behind).
#
# Exit status: 0 when the run ends without a finding. On a finding (crash,
# sanitizer report, harness abort, leak, timeout or out-of-memory) the input
# is copied into fuzz/regressions/ (commit it there), and the status is 1.
# A run interrupted (Ctrl-C) without a finding ends with status 130.
# Prerequisites that are missing are installed (Debian packages, and cmake
# and ninja from PyPI when the ones found are missing or too old).
set -euo pipefail
cd "$(dirname "$0")/.."

TARGETS="fuzz_loads fuzz_roundtrip fuzz_arrow"
usage="usage: $0 [--refcount] [--roundtrip|--arrow|--target NAME] [--build-only [--all]] [SECONDS]"
mode=normal
build_only=0
target=fuzz_loads
secs=60
want_target=0
for a in "$@"; do
  if [ "$want_target" = 1 ]; then
    target=$a
    want_target=0
    continue
  fi
  case "$a" in
    --refcount) mode=refcount ;;
    --build-only) build_only=1 ;;
    --roundtrip) target=fuzz_roundtrip ;;
    --arrow) target=fuzz_arrow ;;
    --target) want_target=1 ;;
    --target=*) target=${a#--target=} ;;
    --all) target=all ;;
    -h|--help) sed -n '2,32p' "$0"; exit 0 ;;
    *[!0-9]*|'') echo "$usage" >&2; exit 2 ;;
    *) secs=$a ;;
  esac
done
case " $TARGETS all " in
  *" $target "*) ;;
  *) echo "fuzz.sh: no target $target (have: $TARGETS)" >&2; exit 2 ;;
esac
if [ "$target" = all ] && [ "$build_only" = 0 ]; then
  echo "fuzz.sh: --all only with --build-only; run the targets one at a time" >&2
  exit 2
fi

CLANG=clang++-14
if [ "$mode" = refcount ]; then
  PY=/usr/bin/python3.11d
  debs="clang-14 python3.11-dbg libpython3.11-dbg"
  build=build/fuzz-refcount
  extra_cmake=(-DWEXO_FUZZ_REFCOUNT=ON)
else
  PY=/usr/bin/python3.11
  debs="clang-14 python3.11 libpython3.11-dev"
  build=build/fuzz
  extra_cmake=(-DWEXO_FUZZ_REFCOUNT=OFF)
fi

# ---- prerequisites
missing=""
for p in $debs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "fuzz.sh: installing$missing"
  if [ "$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $missing
fi
fuzzer_rt=$("$CLANG" -print-file-name=libclang_rt.fuzzer-x86_64.a)
if [ ! -e "$fuzzer_rt" ]; then
  echo "fuzz.sh: libFuzzer runtime not found ($fuzzer_rt)" >&2
  exit 1
fi
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
ensure_cmake python3

# ---- build (out of tree)
mkdir -p build
# nanoarrow is C: clang for it too. A build directory configured earlier with
# another C compiler is configured afresh.
CC_CLANG=${CLANG/clang++/clang}
if [ -f "$build/CMakeCache.txt" ] \
    && ! grep -q "^CMAKE_C_COMPILER:[A-Z]*=.*/$CC_CLANG\$" "$build/CMakeCache.txt"; then
  rm -f "$build/CMakeCache.txt"
fi
CXX="$CLANG" CC="$CC_CLANG" cmake -S . -B "$build" -G Ninja -DWEXO_FUZZ=ON "${extra_cmake[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$PY" >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
if [ "$target" = all ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" --target $TARGETS
  echo "fuzz.sh: built $(for t in $TARGETS; do printf '%s ' "$build/$t"; done)($mode)"
  exit 0
fi
cmake --build "$build" --target "$target"
bin="$build/$target"
echo "fuzz.sh: built $bin ($mode)"
[ "$build_only" = 1 ] && exit 0

# ---- run
# Each target keeps its own working corpus (its coverage differs) and log.
if [ "$target" != fuzz_loads ]; then
  short=${target#fuzz_}
  work=fuzz/corpus-$short
  artifacts="$build/artifacts-$short"
  log="$build/fuzz-$short.log"
else
  work=fuzz/corpus-work
  artifacts="$build/artifacts"
  log="$build/fuzz.log"
fi
mkdir -p "$work" "$artifacts" fuzz/regressions
rm -f "$artifacts"/*
export ASAN_OPTIONS="quarantine_size_mb=16:malloc_context_size=30:allocator_may_return_null=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
jobs=${WEXO_FUZZ_JOBS:-1}
parallel=()
reinit=()
if [ -n "${WEXO_FUZZ_REINIT:-}" ]; then
  reinit=(-detect_leaks=0)
  ASAN_OPTIONS="detect_leaks=0:$ASAN_OPTIONS"
  export WEXO_FUZZ_REINIT
fi
if [ "$jobs" -gt 1 ]; then parallel=(-fork="$jobs" -ignore_crashes=0); fi
echo "fuzz.sh: fuzzing for ${secs}s, corpus $work (seeds: fuzz/seeds, fuzz/regressions)"
start=$(date +%s)
set +e
# shellcheck disable=SC2086
"$bin" -max_total_time="$secs" -max_len="${WEXO_FUZZ_MAX_LEN:-16384}" -rss_limit_mb=4096 \
  -timeout=60 -dict=fuzz/wexo.dict -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "${parallel[@]}" "${reinit[@]}" ${WEXO_FUZZ_ARGS:-} "$work" fuzz/seeds fuzz/regressions 2>&1 | tee "$log" \
  | grep --line-buffered -E 'INITED|DONE|pulse|ERROR|FINDING|SUMMARY|==[0-9]+==|stat::|round trip|loads_arrow:|dumps_arrow:'
status=${PIPESTATUS[0]}
set -e
elapsed=$(( $(date +%s) - start ))

# ---- report
last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{s+=$2} END {print s+0}')
[ "$execs" = 0 ] && execs=$(echo "$last" | sed -n 's/^#\([0-9]*\).*/\1/p')
echo "fuzz.sh: ---- summary ($target, $mode)"
echo "fuzz.sh: time ${elapsed}s, executions ${execs:-?}, exec/s $(( ${execs:-0} / (elapsed > 0 ? elapsed : 1) ))"
echo "fuzz.sh: coverage: $(echo "$last" | grep -o 'cov: [0-9]*' || echo '?') edges," \
     "$(echo "$last" | grep -o 'ft: [0-9]*' || echo '?') features"
echo "fuzz.sh: working corpus: $(find "$work" -type f | wc -l) files"

found=$(find "$artifacts" -type f | wc -l)
# libFuzzer exits with 72 when interrupted (Ctrl-C): not a finding, nor a full run.
if [ "$status" -eq 72 ] && [ "$found" -eq 0 ]; then
  echo "fuzz.sh: interrupted after ${elapsed}s of ${secs}s; no findings"
  exit 130
fi
if [ "$status" -ne 0 ] || [ "$found" -gt 0 ]; then
  for f in "$artifacts"/*; do
    [ -e "$f" ] || continue
    kind=$(basename "$f" | sed 's/-.*//')
    dest="fuzz/regressions/$kind-$(sha1sum "$f" | cut -c1-16)"
    cp "$f" "$dest"
    echo "fuzz.sh: FINDING ($kind) saved as $dest: commit it; reproduce with $bin $dest"
  done
  echo "fuzz.sh: FAILED (libFuzzer status $status, $found finding(s)); log in $log" >&2
  exit 1
fi
echo "fuzz.sh: no findings"
