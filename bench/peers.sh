#!/usr/bin/env bash
# The race with the peers: the same work through tessival-render and the convolvers a
# user would pick instead, one core each, wall time of the whole process (file I/O
# included) and its CPU time, medians of several runs.
#
#   bench/peers.sh [--quick] [--runs N] [--cells "C:M ..."] [--cpu N] [--build DIR]
#                  [--work DIR] [--table FILE]
#   bench/peers.sh --latency [--blocks "P ..."] [--seconds S] [other options as above]
#   --players "NAME ..." runs only those players (names as below); tessival-render always
#   runs in the throughput race, where the others are checked against it.
#
# Work: 60 s of 48 kHz 16-bit stereo noise through banks of C two-channel filters of M
# taps (decaying noise, made by floor_signals), output 16-bit where the tool lets us
# choose. Players:
#   tessival   tessival-render (FFT plans from its wisdom, warmed by an untimed run)
#   block8192, block4096
#              tessival-render --block 8192 / 4096: the partitioned engine, for throughput
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
# Latency mode (--latency): every player runs with its smallest partition, the period a
# live run would use, equal to P frames (--blocks, default 64 256 1024), filters of full
# length, for 20 s of audio (--seconds). Cells default to C = 2 and 10, M = 65536 and
# 262144. Players, all pinned to one CPU with their threads:
#   tessival   tessival-render --block P: every partition computed in the calling thread
#              (the renderer's default: no real time to keep, so no threads to pay for)
#   workers    tessival-render --block P --workers: the longer partitions in worker
#              threads that each block waits for, as a live run computes them
#   zita       zita_convolve with the library's non-uniform scheme: quantum and smallest
#              partition P, largest 8192, its worker threads for the larger ones
#   brutefir   BruteFIR, filter_length P,K (K = M / P uniform partitions)
#   ffmpeg     afir with minp = P, maxp = 8192
# (fconvolver is left out: it always runs partitions of 8192 whatever it is given.)
# Every output is checked against the exact convolution in double precision
# (floor_signals reference), and the table gives CPU seconds per second of audio.
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
LATENCY=0
BLOCKS="64 256 1024"
CELLS_GIVEN=0
ONLY=""
SECONDS_GIVEN=0

while [ $# -gt 0 ]; do
  case $1 in
    --quick) RUNS=1 ;;
    --runs) RUNS=$2; shift ;;
    --cells) CELLS=$2; CELLS_GIVEN=1; shift ;;
    --latency) LATENCY=1 ;;
    --blocks) BLOCKS=$2; shift ;;
    --seconds) SECONDS_OF_AUDIO=$2; SECONDS_GIVEN=1; shift ;;
    --players) ONLY=$2; shift ;;
    --cpu) CPU=$2; shift ;;
    --build) BUILD=$(realpath -m "$2"); shift ;;
    --work) WORK=$(realpath -m "$2"); shift ;;
    --table) TABLE=$(realpath -m "$2"); shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "peers.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ "$LATENCY" = 1 ]; then
  [ "$CELLS_GIVEN" = 1 ] || CELLS="2:65536 10:65536 2:262144 10:262144"
  [ "$SECONDS_GIVEN" = 1 ] || SECONDS_OF_AUDIO=20
fi
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
INPUT=$WORK/input-$SECONDS_OF_AUDIO.wav
FRAMES=$((SECONDS_OF_AUDIO * RATE))
[ -f "$INPUT" ] || "$SIGNALS" input "$INPUT" "$SECONDS_OF_AUDIO"

# Partition sizes the peers run best at here (checked by hand on a 2-core machine):
# the largest each allows, up to the filter length.
min() { [ "$1" -lt "$2" ] && echo "$1" || echo "$2"; }

