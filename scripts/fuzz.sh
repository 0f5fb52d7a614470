#!/usr/bin/env bash
# Builds the fuzzers with clang into build/fuzz and runs each for a bounded time. Fails on
# any crash, leak, timeout or sanitizer report, and names the input that caused it.
#
#   scripts/fuzz.sh                      every fuzzer, 60 seconds each
#   scripts/fuzz.sh -t 3600 package      one fuzzer (or several) for longer, by hand
#   scripts/fuzz.sh -l                   the fuzzers' names
#
# KORVANE_FUZZ_SECONDS sets the default time. What a run finds beyond the seeds in
# fuzz/seeds/NAME is kept in build/fuzz/runs/NAME/corpus for the next run; reproducers go
# to build/fuzz/runs/NAME/artifacts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir="$root/build/fuzz"
seconds=${KORVANE_FUZZ_SECONDS:-60}

all=()
for source in "$root"/fuzz/*_fuzzer.cpp; do
    name=$(basename "$source" _fuzzer.cpp)
    all+=("$name")
done

names=()
while [ $# -gt 0 ]; do
    case $1 in
        -t) seconds=$2; shift 2 ;;
        -l) printf '%s\n' "${all[@]}"; exit 0 ;;
        -h|--help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) names+=("$1"); shift ;;
    esac
done
[ ${#names[@]} -eq 0 ] && names=("${all[@]}")
for name in "${names[@]}"; do
    [ -e "$root/fuzz/${name}_fuzzer.cpp" ] || { echo "fuzz.sh: no fuzzer '$name'" >&2; exit 2; }
done

"$root/scripts/bootstrap.sh" programs fuzz
echo "== build (fuzz)"
"$root/scripts/build.sh" "$dir" -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_FUZZ=ON

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for name in "${names[@]}"; do
    echo "== fuzz $name (${seconds} s)"
    work="$dir/runs/$name"
    log="$work/log"
    mkdir -p "$work/corpus" "$work/artifacts"
    status=0
    "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "$root/fuzz/seeds/$name" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ] || grep -qE 'runtime error:|ERROR: (Address|Leak)Sanitizer' "$log"; then
        # The head of the report and its summary; the log's end when no report is seen.
        report=$(awk '/ERROR: |runtime error:|check failed:|ALARM:/ {on = 1}
                      on && (++n <= 30 || /^SUMMARY:/)' "$log")
        echo "${report:-$(tail -n 30 "$log")}"
        reproducer=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
        echo "fuzz $name: FAILED (exit status $status; whole log: $log)"
        if [ -n "$reproducer" ]; then
            echo "fuzz $name: reproducer $reproducer"
            echo "fuzz $name: run it again with $dir/fuzz/fuzz_$name $reproducer"
        fi
        failed+=("$name")
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec:[[:space:]]*//p' "$log")
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
    corpus=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$done_line")
    echo "fuzz $name: passed, $runs runs, $rate exec/s, coverage $cov edges, $ft features," \
        "corpus $corpus inputs"
done

# One fuzzer is one test in the closing count that scripts/test.sh adds up.
[ ${#failed[@]} -eq 0 ] || echo "fuzz: FAILED ${failed[*]}"
echo "fuzz: $((${#names[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
