#!/usr/bin/env bash
# The stages of `make test`, each one line on the terminal.
#
#   scripts/stage.sh NAME CMD [ARGS...]
#       runs CMD with its whole output in build/logs/NAME.log and prints
#       "NAME: <counts> (<seconds> s, cpu <seconds> s)", the CPU time being
#       user plus system time of CMD and its children; when CMD fails, the line says FAILED
#       and the log's sanitizer verdicts (if any) and last lines follow. Always exits 0, so that every stage
#       runs; the outcome goes to build/logs/stages.tsv.
#   scripts/stage.sh --reset      forgets the stages recorded so far
#   scripts/stage.sh --summary    prints the table of the recorded stages,
#       the closing line of the last pytest stage as pytest printed it, and
#       "total: N passed, N failed" over all stages; exits 1 if any failed.
#
# Counts are read from the log: pytest's closing line, GoogleTest's
# "[  PASSED  ] N tests" lines (summed over the runs of a stage), libFuzzer's
# "Done N runs". A stage with no test counts (a fuzz run, say) counts as one
# test in the total, passed or failed.
set -uo pipefail
cd "$(dirname "$0")/.."
logs=build/logs
table=$logs/stages.tsv
tail_lines=${STAGE_TAIL:-40}
mkdir -p "$logs"

# pytest's closing line: "[=== ]624 passed, 3 skipped in 61.20s[ ===]".
pytest_line() {
    grep -E '^(=+ )?([0-9]+ [a-z]+(, )?)+ in [0-9.]+s' "$1" | tail -n 1
}

# Prints "passed failed skipped text" for a log.
counts() {
    local log=$1 line passed=0 failed=0 skipped=0 text=""
    line=$(pytest_line "$log")
    if [ -n "$line" ]; then
        text=$(grep -oE '[0-9]+ (passed|failed|errors?|skipped|xfailed|xpassed)' <<<"$line" | paste -sd, - | sed 's/,/, /g')
        get() { grep -oE "[0-9]+ $1" <<<"$line" | awk '{s += $1} END {print s + 0}'; }
        passed=$(( $(get passed) + $(get xpassed) ))
        failed=$(( $(get failed) + $(get 'errors?') ))
        skipped=$(( $(get skipped) + $(get xfailed) ))
    elif grep -qE '^\[  PASSED  \] [0-9]+ test' "$log"; then
        sum() { grep -E "^\[ *$1 *\] [0-9]+ tests?[,.]" "$log" | awk '{s += $4} END {print s + 0}'; }
        passed=$(sum PASSED) failed=$(sum FAILED) skipped=$(sum SKIPPED)
        local runs
        runs=$(grep -cE '^\[==========\] [0-9]+ tests? from .* ran' "$log")
        text="$passed passed"
        [ "$failed" -gt 0 ] && text+=", $failed failed"
        [ "$skipped" -gt 0 ] && text+=", $skipped skipped"
        [ "$runs" -gt 1 ] && text+=" in $runs runs"
    elif line=$(grep -E '^Done [0-9]+ runs in' "$log" | tail -n 1) && [ -n "$line" ]; then
        text="$(awk '{print $2}' <<<"$line") runs"
    fi
    printf '%s\t%s\t%s\t%s\n' "$passed" "$failed" "$skipped" "$text"
}

case "${1:-}" in
--reset)
    rm -f "$table"
    exit 0
    ;;
--summary)
    echo "== summary (logs in $logs/) =="
    total_passed=0 total_failed=0 total_skipped=0 bad=0 last_pytest=""
    total_secs=0 total_cpu=0
    while IFS=$'\t' read -r name status passed failed skipped secs cpu text; do
        total_secs=$((total_secs + secs)) total_cpu=$((total_cpu + cpu))
        if [ "$status" = 0 ]; then
            printf '%-13s %s (%s s, cpu %s s)\n' "$name:" "${text:-ok}" "$secs" "$cpu"
        else
            printf '%-13s FAILED (exit %s)%s (%s s, cpu %s s)\n' "$name:" "$status" "${text:+, $text}" "$secs" "$cpu"
            bad=1
        fi
        if [ $((passed + failed + skipped)) -eq 0 ]; then  # a stage without test counts
            if [ "$status" = 0 ]; then passed=1; else failed=1; fi
        elif [ "$status" != 0 ] && [ "$failed" -eq 0 ]; then
            failed=1  # tests passed, yet the stage failed (a crash at exit, say)
        fi
        total_passed=$((total_passed + passed)) total_failed=$((total_failed + failed))
        total_skipped=$((total_skipped + skipped))
        line=$(pytest_line "$logs/$name.log")
        [ -n "$line" ] && last_pytest=$line
    done <"$table"
    [ -n "$last_pytest" ] && echo "$last_pytest"
    skipped_text=""
    [ "$total_skipped" -gt 0 ] && skipped_text=", $total_skipped skipped"
    echo "total: $total_passed passed, $total_failed failed$skipped_text ($total_secs s, cpu $total_cpu s)"
    exit $bad
    ;;
esac

name=$1
shift
log=$logs/$name.log
# bash's `time` reports the wall time and the CPU time (user + system) of the
# command and every child it waited for: the CPU time stays meaningful on a
# machine shared with other jobs, where the wall time does not.
TIMEFORMAT='%R %U %S'
{ time "$@" >"$log" 2>&1 </dev/null; } 2>"$log.time"
status=$?
read -r wall user sys <"$log.time"
rm -f "$log.time"
secs=$(printf '%.0f' "$wall")
cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN {printf "%.0f", u + s}')
IFS=$'\t' read -r passed failed skipped text < <(counts "$log")
printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$status" "$passed" "$failed" "$skipped" "$secs" "$cpu" "$text" >>"$table"
if [ "$status" = 0 ]; then
    printf '%-13s %s (%s s, cpu %s s)\n' "$name:" "${text:-ok}" "$secs" "$cpu"
else
    printf '%-13s FAILED (exit %s)%s (%s s, cpu %s s); the end of %s:\n' "$name:" "$status" "${text:+, $text}" "$secs" "$cpu" "$log"
    # A sanitizer's verdict comes well before the end of its report.
    verdicts=$(grep -m 5 -E '==[0-9]+== ?ERROR: |^SUMMARY: |runtime error: ' "$log")
    [ -n "$verdicts" ] && sed 's/^/    /; $a\    ...' <<<"$verdicts"
    tail -n "$tail_lines" "$log" | sed 's/^/    /'
fi
exit 0
