#!/usr/bin/env bash
# The race with the peers: the same work through tessival-render and the convolvers a
# user would pick instead, one core each, wall time of the whole process (file I/O
# included) and its CPU time, medians of several runs.
#
#   bench/peers.sh [--quick] [--runs N] [--cells "C:M ..."] [--cpu N] [--build DIR]
#                  [--work DIR] [--table FILE]
#
# Work: 60 s of 48 kHz 16-bit stereo noise through banks of C two-channel filters of M
# taps (decaying noise, made by floor_signals), output 16-bit where the tool lets us
# choose. Players:
#   tessival   tessival-render (FFT plans from its wisdom, warmed by an untimed run)
#   floor      floor_convolve, the least an overlap-save convolver with Tessival's L and
#              N does for the job: per block 2 forward and C inverse FFTs and the
#              spectral multiply-accumulate, nothing else, besides reading the input,
#              the filters and writing 16-bit raw output in large writes
#   zita       zita_convolve, our harness on libzita-convolver: one partition level in
#              the calling thread, vector mode
#   fconv      fconvolver (jconvolver package), vector mode
#   brutefir   BruteFIR, raw file input/output, all filters in one process
#   ffmpeg     ffmpeg's afir filter, one filter thread
# Every player is pinned to one CPU with taskset (BruteFIR's helper processes and
# zita's threads share it). Outputs are checked against tessival-render's over the
# first 60 s; the largest difference is printed in 16-bit steps.
#
# The peers come from Debian packages, installed here when missing (not by
# scripts/bootstrap: the program does not need them). The machine may be shared:
# compare figures only within one run; the CPU times suffer less from other load than
# the wall times.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=5
CELLS="2:4096 10:4096 2:32768 10:32768 2:262144 10:262144"
CPU=$(($(nproc) - 1))
BUILD=$ROOT/build
WORK=""
TABLE=""
SECONDS_OF_AUDIO=60
RATE=48000
TOLERANCE=4  # 16-bit steps: output rounding, 32767/32768 scalings, float transforms

while [ $# -gt 0 ]; do
  case $1 in
    --quick) RUNS=1 ;;
    --runs) RUNS=$2; shift ;;
    --cells) CELLS=$2; shift ;;
    --cpu) CPU=$2; shift ;;
    --build) BUILD=$(realpath -m "$2"); shift ;;
    --work) WORK=$(realpath -m "$2"); shift ;;
    --table) TABLE=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "peers.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$WORK" ]; then
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then WORK=/dev/shm/tessival-peers; else WORK=${TMPDIR:-/tmp}/tessival-peers; fi
fi

say() { echo "peers.sh: $*" >&2; }

# ---- peers and our own programs ----
need=()
command -v brutefir >/dev/null || need+=(brutefir)
command -v fconvolver >/dev/null || need+=(jconvolver)
command -v ffmpeg >/dev/null || need+=(ffmpeg)
[ -f /usr/include/zita-convolver.h ] || need+=(libzita-convolver-dev)
command -v taskset >/dev/null || need+=(util-linux)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  say "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

"$ROOT/scripts/bootstrap"
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake "$BUILD" >/dev/null  # picks up zita-convolver if it was just installed
cmake --build "$BUILD" -j1 --target tessival-render floor_time floor_signals floor_convolve zita_convolve >/dev/null
RENDER=$BUILD/tools/render/tessival-render
TIMER=$BUILD/bench/floor_time
SIGNALS=$BUILD/bench/floor_signals
FLOOR=$BUILD/bench/floor_convolve
ZITA=$BUILD/bench/zita_convolve

mkdir -p "$WORK/cache"
export XDG_CACHE_HOME=$WORK/cache  # tessival's and the floor's FFT wisdom, not the user's
INPUT=$WORK/input.wav
FRAMES=$((SECONDS_OF_AUDIO * RATE))
[ -f "$INPUT" ] || "$SIGNALS" input "$INPUT" "$SECONDS_OF_AUDIO"

# Partition sizes the peers run best at here (checked by hand on a 2-core machine):
# the largest each allows, up to the filter length.
min() { [ "$1" -lt "$2" ] && echo "$1" || echo "$2"; }

