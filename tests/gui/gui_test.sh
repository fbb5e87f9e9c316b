#!/usr/bin/env bash
# Drives the interactive mode in a real window on a private Xvfb server.
#   keys:  D writes samp_vantor_0000.bmp, then 0001, ... (a BMP of the window's
#          size); Y without Escape and Escape then N keep the run going;
#          Escape then Y ends it with status 0 after the statistics.
#          A screenshot that hits a full disk (a file-size limit set on the
#          running program) leaves no file; the run goes on.
#   close: a window-manager close request ends the run with status 0.
#   signals: SIGINT ends the interactive run as a close does; SIGINT and
#          SIGTERM end the windowed benchmark at once, by the signal.
# Key presses are real (XTEST through xdotool) into the focused window.
# Exit status: 0 pass, 1 fail, 77 skipped (Xvfb or xdotool missing).
#
# usage: gui_test.sh keys|close|signals TESK TESK-PLASMA TESK-WM-CLOSE
set -u

mode=$1
tesk=$2
plasma=$3
wmclose=$4
size=256      # the render size tesk-gui is built with
limit=60      # seconds for any one thing to happen (the sanitizer build is slow)

for tool in Xvfb xdotool; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d)
xvfb_pid=
tesk_pid=
cleanup() {
    [ -n "$tesk_pid" ] && kill "$tesk_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    wait 2>/dev/null
    [ -n "${KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    if [ -s "$work/stderr" ]; then
        echo "--- program output:"
        tr '\r' '\n' <"$work/stderr" | tail -n 30
    fi
    if [ -n "$xvfb_pid" ]; then
        kill -0 "$xvfb_pid" 2>/dev/null || echo "--- Xvfb on ${DISPLAY:-?} has died"
        [ -s "$work/xvfb.log" ] && { echo "--- Xvfb log:"; tail -n 20 "$work/xvfb.log"; }
    fi
    exit 1
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# within SECONDS COMMAND...: retry COMMAND every 50 ms until it succeeds or
# SECONDS have passed.
within() {
    local deadline=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# A zombie still answers kill -0, so ask ps for the process state.
running() {
    local state
    state=$(ps -o stat= -p "$tesk_pid" 2>/dev/null) && [ "${state#Z}" = "$state" ]
}
stopped() { ! running; }

# u32 FILE OFFSET / i32: little-endian header fields.
u32() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
i32() { od -An -td4 -j"$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -tu2 -j"$2" -N2 "$1" | tr -d ' '; }

# bmp_ok FILE: a complete BMP of size x size pixels (rows either way up).
bmp_ok() {
    local f=$1
    [ -f "$f" ] || return 1
    local bytes
    bytes=$(stat -c %s "$f")
    [ "$bytes" -ge 54 ] || return 1
    [ "$(head -c 2 "$f")" = BM ] || return 1
    local declared offset width height bpp
    declared=$(u32 "$f" 2)
    offset=$(u32 "$f" 10)
    width=$(i32 "$f" 18)
    height=$(i32 "$f" 22)
    bpp=$(u16 "$f" 28)
    height=${height#-}
    [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ] || return 1
    local stride=$(((width * bpp + 31) / 32 * 4))
    [ "$declared" -eq "$bytes" ] && [ "$bytes" -ge $((offset + stride * height)) ]
}

# screenshot N: D was pressed; samp_vantor_000N.bmp must appear, complete.
screenshot() {
    local name
    name=$(printf 'samp_vantor_%04d.bmp' "$1")
    shot_or_gone() { bmp_ok "$work/$name" || stopped; }
    within "$limit" shot_or_gone || fail "$name missing or not a ${size}x$size BMP"
    bmp_ok "$work/$name" || fail "the program ended without writing $name"
    running || fail "the program ended after writing $name"
}

press() { xdotool key --delay 20 "$@" || fail "xdotool key $*"; }

# finished: the program ends by itself with status 0 after its statistics.
finished() {
    within "$limit" stopped || fail "still running $limit s after being asked to quit"
    wait "$tesk_pid"
    local status=$?
    tesk_pid=
    [ "$status" -eq 0 ] || fail "exit status $status"
    grep -q 'thx. bye o/' "$work/stderr" || fail "no final statistics"
    grep -q "\[tesk\] ${size}x$size" "$work/stderr" || fail "statistics lack the size"
}

# Our own server on a display number nobody holds (lock file and socket
# checked), away from the low numbers that desktops and xvfb-run use; if
# another server grabs it first, ours fails to start and we try the next.
# -displayfd reports the number once the server accepts clients. -noreset:
# SDL opens and closes a probe connection before its real one, and a server
# reset in between refuses that real one.
start_xvfb() {
    local n=$((100 + $$ % 300)) tries
    for tries in 1 2 3 4 5 6 7 8 9 10; do
        n=$((n + 1))
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        rm -f "$work/display"
        Xvfb ":$n" -displayfd 3 -noreset -screen 0 640x480x24 -nolisten tcp \
            3>"$work/display" 2>"$work/xvfb.log" &
        xvfb_pid=$!
        xvfb_ready() { test -s "$work/display" || ! kill -0 "$xvfb_pid" 2>/dev/null; }
        within 15 xvfb_ready
        if [ -s "$work/display" ]; then
            export DISPLAY=":$n"
            return 0
        fi
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=
    done
    return 1
}
start_xvfb || { cat "$work/xvfb.log"; fail "Xvfb did not start"; }
# Only the real window will do: no fallback to a terminal or dummy driver.
export SDL_VIDEODRIVER=x11

cd "$work" || fail "no work folder"
"$plasma" -size 129 gimp.plasma.bmp >/dev/null || fail "tesk-plasma failed"

# SDL 1.2 sets no window title here, but it does set _NET_WM_PID.
window_found() { window=$(xdotool search --pid "$tesk_pid" 2>/dev/null | head -n 1); [ -n "$window" ]; }
window_or_gone() { window_found || stopped; }

# start SIDE ARGS...: the program with its window open and focused. SIGINT
# and SIGTERM as a terminal would leave them (a background job of a script
# would ignore SIGINT); SIGXFSZ ignored, so a file-size limit fails writes.
start() {
    local side=$1
    shift
    (trap '' XFSZ; exec env --default-signal=INT,TERM "$tesk" "$@") 2>"$work/stderr" &
    tesk_pid=$!
    window=
    within "$limit" window_or_gone || fail "no window after $limit s"
    [ -n "$window" ] || fail "the program ended without opening a window"
    geometry=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: //p')
    [ "$geometry" = "${side}x$side" ] || fail "window is $geometry, not ${side}x$side"
    # No window manager: give the window the keyboard focus ourselves.
    timeout 10 xdotool windowfocus --sync "$window" || fail "cannot focus the window"
}

# killed_by SIGNAL: the program ends within seconds, by that signal.
killed_by() {
    kill -s "$1" "$tesk_pid"
    within 10 stopped || fail "still running 10 s after SIG$1"
    wait "$tesk_pid"
    local status=$? want=$((128 + $(kill -l "$1")))
    tesk_pid=
    [ "$status" -eq "$want" ] || fail "exit status $status after SIG$1, expected $want"
}

gone() { [ ! -e "$work/$1" ] && [ ! -L "$work/$1" ]; }

case "$mode" in
keys)
    echo stale >samp_vantor_0001.bmp   # overwritten, so removed when the write fails
    start "$size"
    press d
    screenshot 0
    # 100 KiB: the screenshot (192 KiB) cannot be written completely.
    prlimit --pid "$tesk_pid" --fsize=102400: || fail "prlimit"
    press y d                 # Y without Escape changes nothing
    shot_failed() { gone samp_vantor_0001.bmp || stopped; }
    within "$limit" shot_failed || fail "a partial samp_vantor_0001.bmp was left"
    running || fail "the program ended when a screenshot failed"
    prlimit --pid "$tesk_pid" --fsize=unlimited: || fail "prlimit"
    press Escape n d          # N answers the question: the run goes on
    screenshot 2
    press Escape y
    finished
    [ ! -e "$work/samp_vantor_0003.bmp" ] || fail "an extra screenshot was written"
    ;;
close)
    start "$size"
    press d                   # proves the frame loop is reading events
    screenshot 0
    "$wmclose" "$window" || fail "cannot send the close request"
    finished
    ;;
signals)
    start "$size"
    press d
    screenshot 0
    kill -INT "$tesk_pid"
    finished
    # The benchmark reads no events: the signals' own actions end it.
    start 512 -benchmark
    killed_by INT
    start 512 -benchmark
    killed_by TERM
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "PASS: $mode"
