#!/usr/bin/env bash
# Zenthra beside the remapper and blender that Debian users run today, on one
# large scene: scenegen's big20 preset (a 16,000 x 8,000 equirectangular
# master, 20 rectilinear 14-megapixel JPEG photos at quality 95 overlapping by
# about 30 %, and the script that places them), or with --preset big20lens
# the same layout of 20 uncompressed TIFF photos of 3240 x 4320, each with
# lens terms of its own (a b c d e on every o-line), or with --preset
# sphere20lens a full sphere shot as most are: 20 such photos of 65 degrees,
# 8 around the horizon, 5 tilted up and 5 down by 50 degrees, one at the
# zenith and one at the nadir. It runs, on the same
# photos and the same script:
#   zenthra      tiled TIFF output, at each thread count of --jobs
#   nona+enblend `nona -o out -m TIFF_m` (one remapped image per photo), then
#                `enblend -w` (the panorama wraps around) over those images
#   nona         `nona -m TIFF` alone: remapped and laid over each other, no seams
# and prints one table: wall and CPU time and peak resident memory from
# /usr/bin/time -v, the PSNR of each result against the master over the pixels
# that every result covers, and each result's own coverage. Zenthra's TIFF has
# no alpha: its coverage is that of its non-black pixels.
#
# The peers read zenthra's script as it is: no line of it needs another
# convention for them (nona's remapped photos alone come within 48 dB of the
# master).
#
# enblend 4.2 smears black over a wedge of this scene (columns 8,000 to
# 12,000, rows 1,000 to 5,500), with or without -w and its seam optimizer;
# the table's PSNR counts it as it is.
#
# Not a test and not in CI: the peers take some minutes on 8 idle cores.
#
#   bash bench/peers.sh [--preset P] [--jobs "N ..."] [--out DIR] [--runs N] [--peer-runs N]
#                       [--no-peers] [--double]
#
#   --preset P     big20 (default), big20lens or sphere20lens
#   --jobs "N ..." zenthra's thread counts (-j), one table row each (default: "1 4 8")
#   --out DIR      where the scene and the results go (default /tmp/zenthra-peers)
#   --runs N       zenthra runs; the table takes the fastest (default 3)
#   --peer-runs N  likewise for the peers (default 1)
#   --no-peers     zenthra only
#   --double       also zenthra on the same photos at twice the panorama's width
#                  and height (32,000 x 16,000), for its time and memory
#
# As root it installs what is missing (the build's packages, hugin-tools,
# enblend, time) with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=/tmp/zenthra-peers
preset=big20
jobs="1 4 8"
runs=3
peer_runs=1
peers=1
double=0
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift ;;
    --preset) preset=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --runs) runs=$2; shift ;;
    --peer-runs) peer_runs=$2; shift ;;
    --no-peers) peers=0 ;;
    --double) double=1 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "peers.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

need=()
[ -x /usr/bin/time ] || need+=(time)
if [ $peers -eq 1 ]; then
  command -v nona > /dev/null || need+=(hugin-tools)
  command -v enblend > /dev/null || need+=(enblend)
fi
bash .ci/deps
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "peers.sh: install ${need[*]} (sudo apt-get install ${need[*]})" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

build=$root/build
cmake -S . -B "$build" > /dev/null
cmake --build "$build" -j "$(nproc)" --target zenthra scenegen imgcompare > /dev/null
zenthra=$build/zenthra
imgcompare=$build/tools/imgcompare

mkdir -p "$out"
out=$(cd "$out" && pwd)
# scenegen [args] DIR: the scene in DIR, made once.
scene() {
  local dir=$1
  shift
  if [ ! -f "$dir/scene.txt" ]; then
    echo "Generating $dir ..." >&2
    "$build/tools/scenegen" "$preset" --out "$dir" --master-format tif "$@" > "$dir.log"
  fi
}
scene "$out/$preset"

# timed NAME DIR COMMAND...: runs COMMAND in DIR under /usr/bin/time -v and
# appends "wall cpu rss_kb" to $out/NAME.times.
timed() {
  local name=$1 dir=$2
  shift 2
  (cd "$dir" && /usr/bin/time -v -o "$out/$name.time" "$@" > "$out/$name.log" 2>&1) || {
    echo "peers.sh: $name failed, see $out/$name.log" >&2
    exit 1
  }
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); wall = 0; for (i = 1; i <= n; i++) wall = wall * 60 + p[i] }
    /User time|System time/ { cpu += $2 }
    /Maximum resident set size/ { rss = $2 }
    END { printf "%.2f %.2f %d\n", wall, cpu, rss }' "$out/$name.time" >> "$out/$name.times"
}

