#!/bin/bash
# Whole-program checks of the application shell.
#   program_checks.sh CHECK TESK TESK_SHORT TESK_BLINK MAKE_BMP TESK_PLASMA
# TESK_SHORT runs 3 s interactive / 2 s benchmark, TESK_BLINK 1 s / 2 s; both
# render 64x64 interactively. Runs happen in a scratch working directory.
set -u
check=$1
tesk=$2
short=$3
blink=$4
mkbmp=$5
plasma=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

STARS='*************************************'
SUBS='-------------------------------------'
BANNER="$STARS"$'\nthis is [tesk]\n'
USAGE="$BANNER$SUBS"$'\nusage:\n tesk [-benchmark[-no-vid]]\n'"$STARS"$'\n'
BENCH_START="$BANNER$STARS"$'\npremiere qkd-benchmark\n'"$SUBS"$'\n'
RIPPLES=$'creating heightmap{\n  allocating 8.008 M...success\n'
RIPPLES+=$'  now initializing h-map...outrageous\n}\n'
LOADING=$'creating heightmap{\n  trying to load file `gimp.plasma.bmp`...'
# A progress line of the benchmark and a status line of the interactive run.
PROGRESS=$'\r''frame\([0-9]+\), avg-fps\([0-9]+\.[0-9]{4}\), t_left=[0-9]+    '
STATUS=$'\r''\[tesk-ray\{benching [01]\}\]@[0-9]+fps \([0-9]+\.[0-9]avg\)'

fail() {
    echo "FAIL($check): $*" >&2
    echo "--- stderr of the program:" >&2
    od -c err | head -40 >&2
    exit 1
}

# run [VAR=value...] PROGRAM [ARGS...]: stdout to ./out, stderr to ./err.
run() {
    rc=0
    timeout 240 env "$@" >out 2>err || rc=$?
}

expect_rc() { [ "$rc" = "$1" ] || fail "exit status $rc, expected $1"; }
expect_quiet_stdout() { [ ! -s out ] || fail "wrote to stdout: $(head -c 200 out)"; }

# The file (default ./err) is exactly / begins with / ends with the text.
expect_all() { printf '%s' "$1" | cmp -s - "${2:-err}" || fail "stderr differs"; }
expect_prefix() {
    local n
    n=$(printf '%s' "$1" | wc -c)
    head -c "$n" "${2:-err}" | cmp -s - <(printf '%s' "$1") || fail "stderr begins differently"
}
expect_suffix() {
    local n
    n=$(printf '%s' "$1" | wc -c)
    tail -c "$n" "${2:-err}" | cmp -s - <(printf '%s' "$1") || fail "stderr ends differently"
}

# Number after a "  <label>: " line of the statistics.
stat_value() { grep -a "^  $1" err | tail -1 | sed -E 's/^[^:]*: ([-0-9.]+).*/\1/'; }

interactive_stats() {  # ENDING LIMIT MIN MAX, with frames and average normalised
    sed -E -e 's/^(  total frames: )[0-9]+$/\1N/' \
        -e 's/^(  average rate: )[0-9]+\.[0-9]{2}( fps)$/\1X\2/' err >errn
    local want=$'\n'"$SUBS"$'\n\n[tesk] 64x64\n-general\n  total frames: N\n'
    want+="  bench time..: $2 sec"$'\n  average rate: X fps\n'
    want+="  minimum rate: $3 fps"$'\n'"  maximum rate: $4 fps"$'\nthx. bye o/\n\n'"$STARS"$'\n'
    expect_suffix "$want" errn
    frames=$(stat_value "total frames")
    [ "$frames" -ge 1 ] || fail "no frame rendered"
}

benchmark_stats() {  # the statistics block, exact, for the frames it reports
    frames=$(stat_value "frames measured")
    [ -n "$frames" ] || fail "no statistics"
    rate=$(awk -v n="$frames" 'BEGIN { printf "%.4f", n * 0.5 }')
    local want=$'\n'"$SUBS"$'\n\n[tesk] 512x512\n-general\n'
    want+="  frames measured: $frames"$'\n  bench time.....: 2.0000 sec\n'
    want+="  average rate...: $rate fps"$'\n-qkd-stats\n  num leafs visited....: 0\n'
    want+=$'  num inner visited....: 0\n  num rays hitting root: 0\nbye o/\n\n'"$STARS"$'\n'
    expect_suffix "$want"
}