# Writes the peers' configurations for bank DIR (C filters of M taps) into DIR.
configure_peers() {
  local dir=$1 c=$2 m=$3 ch i d
  local zp; zp=$(min "$m" 8192)
  {
    echo "/convolver/new 2 $c $zp $m"
    for ch in $(seq 1 "$c"); do
      echo "/impulse/read 1 $ch 1 0 0 0 1 $dir/h$ch.wav"
      echo "/impulse/read 2 $ch 1 0 0 0 2 $dir/h$ch.wav"
    done
  } >"$dir/fconvolver.conf"

  # BruteFIR: unpartitioned filters of M taps, every filter in process 0.
  {
    cat <<EOF
sampling_rate: $RATE;
filter_length: $m;
float_bits: 32;
overflow_warnings: false;
show_progress: false;
max_dither_table_size: 0;
allow_poll_mode: false;
modules_path: "/usr/lib/brutefir";
powersave: false;
monitor_rate: false;
lock_memory: false;
sdf_length: -1;
convolver_config: "$WORK/cache/brutefir-wisdom";
input "l", "r" { device: "file" { path: "$INPUT"; skip: 44; }; sample: "S16_LE"; channels: 2; };
EOF
    for d in $(seq 0 $(((c - 1) / 2))); do
      echo "output \"o$((2 * d + 1))\", \"o$((2 * d + 2))\" { device: \"file\" { path: \"$dir/out/brutefir/out$d.raw\"; }; sample: \"S16_LE\"; channels: 2; dither: false; };"
    done
    for ch in $(seq 1 "$c"); do
      for i in 0 1; do
        echo "coeff \"c${ch}_$i\" { filename: \"$dir/h${ch}_$i.raw\"; format: \"FLOAT_LE\"; };"
        echo "filter \"f${ch}_$i\" { from_inputs: $i; to_outputs: \"o$ch\"; coeff: \"c${ch}_$i\"; process: 0; };"
      done
    done
  } >"$dir/brutefir.conf"

  # ffmpeg: per output channel, afir of both inputs with the channel's two filters and
  # their sum. afir (ffmpeg 5.1) doubles the response even without auto gain: the sum
  # takes half of each.
  local fp; fp=$(min "$m" 32768)
  local g="[0:a]asplit=$c" args=(-i "$INPUT")
  for ch in $(seq 1 "$c"); do g+="[s$ch]"; args+=(-i "$dir/h$ch.wav"); done
  g+=";"
  for ch in $(seq 1 "$c"); do
    g+="[s$ch][$ch:a]afir=gtype=none:maxir=60:minp=$fp:maxp=$fp:precision=float,pan=mono|c0=0.5*c0+0.5*c1[m$ch];"
  done
  local maps=()
  for d in $(seq 0 $(((c - 1) / 2))); do
    g+="[m$((2 * d + 1))][m$((2 * d + 2))]join=inputs=2:channel_layout=stereo[d$d];"
    maps+=(-map "[d$d]" -c:a pcm_s16le "$dir/out/ffmpeg/out$d.wav")
  done
  printf '%s\n' "${args[@]}" -filter_complex "${g%;}" "${maps[@]}" >"$dir/ffmpeg.args"
}

run_player() {
  local p=$1 dir=$2 c=$3 m=$4 a=()
  case $p in
    tessival) a=("$RENDER" "$dir/h1.wav" "$INPUT" "$dir/out/tessival") ;;
    floor) a=("$FLOOR" "$INPUT" "$dir/h" "$c" "$dir/out/floor") ;;
    zita) a=("$ZITA" "$INPUT" "$dir/h" "$c" "$(min "$m" 8192)" "$dir/out/zita") ;;
    fconv) a=(fconvolver -V "$dir/fconvolver.conf" "$INPUT" "$dir/out/fconv/out.wav") ;;
    brutefir) a=(brutefir -nodefault -quiet "$dir/brutefir.conf") ;;
    ffmpeg)
      mapfile -t a <"$dir/ffmpeg.args"
      a=(ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 -filter_threads 1 -filter_complex_threads 1 "${a[@]}")
      ;;
  esac
  $TIMER_PREFIX taskset -c "$CPU" "${a[@]}"
}

# The output channels of player P, as floor_signals compare lists them.
player_outputs() {
  local p=$1 dir=$2 c=$3 d
  case $p in
    floor) for d in $(seq 0 $(((c - 1) / 2))); do echo "raw:s16:2:$dir/out/floor/out$d.raw"; done ;;
    fconv) echo "$dir/out/fconv/out.wav" ;;
    brutefir) for d in $(seq 0 $(((c - 1) / 2))); do echo "raw:s16:2:$dir/out/brutefir/out$d.raw"; done ;;
    *) for d in $(seq 0 $(((c - 1) / 2))); do echo "$dir/out/$p/out$d.wav"; done ;;
  esac
}

PLAYERS=(tessival floor zita fconv brutefir ffmpeg)
declare -A WALL CPUTIME AGREE
TIMER_PREFIX=""