# Writes the peers' configurations for bank DIR (C filters of M taps) into DIR. With a
# block P (latency mode), each runs with its smallest partition equal to P.
configure_peers() {
  local dir=$1 c=$2 m=$3 p=${4:-} ch i d
  local zp; zp=$(min "$m" 8192)
  {
    echo "/convolver/new 2 $c $zp $m"
    for ch in $(seq 1 "$c"); do
      echo "/impulse/read 1 $ch 1 0 0 0 1 $dir/h$ch.wav"
      echo "/impulse/read 2 $ch 1 0 0 0 2 $dir/h$ch.wav"
    done
  } >"$dir/fconvolver.conf"

  # BruteFIR: unpartitioned filters of M taps (P,K uniform partitions in latency mode),
  # every filter in process 0.
  local length=$m
  [ -n "$p" ] && length="$p,$(((m + p - 1) / p))"
  {
    cat <<EOF
sampling_rate: $RATE;
filter_length: $length;
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
  local parts="minp=$(min "$m" 32768):maxp=$(min "$m" 32768)"
  [ -n "$p" ] && parts="minp=$p:maxp=8192"
  local g="[0:a]asplit=$c" args=(-i "$INPUT")
  for ch in $(seq 1 "$c"); do g+="[s$ch]"; args+=(-i "$dir/h$ch.wav"); done
  g+=";"
  for ch in $(seq 1 "$c"); do
    g+="[s$ch][$ch:a]afir=gtype=none:maxir=60:$parts:precision=float,pan=mono|c0=0.5*c0+0.5*c1[m$ch];"
  done
  local maps=()
  for d in $(seq 0 $(((c - 1) / 2))); do
    g+="[m$((2 * d + 1))][m$((2 * d + 2))]join=inputs=2:channel_layout=stereo[d$d];"
    maps+=(-map "[d$d]" -c:a pcm_s16le "$dir/out/ffmpeg/out$d.wav")
  done
  printf '%s\n' "${args[@]}" -filter_complex "${g%;}" "${maps[@]}" >"$dir/ffmpeg.args"
}

# Runs player PL on bank DIR (C filters of M taps); P is the block in latency mode.
run_player() {
  local pl=$1 dir=$2 c=$3 m=$4 p=${5:-} a=()
  case $pl in
    tessival)
      a=("$RENDER" "$dir/h1.wav" "$INPUT" "$dir/out/tessival")
      [ -n "$p" ] && a=("$RENDER" --block "$p" "$dir/h1.wav" "$INPUT" "$dir/out/tessival")
      ;;
    block8192 | block4096) a=("$RENDER" --block "${pl#block}" "$dir/h1.wav" "$INPUT" "$dir/out/$pl") ;;
    workers) a=("$RENDER" --block "$p" --workers "$dir/h1.wav" "$INPUT" "$dir/out/workers") ;;
    floor) a=("$FLOOR" "$INPUT" "$dir/h" "$c" "$dir/out/floor") ;;
    zita)
      a=("$ZITA" "$INPUT" "$dir/h" "$c" "$(min "$m" 8192)" "$dir/out/zita")
      [ -n "$p" ] && a=("$ZITA" "$INPUT" "$dir/h" "$c" "$p" "$dir/out/zita" 8192)
      ;;
    fconv) a=(fconvolver -V "$dir/fconvolver.conf" "$INPUT" "$dir/out/fconv/out.wav") ;;
    brutefir) a=(brutefir -nodefault -quiet "$dir/brutefir.conf") ;;
    ffmpeg)
      mapfile -t a <"$dir/ffmpeg.args"
      a=(ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 -filter_threads 1 -filter_complex_threads 1 "${a[@]}")
      ;;
  esac
  $TIMER_PREFIX taskset -c "$CPU" "${a[@]}"
}

# The output channels of player PL, as floor_signals compare lists them.
player_outputs() {
  local pl=$1 dir=$2 c=$3 d
  case $pl in
    floor) for d in $(seq 0 $(((c - 1) / 2))); do echo "raw:s16:2:$dir/out/floor/out$d.raw"; done ;;
    fconv) echo "$dir/out/fconv/out.wav" ;;
    brutefir) for d in $(seq 0 $(((c - 1) / 2))); do echo "raw:s16:2:$dir/out/brutefir/out$d.raw"; done ;;
    reference) for d in $(seq 0 $(((c - 1) / 2))); do echo "raw:f32:2:$dir/ref$d.f32"; done ;;
    *) for d in $(seq 0 $(((c - 1) / 2))); do echo "$dir/out/$pl/out$d.wav"; done ;;
  esac
}