# best NAME: the fastest run's "wall cpu rss_kb".
best() { sort -n "$out/$1.times" | head -1; }

# row NAME WALL CPU RSS_KB PSNR COVERAGE
row() { awk -v n="$1" -v w="$2" -v c="$3" -v r="$4" -v p="$5" -v v="$6" \
  'BEGIN { printf "%-14s %10.1f %10.1f %12.0f %9s %9s\n", n, w, c, r / 1024, p, v }'; }

rm -f "$out"/*.times
results=()
names=()
for j in $jobs; do
  for ((i = 0; i < runs; i++)); do
    timed "zenthra -j $j" "$out/$preset" "$zenthra" -c -q -j "$j" -o "$out/zenthra.tif" scene.txt
  done
  names+=("zenthra -j $j")
done
# Every thread count writes the same bytes: one file stands for them all.
results+=("$out/zenthra.tif")
if [ $peers -eq 1 ]; then
  for ((i = 0; i < peer_runs; i++)); do
    rm -rf "$out/nona_m"
    mkdir -p "$out/nona_m"
    timed nona_m "$out/$preset" nona -o "$out/nona_m/out" -m TIFF_m scene.txt
    timed enblend "$out/$preset" enblend -w -o "$out/enblend.tif" "$out"/nona_m/out*.tif
    timed nona "$out/$preset" nona -o "$out/nona" -m TIFF scene.txt
  done
  results+=("$out/enblend.tif" "$out/nona.tif")
  names+=(nona+enblend nona)
fi
# result NAME: the file a row's PSNR is measured on.
result() { case "$1" in zenthra*) echo "$out/zenthra.tif" ;; nona+enblend) echo "$out/enblend.tif" ;; *) echo "$out/nona.tif" ;; esac; }

masks=()
for r in "${results[@]}"; do masks+=(--mask "$r"); done
# value KEY LINE: the value of KEY in imgcompare's key=value line.
value() { tr ' ' '\n' <<< "$2" | sed -n "s/^$1=//p"; }

printf '\n%-14s %10s %10s %12s %9s %9s\n' result "wall s" "CPU s" "peak RSS MB" "PSNR dB" coverage
for name in "${names[@]}"; do
  if [ "$name" = nona+enblend ]; then
    # the sum of the two steps' fastest runs; the peak is the larger one
    read -r w1 c1 m1 <<< "$(best nona_m)"
    read -r w2 c2 m2 <<< "$(best enblend)"
    read -r wall cpu rss <<< "$(awk "BEGIN { print $w1 + $w2, $c1 + $c2, ($m1 > $m2 ? $m1 : $m2) }")"
  else
    read -r wall cpu rss <<< "$(best "$name")"
  fi
  file=$(result "$name")
  all=$("$imgcompare" "$file" "$out/$preset/master.tif" "${masks[@]}")
  own=$("$imgcompare" "$file" "$out/$preset/master.tif" --mask "$file")
  row "$name" "$wall" "$cpu" "$rss" "$(value psnr "$all")" "$(value coverage "$own")"
done
echo "PSNR over the $(value pixels "$all") pixels that every result covers. $(nproc) processors;" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end."

if [ $double -eq 1 ]; then
  scene "$out/${preset}x2" --pano-scale 2
  for ((i = 0; i < runs; i++)); do
    timed zenthra_x2 "$out/${preset}x2" "$zenthra" -c -q -j "${jobs##* }" -o "$out/zenthra_x2.tif" scene.txt
  done
  rm -f "$out/zenthra_x2.tif"
  read -r wall cpu rss <<< "$(best zenthra_x2)"
  read -r _ _ rss1 <<< "$(best "zenthra -j ${jobs##* }")"
  row "zenthra x2" "$wall" "$cpu" "$rss" - -
  awk "BEGIN { printf \"32,000 x 16,000: %.2f times the peak memory at 16,000 x 8,000\n\", $rss / $rss1 }"
fi