for cell in $CELLS; do
  c=${cell%%:*}
  m=${cell##*:}
  dir=$WORK/c${c}m$m
  mkdir -p "$dir/out"
  for p in "${PLAYERS[@]}"; do mkdir -p "$dir/out/$p"; done
  [ -f "$dir/h$c.wav" ] || "$SIGNALS" bank "$dir" h "$c" "$m"
  configure_peers "$dir" "$c" "$m"
  say "C = $c, M = $m: warm-up and agreement"

  # Untimed first runs: FFT wisdom, page cache, and the outputs to check.
  for p in "${PLAYERS[@]}"; do run_player "$p" "$dir" "$c" "$m" >/dev/null 2>&1 || { say "$p failed"; exit 1; }; done
  mapfile -t ref < <(player_outputs tessival "$dir" "$c")
  for p in "${PLAYERS[@]}"; do
    [ "$p" = tessival ] && continue
    mapfile -t other < <(player_outputs "$p" "$dir" "$c")
    line=$("$SIGNALS" compare "$FRAMES" "${ref[@]}" -- "${other[@]}")
    steps=$(sed -n 's/^max difference \([0-9.]*\) .*/\1/p' <<<"$line")
    if [ -z "$steps" ] || awk -v s="$steps" -v t="$TOLERANCE" 'BEGIN { exit !(s > t) }'; then
      say "$p disagrees with tessival-render: $line"
      AGREE[$cell.$p]="FAIL"
    else
      AGREE[$cell.$p]=$steps
    fi
  done

  say "C = $c, M = $m: $RUNS timed run(s) of each"
  for r in $(seq 1 "$RUNS"); do
    # Each round starts with the next player, so that no one always follows the same one.
    order=("${PLAYERS[@]:$(((r - 1) % ${#PLAYERS[@]}))}" "${PLAYERS[@]:0:$(((r - 1) % ${#PLAYERS[@]}))}")
    for p in "${order[@]}"; do
      TIMER_PREFIX="$TIMER -o $WORK/time.txt"
      run_player "$p" "$dir" "$c" "$m" >/dev/null 2>&1 || { say "$p failed"; exit 1; }
      TIMER_PREFIX=""
      read -r wall cpu <"$WORK/time.txt"
      WALL[$cell.$p]+="$wall "
      CPUTIME[$cell.$p]+="$cpu "
    done
  done
  rm -rf "${dir:?}/out"
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

{
  echo "60 s of 48 kHz stereo (16-bit WAV) through C two-channel filters of M taps, one CPU each,"
  echo "median of $RUNS run(s). Real-time factor: audio seconds per wall second of the whole"
  echo "process, file I/O included. Ratios: wall (CPU) time over tessival-render's. CPU: user +"
  echo "system time of the process and its threads (BruteFIR's worker processes are not waited"
  echo "for, so theirs is missing). diff: largest difference from tessival-render's output, in"
  echo "16-bit steps."
  echo
  echo "| C | M | program | wall s | CPU s | real-time factor | ratio | CPU ratio | diff |"
  echo "|---|---|---|---|---|---|---|---|---|"
  for cell in $CELLS; do
    c=${cell%%:*}
    m=${cell##*:}
    tess=$(median <<<"${WALL[$cell.tessival]}")
    tessCpu=$(median <<<"${CPUTIME[$cell.tessival]}")
    for p in "${PLAYERS[@]}"; do
      w=$(median <<<"${WALL[$cell.$p]}")
      u=$(median <<<"${CPUTIME[$cell.$p]}")
      case $p in
        tessival) name=tessival-render ;;
        floor) name="FFTW floor" ;;
        zita) name="zita-convolver harness" ;;
        fconv) name=fconvolver ;;
        brutefir) name=BruteFIR ;;
        ffmpeg) name="ffmpeg afir" ;;
      esac
      diff=${AGREE[$cell.$p]:--}
      awk -v c="$c" -v m="$m" -v n="$name" -v w="$w" -v u="$u" -v t="$tess" -v tu="$tessCpu" \
        -v s="$SECONDS_OF_AUDIO" -v d="$diff" -v bf="$([ "$p" = brutefir ] && echo 1 || echo 0)" \
        'BEGIN {
           cpu = bf ? "n/a" : sprintf("%.3f", u); cr = bf ? "n/a" : sprintf("%.2f", u / tu)
           printf "| %s | %s | %s | %.3f | %s | %.0f | %.2f | %s | %s |\n", c, m, n, w, cpu, s / w, w / t, cr, d
         }'
    done
  done
} | tee ${TABLE:+"$TABLE"}

for key in "${!AGREE[@]}"; do
  [ "${AGREE[$key]}" = FAIL ] && { say "some outputs disagree (see above)"; exit 1; }
done
exit 0
