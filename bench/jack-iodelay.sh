#!/usr/bin/env bash
# Tessival's loop latency through a real JACK server, measured with jack_iodelay and set
# beside the latency Tessival reports on its ports:
#
#   bench/jack-iodelay.sh [--server jackd|pipewire] [--buffers N] [--block FRAMES]
#                         [--taps M] [--delay D] [--seconds S] [--build DIR]
#
# A headless server (scripts/jackd-headless: dummy backend, 48 kHz, 1024-frame periods;
# or scripts/pipewire-headless under pw-jack, 1024-frame quantum), a bank of one file of
# M taps (default 256, Auto block 257) whose dipole-left filter is a unit impulse at tap
# D (default 0), and the program itself (TESSIVAL_AUDIO=jack) on a virtual X display,
# driven through its toolbar with xdotool: Load Filters, then Play. All of Tessival's
# connections are then taken away but the loop
#   jack_delay:out -> Tessival:in_L ... Tessival:dipole_L -> jack_delay:in  (jack_iodelay's ports)
# so the ranges it reports are its own latency alone. Prints jack_iodelay's last figure,
# the latency Tessival reports and what the loop is due to measure. --buffers is NumBuffers (default 3),
# --block BlockFrames (0 "Auto", the default, or 64 ... 8192). Settings, bank and server
# live in a temporary folder, removed at the end, also on error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

server=jackd buffers=3 block=0 taps=256 delay=0 seconds=5 build=build
while [ $# -gt 0 ]; do
  case $1 in
    --server) server=$2; shift 2 ;;
    --buffers) buffers=$2; shift 2 ;;
    --block) block=$2; shift 2 ;;
    --taps) taps=$2; shift 2 ;;
    --delay) delay=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) sed -n '2,18p' "$0" >&2; exit 1 ;;
  esac
done
[ "$delay" -lt "$taps" ] || { echo "--delay must be below --taps" >&2; exit 1; }
case $server in jackd|pipewire) ;; *) echo "--server jackd or pipewire" >&2; exit 1 ;; esac
app=$root/$build/app/tessival
[ -x "$app" ] || { echo "$app is missing: cmake --build $build --target tessival" >&2; exit 1; }
for tool in Xvfb xdotool jack_iodelay jack_lsp jack_connect jack_disconnect jack_bufsize; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tessival-iodelay.XXXXXX)
# jackd is named after this folder: always the same name, so that the entry a killed
# jackd leaves in JACK's registry (it holds 8) is taken back by the next run.
serverdir=$work/iodelay-bench
pids=() wrap=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ "$server" = jackd ]; then
    "$root/scripts/jackd-headless" stop "$serverdir" >/dev/null 2>&1 || true
  else
    "$root/scripts/pipewire-headless" stop "$serverdir" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "jack-iodelay: $*" >&2; exit 1; }

# Waits up to $1 seconds for the command after it to succeed, asking every 0.2 s
# (every JACK tool is a client that comes and goes: not too often on a loaded machine).
wait_for() {
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}
# A JACK tool, under pw-jack for PipeWire; a server that stopped answering stops the run.
jack() { timeout 10 "${wrap[@]}" "$@"; }
has_port() { jack jack_lsp | grep -q "^$1"; }

# The bank: 32-bit float stereo WAV, a unit impulse at tap $delay of the left channel.
le() { local v=$1 n=$2; for _ in $(seq "$n"); do printf "\\x$(printf %02x $((v & 255)))"; v=$((v >> 8)); done; }
{
  printf RIFF; le $((36 + taps * 8)) 4; printf 'WAVEfmt '; le 16 4
  le 3 2; le 2 2; le 48000 4; le $((48000 * 8)) 4; le 8 2; le 32 2
  printf data; le $((taps * 8)) 4
  head -c $((delay * 8)) /dev/zero
  printf '\x00\x00\x80\x3f\x00\x00\x00\x00'
  head -c $(((taps - delay - 1) * 8)) /dev/zero
} >"$work/bank1.wav"

# Settings of a fresh user, JACK's entries for the capture device and the dipole pair,
# 32-bit samples so that nothing is rounded.
mkdir -p "$work/config/Software"
cat >"$work/config/Software/Tessival.ini" <<EOF
[Options]
NumBuffers=$buffers
BlockFrames=$block
Bits=24
Wave%20Record%20Dev%20Name=jack:in_L,in_R
Wave%20Playback%20Dev0%20Name=jack:dipole_L,dipole_R
EOF

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")
export XDG_CONFIG_HOME=$work/config
unset DBUS_SESSION_BUS_ADDRESS  # Qt's own file dialog, not a desktop portal's