# One progress line after every 21st frame, numbered 0021, 0042, ...
benchmark_progress() {
    local k=0 n
    while read -r n; do
        k=$((k + 21))
        [ "$((10#$n))" = "$k" ] || fail "progress line for frame $n, expected $k"
    done < <(grep -aoE "$PROGRESS" err |
             sed -E 's/^.frame\(([0-9]+)\).*/\1/')
    [ "$k" = "$((frames / 21 * 21))" ] || fail "$((k / 21)) progress lines for $frames frames"
    if [ "$frames" -ge 21 ]; then
        grep -aq $'\rframe(0021), avg-fps(' err || fail "first progress line"
    fi
}

case $check in
usage)
    for args in -help -benchmarks -Benchmark -benchmark-no-vid2 "-help -benchmark" ""; do
        [ -z "$args" ] && args="-"
        # shellcheck disable=SC2086
        run "$tesk" $args
        expect_rc 0
        expect_quiet_stdout
        expect_all "$USAGE"
    done
    ;;
interactive_blink)
    "$mkbmp" gimp.plasma.bmp 33 || fail "cannot write the heightmap"
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 0
    expect_quiet_stdout
    want="$BANNER$SUBS"$'\n'"$LOADING"$'dunnit! size is 33x33\n  will make 2178tris/0.002Mtris\n'
    want+=$'  allocating 0.002 M...success\n'
    want+=$'  now initializing h-map...  has 8 bits per pixel, pitch is 36\noutrageous\n}\n'
    expect_prefix "$want"
    ! grep -aq $'\r\\[tesk-ray' err || fail "status line within the first second"
    interactive_stats "" 1.0 -1.00 -1.00
    ;;
interactive_status)
    "$mkbmp" gimp.plasma.bmp 17 || fail "cannot write the heightmap"
    run SDL_VIDEODRIVER=dummy "$short"
    expect_rc 0
    expect_quiet_stdout
    lines=$(grep -aoE "$STATUS" err | wc -l)
    [ "$lines" = 1 ] || fail "$lines status lines, expected one"
    min=$(stat_value "minimum rate")
    max=$(stat_value "maximum rate")
    [ "$min" = "$max" ] && [ "$min" != "-1.00" ] || fail "rates $min / $max"
    interactive_stats "" 3.0 "$min" "$max"
    ;;
missing_heightmap)
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 1
    expect_quiet_stdout
    expect_all "$BANNER$SUBS"$'\n'"$LOADING"$'doh! sorry sir, not found.\n'
    ;;
bad_heightmap)
    "$mkbmp" gimp.plasma.bmp 32 || fail "cannot write the heightmap"
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 1
    expect_quiet_stdout
    want="refused: image is 32x32, a heightmap must be square with a side of 2*2^k+1 pixels,"
    expect_all "$BANNER$SUBS"$'\n'"$LOADING$want"$' at most 8193\n'
    # A file SDL cannot read: the described line, then SDL's reason.
    "$mkbmp" whole.bmp 33 || fail "cannot write the heightmap"
    head -c 500 whole.bmp >gimp.plasma.bmp
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 1
    expect_quiet_stdout
    want=$'doh! sorry sir, not found.\n  reason: Error reading from datastream\n'
    expect_all "$BANNER$SUBS"$'\n'"$LOADING$want"
    ;;
