#!/bin/bash
# Builds the pulse-file fuzzer and runs it for SECONDS seconds in total.
#
#   fuzz/run.sh SECONDS
#
# Environment: PYTHON (an interpreter with the nlohmann-json package, default python3),
# CXX (a clang++ with libFuzzer; default the newest clang++-NN found), ZPR_FUZZ_DIR (work
# directory, default /tmp/zpr-fuzz; the corpus there grows from run to run), ZPR_FUZZ_CXXFLAGS
# (extra compiler flags).
#
# Oversized allocations (-malloc_limit_mb) and memory growth (-rss_limit_mb) count as
# findings, as do crashes, sanitizer reports, leaks and slow inputs (-timeout). After a
# finding the fuzzer is started again on the grown corpus until the time is used up; every
# finding is left in $ZPR_FUZZ_DIR/artifacts and listed at the end. The script fails when
# there is any.
set -euo pipefail

seconds=${1:?usage: fuzz/run.sh SECONDS}
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${ZPR_FUZZ_DIR:-/tmp/zpr-fuzz}
python=${PYTHON:-python3}
if [[ -z ${CXX:-} ]]; then
    CXX=$(compgen -c clang++ | grep -E '^clang\+\+(-[0-9]+)?$' | sort -t- -k2 -n | tail -1)
fi
[[ -n $CXX ]] || { echo "no clang++ found (apt-get install clang libclang-rt-dev)" >&2; exit 2; }

json_include=$("$python" -c "import nlohmann_json; print(nlohmann_json.get_include())")
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts" "$work/logs"

echo "building with $CXX"
mapfile -t sources < <(find "$repo/core" -name '*.cpp' | sort)
# shellcheck disable=SC2086
"$CXX" -std=c++20 -O1 -g -fno-omit-frame-pointer ${ZPR_FUZZ_CXXFLAGS:-} \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$repo/core" -isystem "$json_include" \
    "$repo/fuzz/fuzz_pulse_file.cpp" "${sources[@]}" -o "$work/fuzz_pulse_file"

"$python" "$repo/fuzz/make_seeds.py" "$work/seeds"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
start=$SECONDS
deadline=$((SECONDS + seconds))
total_units=0
round=0
while ((SECONDS < deadline)); do
    round=$((round + 1))
    log="$work/logs/run-$(date +%Y%m%d-%H%M%S)-$round.log"
    known=$(find "$work/artifacts" -type f | sort)
    # One process (the machine is shared); the first corpus directory receives new inputs.
    "$work/fuzz_pulse_file" "$work/corpus" "$work/seeds" \
        -max_total_time=$((deadline - SECONDS)) -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -malloc_limit_mb=512 -handle_xfsz=0 -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" >"$log" 2>&1 || true
    # A round cut short by a finding prints no stats; count its runs from the last status line.
    units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    [[ -n $units ]] || units=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#')
    total_units=$((total_units + ${units:-0}))
    if grep -q 'Test unit written' "$log"; then
        echo "round $round: finding, see $log"
        grep -E '^==[0-9]+==|^SUMMARY|runtime error|Test unit written' "$log" | head -6
        if [[ $(find "$work/artifacts" -type f | sort) == "$known" ]]; then
            echo "the same finding again: stopping early"
            break
        fi
    fi
done

echo "fuzzed $((SECONDS - start))s in $round round(s): $total_units executions"
echo "corpus: $(find "$work/corpus" -type f | wc -l) inputs in $work/corpus"
findings=$(find "$work/artifacts" -type f | wc -l)
echo "findings: $findings in $work/artifacts"
((findings == 0))
