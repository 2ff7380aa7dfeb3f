#!/usr/bin/env bash
# Fault injection: puts each one-line fault of a list into the sources,
# rebuilds, runs the default test set and records whether a test failed.
#
#   scripts/fault-check.sh [options] RESULT.tsv
#   scripts/fault-check.sh --compare BEFORE.tsv AFTER.tsv
#
#   -s DIR        source tree (default: the repository holding this script)
#   -b DIR        build tree (default: DIR/build-faults; configured if new)
#   -f FILE       fault list (default: scripts/faults.txt of the source tree)
#   -o ID[,ID]    run only these faults
#   -j N          parallel build jobs and tests (default 2)
#   --no-control  skip the run of the clean tree that must pass first
#
# A fault whose original text does not occur exactly once in its file is
# "not applicable"; one that does not compile is "does not build". Files
# are restored after every fault, on error and on Ctrl-C. --compare lists
# faults the first run caught and the second did not, and fails if any.
set -uo pipefail

usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
die() { echo "fault-check: $*" >&2; exit 2; }

compare() {
    [ -f "$1" ] && [ -f "$2" ] || die "--compare needs two result files"
    awk -F'\t' '
        FNR == 1 { next }
        NR == FNR { before[$1] = $2; order[++n] = $1; next }
        { after[$1] = $2 }
        END {
            printf "%-26s %-16s %-16s\n", "fault", "before", "after"
            for (i = 1; i <= n; i++) {
                id = order[i]; a = (id in after) ? after[id] : "missing"
                mark = ""
                if (before[id] == "caught" && a != "caught") {
                    if (a == "not caught") { mark = "  LOST"; lost++ } else { mark = "  UNCHECKED"; unchecked++ }
                }
                printf "%-26s %-16s %-16s%s\n", id, before[id], a, mark
            }
            printf "%d caught before and not after, %d caught before and not checked after\n", lost, unchecked
            exit (lost + unchecked > 0)
        }' "$1" "$2"
}

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD="" FAULTS="" ONLY="" JOBS=2 CONTROL=1 OUT=""
while [ $# -gt 0 ]; do
    case "$1" in
    --compare) [ $# -eq 3 ] || usage; compare "$2" "$3"; exit $? ;;
    -s) SRC=$(cd "$2" && pwd) || die "no source tree $2"; shift 2 ;;
    -b) BUILD=$2; shift 2 ;;
    -f) FAULTS=$2; shift 2 ;;
    -o) ONLY=",$2,"; shift 2 ;;
    -j) JOBS=$2; shift 2 ;;
    --no-control) CONTROL=0; shift ;;
    -h|--help) usage ;;
    -*) die "unknown option $1" ;;
    *) OUT=$1; shift ;;
    esac
done
[ -n "$OUT" ] || usage
BUILD=${BUILD:-$SRC/build-faults}
FAULTS=${FAULTS:-$SRC/scripts/faults.txt}
[ -f "$FAULTS" ] || die "no fault list $FAULTS"
mkdir -p "$BUILD/fault-logs" || die "cannot create $BUILD"
BUILD=$(cd "$BUILD" && pwd)
LOGS=$BUILD/fault-logs

# The file being faulted and its saved copy; restored on any exit. A plain
# copy (new mtime) makes the next build recompile it from the original.
TMP=$(mktemp -d)
CUR_FILE=""
restore() {
    if [ -n "$CUR_FILE" ]; then
        cp "$TMP/orig" "$CUR_FILE" && CUR_FILE=""
    fi
}
trap 'restore; rm -rf "$TMP"' EXIT
trap 'echo "fault-check: interrupted, sources restored" >&2; exit 130' INT TERM

count_text() { # text file -> occurrences of text in file
    perl -0777 -ne 'BEGIN { $s = shift } $c = () = /\Q$s\E/g; END { print $c + 0 }' "$1" "$2"
}

build() { cmake --build "$BUILD" -j"$JOBS" > "$TMP/build.log" 2>&1 < /dev/null; }