player_name() {
  case $1 in
    tessival) [ "$LATENCY" = 1 ] && echo "tessival-render --block P" || echo tessival-render ;;
    block8192) echo "tessival-render --block 8192" ;;
    block4096) echo "tessival-render --block 4096" ;;
    workers) echo "tessival-render --block P --workers" ;;
    floor) echo "FFTW floor" ;;
    zita) [ "$LATENCY" = 1 ] && echo "zita-convolver, P to 8192" || echo "zita-convolver harness" ;;
    fconv) echo fconvolver ;;
    brutefir) [ "$LATENCY" = 1 ] && echo "BruteFIR, M/P partitions of P" || echo BruteFIR ;;
    ffmpeg) [ "$LATENCY" = 1 ] && echo "ffmpeg afir, P to 8192" || echo "ffmpeg afir" ;;
  esac
}

if [ "$LATENCY" = 1 ]; then
  PLAYERS=(tessival workers zita brutefir ffmpeg)
  KEYS=()
  for p in $BLOCKS; do for cell in $CELLS; do KEYS+=("$p:$cell"); done; done
else
  PLAYERS=(tessival block8192 block4096 floor zita fconv brutefir ffmpeg)
  read -r -a KEYS <<<"$CELLS"
fi
if [ -n "$ONLY" ]; then
  kept=()
  for pl in "${PLAYERS[@]}"; do
    if [[ " $ONLY " == *" $pl "* ]] || { [ "$LATENCY" = 0 ] && [ "$pl" = tessival ]; }; then kept+=("$pl"); fi
  done
  PLAYERS=("${kept[@]}")
fi
declare -A WALL CPUTIME AGREE SLOW
TIMER_PREFIX=""

# Runs player PL once under the timer; sets WALL1 and CPU1.
timed_run() {
  TIMER_PREFIX="$TIMER -o $WORK/time.txt"
  run_player "$@" >/dev/null 2>&1 || { say "$1 failed"; exit 1; }
  TIMER_PREFIX=""
  read -r WALL1 CPU1 <"$WORK/time.txt"
}