mkdir -p "$serverdir"
if [ "$server" = jackd ]; then
  "$root/scripts/jackd-headless" start "$serverdir" $$ || fail "jackd did not start"
  export JACK_DEFAULT_SERVER=$(cat "$serverdir/server") JACK_NO_START_SERVER=1
  # The JACK tools must use jackd2's libjack, as the script's jackd does.
  libdir=$(dirname "$(ls /usr/lib/*/libjack.so.0 | head -1)")
  export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
else
  command -v pw-jack >/dev/null || fail "pw-jack is not installed (pipewire-jack)"
  "$root/scripts/pipewire-headless" start "$serverdir" $$ || fail "PipeWire did not start"
  wrap=(pw-jack)
fi
export XDG_RUNTIME_DIR=$serverdir/run

TESSIVAL_AUDIO=jack QT_QPA_PLATFORM=xcb "${wrap[@]}" "$app" >"$work/tessival.log" 2>&1 &
pids+=($!)
wait_for 20 xdotool search --onlyvisible --name '^Tessival$' || fail "no main window; $(cat "$work/tessival.log")"
window=$(xdotool search --onlyvisible --name '^Tessival$' | head -1)
sleep 2.5  # the splash closes by itself after 2 s

# Load Filters (the first toolbar button): Qt's file dialog takes the path typed.
xdotool mousemove --window "$window" 24 23 click 1
wait_for 10 xdotool search --onlyvisible --name '^Open$' || fail "no file dialog"
xdotool windowfocus --sync "$(xdotool search --onlyvisible --name '^Open$' | head -1)"
xdotool type --delay 5 "$work/bank1.wav"
xdotool key Return
wait_for 10 bash -c '! xdotool search --onlyvisible --name "^Open$"' || fail "the file dialog stayed"
# Play (the second button, after a separator); again if a busy machine lost the click
# (Play while playing does nothing).
for _ in 1 2 3; do
  xdotool mousemove --window "$window" 80 23 click 1
  ! wait_for 10 has_port Tessival:dipole_L || break
done
has_port Tessival:dipole_L || fail "Tessival's ports did not appear; $(cat "$work/tessival.log")"

# Line-buffered: it prints a figure every half second.
"${wrap[@]}" stdbuf -oL jack_iodelay >"$work/iodelay.log" 2>&1 &
pids+=($!)
wait_for 30 has_port jack_delay:in || fail "jack_iodelay did not start"
iodelay_in=$(jack jack_lsp | grep '^jack_delay:in' | head -1)
iodelay_out=$(jack jack_lsp | grep '^jack_delay:out' | head -1)

# Take Tessival out of the graph, then close the loop through it.
jack jack_lsp -c Tessival | awk '/^Tessival:/ { port = $1; next } { print port "\t" $1 }' |
  while IFS=$'\t' read -r mine other; do jack jack_disconnect "$mine" "$other" 2>/dev/null || true; done
jack jack_connect "$iodelay_out" Tessival:in_L
jack jack_connect Tessival:dipole_L "$iodelay_in"
sleep "$seconds"
if [ "$server" = jackd ] && grep -q "Process error" "$serverdir/jackd.log"; then
  fail "jackd's cycle stopped (a client missed its deadline on a loaded machine); run again: $(grep -v XRun "$serverdir/jackd.log" | tail -3)"
fi

# jack_iodelay's own "extra loopback latency" takes Tessival's latency off twice (it is
# on both of its ports), so it is not printed. The loop is Tessival, the filter's delay
# and the one period the server puts on the connection that closes a loop.
measured=$(tr '\r' '\n' <"$work/iodelay.log" | awk '/total roundtrip latency/ { f = $1 } END { print f }')
capture() { jack jack_lsp -l "$1" | awk '/capture latency/ { print $(NF - 2) }'; }
reported=$(($(capture Tessival:dipole_L) - $(capture Tessival:in_L)))
period=$(jack jack_bufsize | awk '{ print $NF }')
echo "server $server, period $period, NumBuffers $buffers, BlockFrames $block, $taps taps, impulse at tap $delay"
[ -n "$measured" ] || fail "jack_iodelay measured nothing: $(tail -2 "$work/iodelay.log")"
echo "jack_iodelay: ${measured%.*} frames round the loop"
echo "Tessival reports $reported frames (dipole_L's capture latency less in_L's): with the impulse"
echo "at tap $delay and the loop's period, $((reported + delay + period)) frames are due"