largest_heightmap)
    # The largest side SDL 1.2 reads, made by tesk-plasma, loads; the next
    # one is refused by its size before SDL reads it.
    "$plasma" -size 8193 gimp.plasma.bmp >/dev/null || fail "tesk-plasma -size 8193"
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 0
    expect_prefix "$BANNER$SUBS"$'\n'"$LOADING"$'dunnit! size is 8193x8193\n'
    grep -aq '^thx. bye o/$' err || fail "no statistics"
    printf 'BM\x36\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x01\x40\0\0\x01\x40\0\0\x01\0\x18\0' \
        >gimp.plasma.bmp
    run SDL_VIDEODRIVER=dummy "$blink"
    expect_rc 1
    want="refused: image is 16385x16385, a heightmap must be square with a side of 2*2^k+1 pixels,"
    expect_all "$BANNER$SUBS"$'\n'"$LOADING$want"$' at most 8193\n'
    ;;
no_video)
    # Neither a display nor a driver: the video-mode line at once, and no
    # text-mode driver writing to stdout (or failing in curses without TERM).
    nodisplay=$'Unable to set video-mode: no display (DISPLAY is not set)\n'
    for term in TERM=xterm "-u TERM"; do
        # shellcheck disable=SC2086
        run -u DISPLAY -u SDL_VIDEODRIVER $term "$blink"
        expect_rc 1
        expect_quiet_stdout
        expect_all "$BANNER$SUBS"$'\n'"$nodisplay"
        # shellcheck disable=SC2086
        run -u DISPLAY -u SDL_VIDEODRIVER $term "$blink" -benchmark
        expect_rc 1
        expect_quiet_stdout
        expect_all "$BENCH_START$nodisplay"
    done
    # A display that cannot be opened: x11 only, with SDL's reason.
    if [ ! -e /tmp/.X11-unix/X64999 ]; then
        for args in "" -benchmark; do
            # shellcheck disable=SC2086
            run -u SDL_VIDEODRIVER DISPLAY=:64999 TERM=xterm "$blink" $args
            expect_rc 1
            expect_quiet_stdout
            want=$'Unable to set video-mode: cannot open display :64999 (No available video device)'
            expect_suffix "$want"$'\n'
        done
    fi
    # A driver the user names is the one tried.
    run -u DISPLAY SDL_VIDEODRIVER=nonexistent "$blink"
    expect_rc 1
    expect_quiet_stdout
    expect_prefix "$BANNER$SUBS"$'\nUnable to set video-mode: '
    [ "$(wc -l <err)" = 4 ] || fail "more than one message"
    run -u DISPLAY SDL_VIDEODRIVER=nonexistent "$blink" -benchmark
    expect_rc 1
    expect_quiet_stdout
    expect_prefix "$BENCH_START"'Unable to init SDL: '
    [ "$(wc -l <err)" = 6 ] || fail "more than one message"
    ;;
benchmark_no_vid)
    # No video at all: neither a display nor a usable SDL driver is needed.
    run -u DISPLAY SDL_VIDEODRIVER=nonexistent "$short" -benchmark-no-vid
    expect_rc 0
    expect_quiet_stdout
    expect_prefix "$BENCH_START$RIPPLES"
    benchmark_stats
    benchmark_progress
    ;;
benchmark_no_sdl_calls)
    # A breakpoint on every SDL function: none may be reached without video.
    command -v gdb >/dev/null || exit 77
    timeout 240 env -u DISPLAY SDL_VIDEODRIVER=nonexistent gdb -batch -ex start \
        -ex 'rbreak ^SDL_' -ex continue --args "$short" -benchmark-no-vid >gdb.log 2>&1
    grep -q 'SDL_Init' gdb.log || fail "no breakpoints set: $(tail -5 gdb.log)"
    ! grep -E '^Breakpoint [0-9]+, ' gdb.log || fail "an SDL function was called"
    grep -q 'exited normally' gdb.log || fail "did not end normally: $(tail -5 gdb.log)"
    ;;
benchmark_dummy_video)
    run SDL_VIDEODRIVER=dummy "$short" -benchmark
    expect_rc 0
    expect_quiet_stdout
    expect_prefix "$BENCH_START$RIPPLES"
    benchmark_stats
    benchmark_progress
    ;;
*)
    echo "unknown check $check" >&2
    exit 1
    ;;
esac
echo "ok: $check"