for key in "${KEYS[@]}"; do
  p=""
  cell=$key
  if [ "$LATENCY" = 1 ]; then p=${key%%:*}; cell=${key#*:}; fi
  c=${cell%%:*}
  m=${cell##*:}
  dir=$WORK/c${c}m$m
  mkdir -p "$dir/out"
  for pl in "${PLAYERS[@]}"; do mkdir -p "$dir/out/$pl"; done
  [ -f "$dir/h$c.wav" ] || "$SIGNALS" bank "$dir" h "$c" "$m"
  configure_peers "$dir" "$c" "$m" "$p"
  what="C = $c, M = $m${p:+, P = $p}"
  say "$what: warm-up and agreement"

  # Untimed first runs: FFT wisdom, page cache, and the outputs to check. A player whose
  # run takes over a minute is timed once.
  for pl in "${PLAYERS[@]}"; do
    timed_run "$pl" "$dir" "$c" "$m" "$p"
    awk -v w="$WALL1" 'BEGIN { exit !(w > 60) }' && SLOW[$key.$pl]=1
  done
  # Latency mode: against the exact convolution; else against tessival-render.
  if [ "$LATENCY" = 1 ]; then
    [ "$dir/ref0.f32" -nt "$INPUT" ] || "$SIGNALS" reference "$INPUT" "$dir" h "$c" "$dir"
    mapfile -t ref < <(player_outputs reference "$dir" "$c")
    refName="the exact convolution"
  else
    mapfile -t ref < <(player_outputs tessival "$dir" "$c")
    refName="tessival-render"
  fi
  for pl in "${PLAYERS[@]}"; do
    [ "$LATENCY" = 0 ] && [ "$pl" = tessival ] && continue
    mapfile -t other < <(player_outputs "$pl" "$dir" "$c")
    line=$("$SIGNALS" compare "$FRAMES" "${ref[@]}" -- "${other[@]}")
    steps=$(sed -n 's/^max difference \([0-9.]*\) .*/\1/p' <<<"$line")
    if [ -z "$steps" ] || awk -v s="$steps" -v t="$TOLERANCE" 'BEGIN { exit !(s > t) }'; then
      say "$pl disagrees with $refName: $line"
      AGREE[$key.$pl]="FAIL"
    else
      AGREE[$key.$pl]=$steps
    fi
  done

  say "$what: $RUNS timed run(s) of each"
  for r in $(seq 1 "$RUNS"); do
    # Each round starts with the next player, so that no one always follows the same one.
    order=("${PLAYERS[@]:$(((r - 1) % ${#PLAYERS[@]}))}" "${PLAYERS[@]:0:$(((r - 1) % ${#PLAYERS[@]}))}")
    for pl in "${order[@]}"; do
      [ "${SLOW[$key.$pl]:-}" = 1 ] && [ "$r" -gt 1 ] && continue
      timed_run "$pl" "$dir" "$c" "$m" "$p"
      WALL[$key.$pl]+="$WALL1 "
      CPUTIME[$key.$pl]+="$CPU1 "
    done
  done
  rm -rf "${dir:?}/out"
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

if [ "$LATENCY" = 1 ]; then
  {
    echo "$SECONDS_OF_AUDIO s of 48 kHz stereo (16-bit WAV) through C two-channel filters of M taps, every"
    echo "player with its smallest partition P frames, pinned to one CPU with all its threads;"
    echo "median of $RUNS run(s) (one for a player that takes over a minute). CPU: user + system"
    echo "time of the process, its threads and every process it started; per audio s: over the"
    echo "$SECONDS_OF_AUDIO s of audio. CPU ratio: over tessival-render's. diff: largest difference"
    echo "from the exact convolution (double precision), in 16-bit steps."
    echo
    echo "| P | C | M | program | wall s | CPU s | CPU s per audio s | CPU ratio | diff |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for key in "${KEYS[@]}"; do
      p=${key%%:*}
      cell=${key#*:}
      c=${cell%%:*}
      m=${cell##*:}
      tessCpu=$(median <<<"${CPUTIME[$key.tessival]:-}")
      for pl in "${PLAYERS[@]}"; do
        w=$(median <<<"${WALL[$key.$pl]}")
        u=$(median <<<"${CPUTIME[$key.$pl]}")
        awk -v p="$p" -v c="$c" -v m="$m" -v n="$(player_name "$pl")" -v w="$w" -v u="$u" -v tu="$tessCpu" \
          -v s="$SECONDS_OF_AUDIO" -v d="${AGREE[$key.$pl]:--}" \
          'BEGIN { r = tu > 0 ? sprintf("%.2f", u / tu) : "-"
                   printf "| %s | %s | %s | %s | %.3f | %.3f | %.4f | %s | %s |\n", p, c, m, n, w, u, u / s, r, d }'
      done
    done
  } | tee ${TABLE:+"$TABLE"}
else
  {
    echo "$SECONDS_OF_AUDIO s of 48 kHz stereo (16-bit WAV) through C two-channel filters of M taps, one CPU"
    echo "each, median of $RUNS run(s). Real-time factor: audio seconds per wall second of the whole"
    echo "process, file I/O included. Ratios: wall (CPU) time over tessival-render's. CPU: user +"
    echo "system time of the process, its threads and every process it started. diff: largest"
    echo "difference from tessival-render's output, in 16-bit steps."
    echo
    echo "| C | M | program | wall s | CPU s | real-time factor | ratio | CPU ratio | diff |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for cell in "${KEYS[@]}"; do
      c=${cell%%:*}
      m=${cell##*:}
      tess=$(median <<<"${WALL[$cell.tessival]}")
      tessCpu=$(median <<<"${CPUTIME[$cell.tessival]}")
      for pl in "${PLAYERS[@]}"; do
        w=$(median <<<"${WALL[$cell.$pl]}")
        u=$(median <<<"${CPUTIME[$cell.$pl]}")
        awk -v c="$c" -v m="$m" -v n="$(player_name "$pl")" -v w="$w" -v u="$u" -v t="$tess" -v tu="$tessCpu" \
          -v s="$SECONDS_OF_AUDIO" -v d="${AGREE[$cell.$pl]:--}" \
          'BEGIN { printf "| %s | %s | %s | %.3f | %.3f | %.0f | %.2f | %.2f | %s |\n", c, m, n, w, u, s / w, w / t, u / tu, d }'
      done
    done
  } | tee ${TABLE:+"$TABLE"}
fi

for key in "${!AGREE[@]}"; do
  [ "${AGREE[$key]}" = FAIL ] && { say "some outputs disagree (see above)"; exit 1; }
done
exit 0
