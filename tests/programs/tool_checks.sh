#!/bin/bash
# Command-line checks of the project's tools.
#   tool_checks.sh CHECK TESK_FRAME TESK_BENCH TESK_PLASMA
set -u
check=$1
frame=$2
bench=$3
plasma=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() {
    echo "FAIL($check): $*" >&2
    echo "--- stdout:" >&2; head -c 2000 out >&2
    echo "--- stderr:" >&2; head -c 2000 err >&2
    exit 1
}
run() {
    rc=0
    timeout 240 "$@" >out 2>err || rc=$?
}
expect_rc() { [ "$rc" = "$1" ] || fail "exit status $rc, expected $1"; }
# A refused command line: status 1 and exactly one line on stderr.
expect_refused() {
    run "$@"
    expect_rc 1
    [ "$(wc -l <err)" = 1 ] || fail "expected one line on stderr for: $*"
}

case $check in
frame)
    run "$frame" -help
    expect_rc 0
    grep -q '^usage: tesk-frame' out || fail "no usage text"
    expect_refused "$frame" -size 0
    expect_refused "$frame" -size 12x
    expect_refused "$frame" -t -1
    expect_refused "$frame" -t
    expect_refused "$frame" -bogus
    run "$frame" -heightmap nowhere.bmp
    expect_rc 1
    grep -q 'doh! sorry sir, not found.' err || fail "missing heightmap not reported"
    [ ! -e tesk-frame.bmp ] || fail "wrote a frame without a heightmap"

    "$plasma" -size 129 -seed 3 map.bmp 2>/dev/null || fail "tesk-plasma failed"
    run "$frame" -size 64 -t 2.5 -heightmap map.bmp a.bmp
    expect_rc 0
    [ ! -s out ] || fail "wrote to stdout"
    [ "$(stat -c %s a.bmp)" = $((54 + 64 * 64 * 3)) ] || fail "a.bmp has the wrong size"
    run "$frame" -size 64 -t 2.5 -heightmap map.bmp b.bmp
    cmp -s a.bmp b.bmp || fail "the same moment gave different frames"
    run "$frame" -size 64 -t 2.5 -heightmap map.bmp /nonexistent-dir/c.bmp
    expect_rc 1
    grep -q "cannot write" err || fail "unwritable output not reported"
    ;;
bench)
    expect_refused "$bench" -frames 0
    expect_refused "$bench" -frames many
    expect_refused "$bench" -xml
    run "$bench" -frames 2 -csv
    expect_rc 0
    [ "$(head -1 out)" = "renderer,frames,ms_per_frame,fps,mrays_per_s,hit_fraction,checksum" ] ||
        fail "csv header"
    for r in mlrta single-ray per-pixel; do
        grep -Eq "^$r,2,[0-9.]+,[0-9.]+,[0-9.]+,0\.[0-9]{4},[0-9a-f]{16}\$" out || fail "row $r"
    done
    grep -Eq '^peak_memory_kib,[0-9]+$' out || fail "peak memory"
    cp out first.csv
    run "$bench" -frames 2 -csv
    diff <(cut -d, -f1,6,7 first.csv) <(cut -d, -f1,6,7 out) >/dev/null ||
        fail "hit fractions or checksums differ between runs"
    run "$bench" -frames 1 -json
    expect_rc 0
    grep -q '"name": "per-pixel"' out || fail "json renderers"
    ;;
*)
    fail "unknown check"
    ;;
esac
exit 0
