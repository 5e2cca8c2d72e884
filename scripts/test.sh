#!/usr/bin/env bash
# Sets up a fresh Debian machine (installs the missing packages) and runs every test: the normal
# build, the AddressSanitizer + UndefinedBehaviorSanitizer build, and the ThreadSanitizer build of the
# threaded tests. Builds are incremental: run it again after a change.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev zlib1g-dev libcurl4-openssl-dev libssl-dev libicu-dev
          rapidjson-dev libexpat1-dev libstb-dev libjpeg-dev libasio-dev libcpp-httplib-dev
          python3 sqlite3 openssl locales-all faketime)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan-suppressions.txt}

run_build() {
  local dir=$1
  shift
  echo "=== $dir"
  # A unity build compiles each folder's sources in batches: the shared headers are read once per
  # batch, not once per file, which halves the build.
  cmake -S . -B "$dir" -G Ninja -DLV_WERROR=ON -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_build build

# Each benchmark measures a main road beside its raw baseline; a short run prints the ratios. Every
# wait in a benchmark has a deadline and fails the benchmark when passed; a program that crashes, runs
# past its time-out, reports a failed benchmark or prints no ratio fails the run (after all have run).
echo "=== benchmarks"
bench_timeout=${LV_BENCH_TIMEOUT:-300}
bench_failures=()
for bench in $(find build/bench -type f -name 'lv_*_bench' -perm -u+x | sort); do
  status=0
  output=$(timeout --kill-after=10 "$bench_timeout" "$bench" --benchmark_min_time=0.05 --benchmark_color=false 2>&1 |
           sed 's/\x1b\[[0-9;]*m//g') || status=$?
  # Every benchmark program prints one line per ratio: "ratio … / …: N.NNx (target: …; median of 7 interleaved pairs, …)".
  ratios=$(grep -E "^ratio | / .*: [0-9]" <<<"$output" || true)
  [ -n "$ratios" ] && echo "$ratios"
  problem=
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then problem="still running after ${bench_timeout} s"
  elif [ "$status" -ne 0 ]; then problem="ended with status $status"
  elif grep -q "ERROR OCCURRED" <<<"$output"; then problem="a benchmark failed"
  elif [ -z "$ratios" ]; then problem="printed no ratio"
  fi
  if [ -n "$problem" ]; then
    echo "$(basename "$bench"): $problem"
    tail -n 20 <<<"$output"
    bench_failures+=("$(basename "$bench")")
  fi
done
if ((${#bench_failures[@]})); then
  echo "benchmarks failed: ${bench_failures[*]}"
  exit 1
fi

# Faults at exit show in a small share of runs only: many launches and page commands, none may fail.
echo "=== exit stress"
scripts/exit-stress.sh build "${LV_EXIT_STRESS_RUNS:-1000}"
# The sanitizer build uses clang, so every change is also compiled warning-free by a second compiler.
# The same build carries the libFuzzer targets (clang's libFuzzer, with ASan and UBSan): every library
# is instrumented for coverage, which the tests do not mind, and one build is saved.
run_build build-asan -DLV_SANITIZE=address -DLV_FUZZ=ON -DLV_BUILD_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# The same stress under the sanitizers, which also see what destroys or leaks without a crash (fewer
# runs: each is slower). The stand-in program comes from the normal build.
scripts/exit-stress.sh build-asan "${LV_EXIT_STRESS_ASAN_RUNS:-200}" build

# Fuzz every reader of outside input, as many targets at a time as there are cores, each for
# LV_FUZZ_SECONDS (15 by default). Each starts from the project's replies and resource files and its
# own seeds (copied: libFuzzer writes new inputs into its corpus); a crash fails the run.
echo "=== fuzz"
fuzz_one() {
  local fuzzer=$1 name corpus log
  name=$(basename "$fuzzer")
  corpus="build-asan/corpus/$name"
  log="build-asan/$name.log"
  mkdir -p "$corpus" build-asan/fuzz-artifacts
  cp tools/content-service/fixtures/*.json bundle/* "$corpus/" 2>/dev/null || true
  cp "tests/fuzz/seeds/${name#lv_fuzz_}"/* "$corpus/" 2>/dev/null || true
  if "$fuzzer" "$corpus" -max_total_time="${LV_FUZZ_SECONDS:-15}" -artifact_prefix=build-asan/fuzz-artifacts/ \
      >"$log" 2>&1; then
    echo "--- $name: $(grep -E "^Done [0-9]+ runs" "$log")"
  else
    echo "--- $name FAILED"
    tail -n 40 "$log"
    return 1
  fi
}
export -f fuzz_one
find build-asan/tests/fuzz -maxdepth 1 -type f -name 'lv_fuzz_*' -perm -u+x | sort |
  xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}

# Last, so that the test summary closes the output.
run_build build-tsan -DLV_SANITIZE=thread -DLV_BUILD_BENCH=OFF