# Runs the default set (tests read no input: ffmpeg children would eat the
# fault list); with a regex, the tests it names go first, only to find a
# failure sooner. Sets FIRST and NUM to the first failing test.
run_tests() {
    local log=$1 hint=$2 rc run=$TMP/run.log
    local ctest=(ctest --test-dir "$BUILD" -j"$JOBS" --timeout 600 -LE 'soak|fuzz|slow' --stop-on-failure
                 --output-on-failure)
    if [ "$hint" != "-" ]; then
        "${ctest[@]}" -R "$hint" > "$run" 2>&1 < /dev/null && "${ctest[@]}" -E "$hint" >> "$run" 2>&1 < /dev/null
    else
        "${ctest[@]}" > "$run" 2>&1 < /dev/null
    fi
    rc=$?
    cat "$run" >> "$log"
    FAILED=$(grep -E 'Test +#[0-9]+: .*\*\*\*' "$run" | head -n 1)
    NUM=$(sed -nE 's/.*Test +#([0-9]+): .*/\1/p' <<< "$FAILED")
    FIRST=$(sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/p' <<< "$FAILED")
    [ $rc -ne 0 ] && [ -z "$FIRST" ] && FIRST="(ctest exit $rc)"
    return $rc
}

# A failure counts once the failing test fails again when run alone (a
# time-out counts at once: it would take as long again); one that then
# passes is noted as flaky and the whole set is run once more. Sets RESULT
# and FIRST.
judge() {
    local log=$1 hint=$2 try flaky=""
    : > "$log"
    for try in 1 2; do
        if run_tests "$log" "$hint"; then
            RESULT="not caught"
            FIRST=${flaky:+flaky:${flaky# }}
            return
        fi
        # By name: a test's number differs between runs with and without
        # label filters; a parameterised test's name goes on after a space.
        local name_re="^$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<< "$FIRST")( |\$)"
        if [ -z "$NUM" ] || [[ "$FAILED" == *Timeout* ]] ||
            ! ctest --test-dir "$BUILD" -R "$name_re" --output-on-failure >> "$log" 2>&1 < /dev/null; then
            RESULT="caught"
            return
        fi
        flaky="$flaky $FIRST"
        echo "== $FIRST passed when run alone: running the set again" >> "$log"
    done
    RESULT="not caught"
    FIRST="flaky:${flaky# }"
}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    echo "configuring $BUILD"
    cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIPCAMERA_BENCH=OFF \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache > "$TMP/build.log" 2>&1 ||
        { cat "$TMP/build.log"; die "configure failed"; }
fi

T0=$(date +%s)
if [ $CONTROL -eq 1 ]; then
    echo "clean tree: building and running the default test set"
    build || { tail -n 30 "$TMP/build.log"; die "the clean tree does not build"; }
    judge "$LOGS/control.log" -
    [ "$RESULT" = "not caught" ] || die "the clean tree fails $FIRST (see $LOGS/control.log): fix that first"
    echo "clean tree passes ($(( $(date +%s) - T0 )) s)"
fi

printf 'id\tresult\tfirst_failing_test\tseconds\tfile\tdescription\n' > "$OUT"
printf '%-26s %-16s %-58s %6s\n' fault result "first failing test" seconds
caught=0 missed=0 na=0 nobuild=0
while IFS=$'\t' read -r -u 3 id file orig repl hint desc; do
    case "$id" in "#"*|"") continue ;; esac
    hint=${hint:--}
    [ -n "$ONLY" ] && [[ "$ONLY" != *",$id,"* ]] && continue
    t=$(date +%s)
    FIRST=""
    path=$SRC/$file
    if [ ! -f "$path" ] || [ "$(count_text "$orig" "$path")" != 1 ]; then
        result="not applicable"
    else
        cp "$path" "$TMP/orig"
        CUR_FILE=$path
        perl -0777 -i -pe 'BEGIN { $o = shift; $r = shift } s/\Q$o\E/$r/' "$orig" "$repl" "$path"
        if ! build; then
            result="does not build"
            cp "$TMP/build.log" "$LOGS/$id.log"
        else
            judge "$LOGS/$id.log" "$hint"
            result=$RESULT
        fi
        restore
    fi
    case "$result" in
    caught) caught=$((caught + 1)) ;;
    "not caught") missed=$((missed + 1)) ;;
    "not applicable") na=$((na + 1)) ;;
    *) nobuild=$((nobuild + 1)) ;;
    esac
    secs=$(( $(date +%s) - t ))
    printf '%-26s %-16s %-58s %6s\n' "$id" "$result" "${FIRST:--}" "$secs"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$result" "${FIRST:--}" "$secs" "$file" "$desc" >> "$OUT"
done 3< "$FAULTS"

# Leave the build tree matching the restored sources.
build || echo "fault-check: rebuilding the restored tree failed (see $BUILD)" >&2
echo "total $(( $(date +%s) - T0 )) s"
line="$caught caught, $missed not caught, $na not applicable"
[ $nobuild -gt 0 ] && line="$line, $nobuild do not build"
echo "$line"
