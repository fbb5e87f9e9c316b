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
# FNV-1a of an N x N 24-bit BMP (N a multiple of 4: no row padding) over
# its pixels as tesk-bench hashes a frame: top row first, red, green, blue.
bmp_checksum() {
    local file=$1 n=$2 row=$((3 * $2)) h=-3750763034362895579 y x i c
    local -a b
    read -ra b <<<"$(od -An -v -tu1 -j54 "$file" | tr -s ' \n' '  ')"
    for ((y = n - 1; y >= 0; y--)); do
        for ((x = 0; x < n; x++)); do
            i=$((y * row + 3 * x))
            for c in $((i + 2)) $((i + 1)) $i; do
                h=$(((h ^ b[c]) * 1099511628211))
            done
        done
    done
    printf '%016x\n' "$h"
}
# csv_field NAME COLUMN: a column of the row NAME of the csv in out.
csv_field() { grep "^$1," out | cut -d, -f"$2"; }
# The peer's rows in out (a -peer -csv run of N frames) and its agreement
# with the project's single rays: hit shares within 0.1 %, t within 1e-4
# relative where both hit, on all but a handful of rays.
check_peer() {
    local n=$1 r
    for r in embree-1 embree-8; do
        grep -Eq "^$r,$n,[0-9.]+,[0-9.]+,[0-9.]+,0\.[0-9]{4},\$" out || fail "row $r"
    done
    local rays hitDiff tDiff
    rays=$(csv_field peer_rays_compared 2)
    hitDiff=$(csv_field peer_hit_disagreements 2)
    tDiff=$(csv_field peer_t_disagreements 2)
    [ -n "$rays" ] && [ -n "$hitDiff" ] && [ -n "$tDiff" ] || fail "peer agreement lines"
    [ $((hitDiff * 1000)) -le "$rays" ] || fail "hit or miss differs on $hitDiff of $rays rays"
    [ "$tDiff" -le 10 ] || fail "t differs by more than 1e-4 on $tDiff of" \
        "$(csv_field peer_both_hit 2) rays that both hit"
    awk -v a="$(csv_field embree-8 6)" -v b="$(csv_field single-ray 6)" \
        'BEGIN { d = a - b; exit !(d <= 0.001 && d >= -0.001) }' || fail "packet hit share"
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
    run "$bench" -frames 1 -size 64 -json
    expect_rc 0
    grep -q '"name": "per-pixel"' out || fail "json renderers"
    grep -q '"size": \[64, 64\]' out || fail "json size"

    expect_refused "$bench" -size 0
    expect_refused "$bench" -size 4097
    expect_refused "$bench" -size 12x
    expect_refused "$bench" -flight sideways
    expect_refused "$bench" -repeat 0
    expect_refused "$bench" -repeat 101
    expect_refused "$bench" -frames
    expect_refused "$bench" -heightmap map.bmp
    run "$bench" -flight interactive -heightmap nowhere.bmp
    expect_rc 1
    grep -q 'doh! sorry sir, not found.' err || fail "missing heightmap not reported"
    [ ! -s out ] || fail "results without a heightmap"

    "$plasma" -size 129 -seed 5 map.bmp 2>/dev/null || fail "tesk-plasma failed"
    run "$bench" -flight interactive -heightmap map.bmp -frames 3 -size 48 -csv
    expect_rc 0
    for r in mlrta single-ray per-pixel; do
        grep -Eq "^$r,3,[0-9.]+,[0-9.]+,[0-9.]+,[01]\.[0-9]{4},[0-9a-f]{16}\$" out || fail "row $r"
    done
    grep -qx 'flight,interactive' out && grep -qx 'size,48' out || fail "flight and size lines"
    cp out first.csv
    run "$bench" -flight interactive -heightmap map.bmp -frames 3 -size 48 -csv
    diff <(cut -d, -f1,6,7 first.csv) <(cut -d, -f1,6,7 out) >/dev/null ||
        fail "interactive flight: hit fractions or checksums differ between runs"
    # Its first frame is the picture tesk shows at t = 0.
    run "$bench" -flight interactive -heightmap map.bmp -frames 1 -size 48 -csv
    expect_rc 0
    "$frame" -size 48 -t 0 -heightmap map.bmp f.bmp 2>/dev/null || fail "tesk-frame failed"
    [ "$(csv_field per-pixel 7)" = "$(bmp_checksum f.bmp 48)" ] ||
        fail "first interactive frame differs from tesk-frame's"
    [ "$(csv_field per-pixel 7)" != "$(grep '^per-pixel,' first.csv | cut -d, -f7)" ] ||
        fail "the interactive flight does not move"

    # The last frames of both flights, byte for byte as the renderers drew
    # them before their walks took SIMD lanes, packets and entry points.
    expect_checksums() {
        local r sum
        for r in mlrta single-ray per-pixel; do
            sum=$1
            shift
            [ "$(csv_field $r 7)" = "$sum" ] || fail "$r: checksum $(csv_field $r 7), expected $sum"
        done
    }
    # Repeated runs take turns and must each draw the same pictures.
    run "$bench" -frames 3 -size 128 -csv -repeat 2
    expect_rc 0
    grep -qx 'repeat,2' out || fail "repeat line"
    expect_checksums dbc0b30cf3b683e4 9b92c918e5548067 ca2edfae934318ca
    "$plasma" -size 257 -seed 5 map257.bmp 2>/dev/null || fail "tesk-plasma failed"
    run "$bench" -flight interactive -heightmap map257.bmp -frames 3 -size 128 -csv
    expect_rc 0
    expect_checksums 0018c5a55c5a5898 a96c00e7e43d56a2 f74661f076b392a5
    ;;
bench_peer)
    if [ "${TESK_PEER_BUILT:-0}" != 1 ]; then
        expect_refused "$bench" -peer
        grep -q 'not built' err || fail "-peer without Embree not explained"
        exit 0
    fi
    # A small map and an odd frame side: packets cut at the frame's edges.
    # The peer keeps to the walk's instruction set.
    "$plasma" -size 129 -seed 5 map.bmp 2>/dev/null || fail "tesk-plasma failed"
    run "$bench" -peer -flight interactive -heightmap map.bmp -frames 2 -size 29 -csv -repeat 2 \
        -walk sse2
    expect_rc 0
    check_peer 2
    grep -qx 'peer_max_isa,sse2' out || fail "the peer's instruction sets under -walk sse2"
    grep -qx 'single_ray_walk,sse2' out || fail "single rays' walk under -walk sse2"
    # Agreement is counted over one run of the frames, not every repetition.
    [ "$(csv_field peer_rays_compared 2)" = $((2 * 29 * 29)) ] || fail "rays compared"
    # The full map takes about 1 GiB in Embree: not under the sanitizers.
    [ "${TESK_SANITIZED:-0}" = 1 ] && exit 0
    run "$bench" -peer -frames 3 -csv
    expect_rc 0
    check_peer 3
    grep -qx 'peer_triangles,8388608' out || fail "the peer's triangle count"
    walk=$(csv_field walk 2)
    [ "$(csv_field peer_max_isa 2)" = "${walk/plain/sse2}" ] || fail "the peer's instruction sets"
    ;;
*)
    fail "unknown check"
    ;;
esac
exit 0
