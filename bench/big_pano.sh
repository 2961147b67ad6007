#!/usr/bin/env bash
# Times zenthra on the big24 scene (a 16,000 x 8,000 equirectangular panorama
# from 24 rectilinear 5-megapixel JPEG photos) for every output kind at 1 and
# 8 warper threads, then at twice the panorama's width and height, then the
# many600 scene (600 small photos over the sphere) at both sizes, and prints
# a Markdown table: wall time, CPU time, peak resident memory, and the largest
# in-memory store and tile memory that zenthra reported; then, for each scene,
# how many times the peak memory grows when the panorama doubles per side.
#
#   bash bench/big_pano.sh [build folder] [work folder]
#
# Not a test: it needs a few GB of disk and some tens of minutes.
# THREADS, KINDS, SCALE2_THREADS and MANY_KINDS override the defaults below;
# SCENE_OPTIONS adds scenegen options (--scale 0.1 tries the script out).
set -euo pipefail

build=$(realpath "${1:-build}")
work=${2:-/tmp/zenthra-bench}
threads=${THREADS-"1 8"}
kinds=${KINDS-"TIFF PPM PSD JPEG TIFF_m defer"}
scale2_threads=${SCALE2_THREADS-8}
many_kinds=${MANY_KINDS-"TIFF JPEG"}
read -r -a scene_options <<<"${SCENE_OPTIONS:-}"

if [ ! -x /usr/bin/time ]; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
  else
    echo "GNU time is missing: sudo apt-get install time" >&2
    exit 1
  fi
fi
for program in zenthra tools/scenegen; do
  [ -x "$build/$program" ] || { echo "$build/$program is missing: build first" >&2; exit 1; }
done

mkdir -p "$work"
cd "$work"
# The same photos for both sizes: --pano-scale changes only the script.
if [ ! -f big24/scene.txt ]; then
  "$build/tools/scenegen" big24 "${scene_options[@]}" --out big24 >/dev/null
fi
if [ ! -f big24/scene2.txt ]; then
  "$build/tools/scenegen" big24 "${scene_options[@]}" --pano-scale 2 --script scene2.txt --out big24 >/dev/null
fi
if [ -n "$many_kinds" ] && [ ! -f many600/scene2.txt ]; then
  "$build/tools/scenegen" many --photos 600 "${scene_options[@]}" --out many600 >/dev/null
  "$build/tools/scenegen" many --photos 600 "${scene_options[@]}" --pano-scale 2 --script scene2.txt --out many600 >/dev/null
fi

# The p-line's n"..." text of a kind in a script. Twice the size, the
# layered TIFF passes 4 GiB: BigTIFF (uncompressed) then.
format_of() {
  case $1 in
    JPEG) echo 'JPEG q90' ;;
    defer) echo 'TIFF' ;;
    TIFF_m) [ "$2" = scene2.txt ] && echo 'TIFF_m b1' || echo 'TIFF_m' ;;
    *) echo "$1" ;;
  esac
}

# Peak memory in MB by "scene script kind threads".
declare -A peak

# run [SCENE] SCRIPT KIND THREADS: one line of the table.
run() {
  local scene=big24
  [ $# -eq 4 ] && { scene=$1; shift; }
  local script=$1 kind=$2 j=$3 extra=()
  [ "$kind" = defer ] && extra=(-d)
  sed "s/^\(p .*\)n\"[^\"]*\"/\1n\"$(format_of "$kind" "$script")\"/" "$scene/$script" >$scene/bench.txt
  rm -f $scene/out.*
  /usr/bin/time -v -o time.txt "$build/zenthra" -c -j "$j" "${extra[@]}" -o $scene/out $scene/bench.txt \
    >run.txt 2>&1 || { echo "zenthra failed, see $work/run.txt" >&2; exit 1; }
  local wall cpu rss ramfs tiles size
  wall=$(awk -F': ' '/Elapsed/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = 60 * s + t[i]; print s }' time.txt)
  cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.1f", s }' time.txt)
  rss=$(awk -F': ' '/Maximum resident/ { printf "%d", $2 / 1024 }' time.txt)
  ramfs=$(awk '/^ramfs_size:/ { if ($2 > m) m = $2 } END { print m + 0 }' run.txt)
  tiles=$(awk '/^Tile memory:/ { if ($3 > m) m = $3 } END { print m + 0 }' run.txt)
  size=$(du -m $scene/out.* | awk '{ s += $1 } END { print s }')
  printf '| %s %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$scene" "$(sed -n 's/^p f2 w\([0-9]*\) h\([0-9]*\).*/\1 x \2/p' $scene/bench.txt)" \
    "$kind" "$j" "$wall" "$cpu" "$rss" "$ramfs" "$tiles" "$size"
  peak["$scene $script $kind $j"]=$rss
  rm -f $scene/out.*
}

echo "| panorama | kind | -j | wall s | CPU s | peak RSS MB | ramfs MB | tile MB | output MB |"
echo "|---|---|---|---|---|---|---|---|---|"
for kind in $kinds; do
  for j in $threads; do
    run scene.txt "$kind" "$j"
  done
done
for kind in $kinds; do
  for j in $scale2_threads; do
    run scene2.txt "$kind" "$j"
  done
done
for kind in $many_kinds; do
  for j in $scale2_threads; do
    run many600 scene.txt "$kind" "$j"
    run many600 scene2.txt "$kind" "$j"
  done
done

echo
echo "Peak memory at twice the panorama's width and height, in times the peak at its size:"
for key in "${!peak[@]}"; do
  read -r scene script kind j <<<"$key"
  small=${peak["$scene scene.txt $kind $j"]:-}
  if [ "$script" = scene2.txt ] && [ -n "$small" ]; then
    awk -v s="$scene" -v k="$kind" -v j="$j" -v a="$small" -v b="${peak[$key]}" \
      'BEGIN { printf "  %s %s -j %s: %d MB -> %d MB, %.2f times\n", s, k, j, a, b, b / a }'
  fi
done | sort
