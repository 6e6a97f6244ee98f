#!/usr/bin/env bash
# Compares zdx with gzip -9, xz -6 and zstd -19 on the files of a folder, in one run, and prints a
# markdown table: ratio (compressed / original), compression and expansion speed in MB/s
# (1 MB = 10^6 bytes) and peak resident memory, per file and in total. Each tool runs on one
# thread and on all cores: zdx -T1 and zdx, xz -6 and xz -6 -T0, zstd -19 and zstd -19 -T0.
#
#   bench/bench.sh FOLDER [ZDX]
#   bench/bench.sh --big [MB] [ZDX]
#
# --big builds one text file of MB (default 60) million bytes from the text on this machine (the
# corpus's text files, /usr/share/common-licenses and the man pages, repeated as needed) and runs
# on it alone.
#
# ZDX defaults to build/bench/cli/zdx, built here as a Release build if it is missing (in a
# folder of its own: the app's Release build is configured with other options).
# Small files are run several times so that each timing covers at least about 2 MB.
set -euo pipefail
cd "$(dirname "$0")/.."

big=0
if [ "${1:-}" = --big ]; then
  big=1; shift
  big_mb=60
  if [[ "${1:-}" =~ ^[0-9]+$ ]]; then big_mb=$1; shift; fi
  folder=
else
  folder=${1:?usage: bench/bench.sh FOLDER [ZDX] | bench/bench.sh --big [MB] [ZDX]}
  shift
fi
zdx=${1:-build/bench/cli/zdx}
if [ ! -x "$zdx" ]; then
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZDX_BUILD_TESTS=OFF -DZDX_BUILD_APP=OFF >/dev/null
  cmake --build build/bench --target zdx >/dev/null
fi
zdx=$(realpath "$zdx")
for tool in gzip xz zstd /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "$big" = 1 ]; then
  mkdir -p "$work/big"
  text="$work/big/text.txt"
  {
    cat ../shared/corpus/text/*.txt 2>/dev/null || true
    cat /usr/share/common-licenses/* 2>/dev/null || true
    find /usr/share/man -name '*.gz' 2>/dev/null | sort | head -n 3000 | xargs -r zcat -f 2>/dev/null || true
  } > "$work/seed.txt"
  [ -s "$work/seed.txt" ] || { echo "bench: no text found to build the big input" >&2; exit 1; }
  want=$(( big_mb * 1000000 ))
  while [ "$(stat -c %s "$text" 2>/dev/null || echo 0)" -lt "$want" ]; do cat "$work/seed.txt" >> "$text"; done
  truncate -s "$want" "$text"
  folder="$work/big"
fi

now() { date +%s%N; }

# run REPS CMD...: runs CMD REPS times; sets secs (per run) and rss (peak KiB of one run).
run() {
  local reps=$1; shift
  local t0 t1
  /usr/bin/time -f '%M' -o "$work/rss" "$@"
  rss=$(tail -n 1 "$work/rss")
  t0=$(now)
  for ((r = 0; r < reps; r++)); do "$@"; done
  t1=$(now)
  secs=$(awk -v a="$t0" -v b="$t1" -v n="$reps" 'BEGIN { printf "%.6f", (b - a) / 1e9 / n }')
}

tools=(zdx-T1 zdx gzip xz xz-T0 zstd zstd-T0)
declare -A csize ctime dtime crss drss tot_c tot_ct tot_dt max_rss
for t in "${tools[@]}"; do tot_c[$t]=0; tot_ct[$t]=0; tot_dt[$t]=0; max_rss[$t]=0; done
tot_size=0
rows=()

mb() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", b / s / 1e6; else printf "-" }'; }
ratio() { awk -v c="$1" -v o="$2" 'BEGIN { if (o > 0) printf "%.3f", c / o; else printf "-" }'; }

while IFS= read -r -d '' file; do
  size=$(stat -c %s "$file")
  [ "$size" -gt 0 ] || continue
  name=$(basename "$file")
  reps=$(( 2000000 / size )); (( reps < 1 )) && reps=1; (( reps > 50 )) && reps=50
  rm -rf "$work/in" "$work/out"; mkdir -p "$work/in" "$work/out"
  cp "$file" "$work/in/$name"

  # zdx: compress beside the input, expand a copy of the container in another folder.
  for t in zdx-T1 zdx; do
    case $t in zdx-T1) zt=(-T1) ;; zdx) zt=() ;; esac
    rm -f "$work/in/"*.zdx "$work/out/"*
    run "$reps" "$zdx" "${zt[@]}" -q -f "$work/in/$name"
    ctime[$t]=$secs; crss[$t]=$rss
    container=$(ls "$work/in/"*.zdx)
    csize[$t]=$(stat -c %s "$container")
    cp "$container" "$work/out/"
    run "$reps" "$zdx" "${zt[@]}" -q -f "$work/out/$(basename "$container")"
    dtime[$t]=$secs; drss[$t]=$rss
    cmp -s "$file" "$work/out/$name" || { echo "bench: $t round trip of $name differs" >&2; exit 1; }
  done

  for t in gzip xz xz-T0 zstd zstd-T0; do
    case $t in
      gzip) c=(gzip -9 -c); d=(gzip -d -c) ;;
      xz) c=(xz -6 -T1 -c); d=(xz -d -T1 -c) ;;
      xz-T0) c=(xz -6 -T0 -c); d=(xz -d -T0 -c) ;;
      zstd) c=(zstd -19 -T1 -q -c); d=(zstd -d -q -c) ;;
      zstd-T0) c=(zstd -19 -T0 -q -c); d=(zstd -d -q -c) ;;
    esac
    # shellcheck disable=SC2016 # the inner shell expands them
    run "$reps" sh -c '"$@" > "$0"' "$work/c.$t" "${c[@]}" "$work/in/$name"
    ctime[$t]=$secs; crss[$t]=$rss
    csize[$t]=$(stat -c %s "$work/c.$t")
    # shellcheck disable=SC2016
    run "$reps" sh -c '"$@" > "$0"' "$work/d.$t" "${d[@]}" "$work/c.$t"
    dtime[$t]=$secs; drss[$t]=$rss
    cmp -s "$file" "$work/d.$t" || { echo "bench: $t round trip of $name differs" >&2; exit 1; }
  done

  for t in "${tools[@]}"; do
    r=${crss[$t]}; (( drss[$t] > r )) && r=${drss[$t]}
    rows+=("| $name | $t | $size | $(ratio "${csize[$t]}" "$size") | $(mb "$size" "${ctime[$t]}") | $(mb "$size" "${dtime[$t]}") | $r |")
    tot_c[$t]=$(( tot_c[$t] + csize[$t] ))
    tot_ct[$t]=$(awk -v a="${tot_ct[$t]}" -v b="${ctime[$t]}" 'BEGIN { printf "%.6f", a + b }')
    tot_dt[$t]=$(awk -v a="${tot_dt[$t]}" -v b="${dtime[$t]}" 'BEGIN { printf "%.6f", a + b }')
    (( r > max_rss[$t] )) && max_rss[$t]=$r
  done
  tot_size=$(( tot_size + size ))
done < <(find "$folder" -type f -print0 | sort -z)

echo "| file | tool | size (bytes) | ratio | compress MB/s | expand MB/s | peak RSS (KiB) |"
echo "|---|---|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
for t in "${tools[@]}"; do
  echo "| **total** | $t | $tot_size | $(ratio "${tot_c[$t]}" "$tot_size") | $(mb "$tot_size" "${tot_ct[$t]}") | $(mb "$tot_size" "${tot_dt[$t]}") | ${max_rss[$t]} |"
done
