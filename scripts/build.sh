#!/usr/bin/env bash
# Configures and builds one build tree:
#
#   scripts/build.sh DIR [--target TARGET]... [cmake options...]
#
# Without a target it builds everything (the programs, tests and benchmarks); the target
# "programs" builds the three programs alone. Progress is one line that keeps being rewritten on a terminal, and a line every tenth
# of the way otherwise; the compilers' messages pass through, and a build with nothing
# to do prints nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
targets=()
options=()
while [ $# -gt 0 ]; do
    case "$1" in
    --target) targets+=(--target "$2"); shift 2 ;;
    *) options+=("$1"); shift ;;
    esac
done

# Configuring a tree again takes a fraction of a second; only a new one is worth a word.
[ -f "$dir/build.ninja" ] || echo "  configuring $dir"
cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >/dev/null

# Ninja's own "[step/total] what" lines become the progress; CMake's report when it
# configures again on its own is left out; every other line is passed on.
progress() {
    local line step total percent shown=-10 terminal= drawn=
    [ -t 1 ] && terminal=1
    while IFS= read -r line; do
        if [[ "$line" =~ ^\[0/[0-9]+\]\  ]]; then
            continue  # checks that come before any work
        elif [[ "$line" =~ ^\[([0-9]+)/([0-9]+)\]\  ]]; then
            step=${BASH_REMATCH[1]}
            total=${BASH_REMATCH[2]}
            percent=$((step * 100 / total))
            if [ -n "$terminal" ]; then
                printf '\r\033[K  building %s: %3d%% (%d/%d)' "$name" "$percent" "$step" "$total"
                drawn=1
            elif [ "$percent" -ge $((shown + 10)) ] || [ "$step" -eq "$total" ]; then
                shown=$((percent / 10 * 10))
                printf '  building %s: %3d%% (%d/%d)\n' "$name" "$percent" "$step" "$total"
            fi
        elif [[ ! "$line" =~ ^(ninja:\ no\ work\ to\ do\.|--\ |Re-running\ CMake) ]]; then
            [ -n "$drawn" ] && printf '\r\033[K'
            printf '%s\n' "$line"
        fi
    done
    [ -z "$drawn" ] || printf '\n'
}

name=$(basename "$dir")
cmake --build "$dir" -j "$(nproc)" "${targets[@]}" 2>&1 | progress
