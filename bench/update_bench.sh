#!/usr/bin/env bash
# A whole hvrupdate run that replaces 1% of the entries of a 1 GiB,
# 50,000-entry archive, timed against
#   bound  the lower bound: appending as many bytes as the patch's entries
#          plus a table the size of the archive's to a copy of the archive,
#          then flushing it (dd ... conv=fsync)
#   zip    Info-ZIP "zip -0 -u" updating the same files in a stored zip of the
#          same content (one file per archive entry, the entry's stored bytes)
#
# The in-place commit of hvrupdate does not flush the file itself, and zip
# does not either, so both are also shown with a "sync FILE" (fsync) right
# after them; the lower bound always includes its flush.
#
# The machine is shared and noisy: cases run interleaved round by round,
# every timed case starts from pristine copies restored untimed (cp, then
# sync), and ratios are taken within each round before their median.
#
# Targets: hvrupdate / bound <= 2x; zip / hvrupdate >= 8x.
#
# Usage: bench/update_bench.sh [--rounds N] [--build DIR] [--dir DIR] [--keep]
#   --rounds N   rounds (default 3)
#   --build DIR  the Linux build tree with hvrgen, hvrupdate and
#                extract_entries (default build/linux)
#   --dir DIR    where the generated files live and are reused
#                (default build/bench/update)
#   --keep       keep the working copies (default: removed at the end)
# Exit status: 0 targets met, 1 a target missed, 2 a failure.

set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=3
build="$repo/build/linux"
dir="$repo/build/bench/update"
keep=0
while (($#)); do
    case "$1" in
        --rounds) rounds=${2:?}; shift 2 ;;
        --build) build=${2:?}; shift 2 ;;
        --dir) dir=${2:?}; shift 2 ;;
        --keep) keep=1; shift ;;
        -h|--help) sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "update_bench: unknown option $1" >&2; exit 2 ;;
    esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "update_bench: --rounds needs a positive number" >&2; exit 2; }

die() { echo "update_bench: $*" >&2; exit 2; }
log() { echo "update_bench: $*" >&2; }

build=$(cd "$build" && pwd) || die "no build tree $build"
hvrgen="$build/hvrgen"
hvrupdate="$build/hvrupdate"
extract="$build/extract_entries"
for tool in "$hvrgen" "$hvrupdate" "$extract"; do
    [[ -x $tool ]] || die "$tool is missing: build it first (cmake --build build/linux --target $(basename "$tool"))"
done
if ! command -v zip >/dev/null; then
    log "installing zip"
    apt-get install -y zip >/dev/null 2>&1 || { apt-get update >/dev/null && apt-get install -y zip >/dev/null; } \
        || die "cannot install zip"
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
data="$dir/data-pristine.hvr"
patch="$dir/update-pristine.hvp"
zipPristine="$dir/zip-pristine.zip"
patchTree="$dir/patch-tree"
list="$dir/update.list"
work="$dir/work"

# --- the generated files, made once and reused ------------------------------
# Fixed seeds: the same bytes on every run.
if [[ ! -f $data || ! -f $patch ]]; then
    log "generating the 1 GiB archive and its patch"
    rm -f "$data" "$patch" "$zipPristine" "$list"
    "$hvrgen" --archive "$data.tmp" --format 0x0200 --entries 50000 --size 1G --seed 501 \
        --patch "$patch.tmp" --patch-format 0x0200 --patch-seed 502 \
        --replace 10 --only-in-patch 0 --duplicates 0 --patch-directories 0 --case 0 \
        || die "hvrgen failed"
    mv "$patch.tmp" "$patch"
    mv "$data.tmp" "$data"
fi

# The stored zip holds one file per entry of the archive, with the entry's
# stored bytes, and a directory entry per directory.
if [[ ! -f $zipPristine ]]; then
    log "building the stored zip from the archive's entries"
    tree="$dir/tree"
    rm -rf "$tree" "$zipPristine.tmp"
    "$extract" "$data" "$tree" || die "extracting the archive failed"
    (cd "$tree" && zip -0 -r -q "$zipPristine.tmp" *) || die "zip -0 -r failed"
    mv "$zipPristine.tmp" "$zipPristine"
    rm -rf "$tree"
fi

# The patch's files, at the same relative paths (its names differ from the
# archive's in nothing, letter case included).
if [[ ! -f $list ]]; then
    rm -rf "$patchTree"
    "$extract" "$patch" "$patchTree" || die "extracting the patch failed"
    (cd "$patchTree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) > "$list.tmp"
    mv "$list.tmp" "$list"
fi
mapfile -t updated < "$list"

read -r dataEntries dataFiles dataStored dataTable < <("$extract" --summary "$data")
read -r patchEntries patchFiles patchStored patchTable < <("$extract" --summary "$patch")
((patchFiles == ${#updated[@]})) || die "the patch has $patchFiles files but $list names ${#updated[@]}"
boundBytes=$((patchStored + dataTable))
log "archive: $dataEntries entries, $(stat -c %s "$data") bytes, table $dataTable bytes;" \
    "patch: $patchFiles files, $patchStored stored bytes; zip: $(stat -c %s "$zipPristine") bytes"

# --- working copies -----------------------------------------------------------
mkdir -p "$work"
cleanup() { ((keep)) || rm -rf "$work"; }
trap cleanup EXIT

restore() {  # restore FROM TO: a pristine copy, on disk before the clock starts
    cp --reflink=never "$1" "$2"
    sync "$2"
}

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }

# Each case sets these for its round.
caseSeconds=0
caseFlushSeconds=0

runUpdate() {
    mkdir -p "$work/hvr"
    restore "$data" "$work/hvr/data.hvr"
    restore "$patch" "$work/hvr/update.hvp"
    local start end flushed status=0
    start=$(now)
    (cd "$work/hvr" && "$hvrupdate" </dev/null >"$work/hvrupdate.out" 2>"$work/hvrupdate.err") || status=$?
    end=$(now)
    sync "$work/hvr/data.hvr"
    flushed=$(now)
    ((status == 0)) || { cat "$work/hvrupdate.out" "$work/hvrupdate.err" >&2; die "hvrupdate exited with $status"; }
    # The outcome box starts with the number of replacements.
    local replaced
    replaced=$(grep -o '^[0-9]\+' "$work/hvrupdate.out" | head -n 1 || true)
    [[ $replaced == "$patchFiles" ]] || { cat "$work/hvrupdate.out" >&2; die "hvrupdate replaced '$replaced', expected $patchFiles"; }
    local entries
    read -r entries _ < <("$extract" --summary "$work/hvr/data.hvr") || die "the updated archive does not open"
    [[ $entries == "$dataEntries" ]] || die "the updated archive has $entries entries, expected $dataEntries"
    caseSeconds=$(elapsed "$start" "$end")
    caseFlushSeconds=$(elapsed "$start" "$flushed")
}

runBound() {
    restore "$data" "$work/bound.hvr"
    local start end
    start=$(now)
    dd if=/dev/zero of="$work/bound.hvr" bs=1M count="$boundBytes" iflag=count_bytes \
        oflag=append conv=notrunc,fsync status=none
    end=$(now)
    local expected=$(($(stat -c %s "$data") + boundBytes))
    (($(stat -c %s "$work/bound.hvr") == expected)) || die "the lower bound wrote the wrong length"
    caseSeconds=$(elapsed "$start" "$end")
    caseFlushSeconds=$caseSeconds
}

runZip() {
    mkdir -p "$work/zip"
    restore "$zipPristine" "$work/zip/archive.zip"
    # Fresh copies of the patch's files: newer than every entry of the zip,
    # so "zip -u" takes each of them.
    rm -rf "$work/zip/files"
    cp -r "$patchTree" "$work/zip/files"
    sync -f "$work/zip/files"
    local start end flushed status=0
    start=$(now)
    (cd "$work/zip/files" && zip -0 -u "$work/zip/archive.zip" "${updated[@]}" >"$work/zip.out" 2>&1) || status=$?
    end=$(now)
    sync "$work/zip/archive.zip"
    flushed=$(now)
    ((status == 0)) || { tail "$work/zip.out" >&2; die "zip exited with $status"; }
    local taken
    taken=$(grep -c '^ *updating: ' "$work/zip.out" || true)
    ((taken == patchFiles)) || { tail "$work/zip.out" >&2; die "zip updated $taken files, expected $patchFiles"; }
    caseSeconds=$(elapsed "$start" "$end")
    caseFlushSeconds=$(elapsed "$start" "$flushed")
}

declare -a tUpdate tUpdateSync tBound tZip tZipSync
for ((round = 0; round < rounds; ++round)); do
    runUpdate; tUpdate[round]=$caseSeconds; tUpdateSync[round]=$caseFlushSeconds
    runBound; tBound[round]=$caseSeconds
    runZip; tZip[round]=$caseSeconds; tZipSync[round]=$caseFlushSeconds
    rm -f "$work/zip/archive.zip" "$work/bound.hvr"
    log "round $((round + 1)): hvrupdate ${tUpdate[round]} s (+fsync ${tUpdateSync[round]}), bound ${tBound[round]} s," \
        "zip ${tZip[round]} s (+fsync ${tZipSync[round]})"
done

# --- figures --------------------------------------------------------------------
stats() {  # values... -> "median min max"
    printf '%s\n' "$@" | LC_ALL=C sort -g | awk '{ v[NR] = $1 }
        END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%.3f %.3f %.3f\n", m, v[1], v[NR] }'
}
ratios() {  # name of the numerator array, of the denominator array -> one ratio per round
    local -n top=$1 bottom=$2
    local r
    for ((r = 0; r < rounds; ++r)); do awk -v a="${top[r]}" -v b="${bottom[r]}" 'BEGIN { printf "%.3f\n", a / b }'; done
}

echo
echo "hvrupdate, 1% of a 1 GiB, $dataEntries-entry archive replaced ($patchFiles files, $patchStored bytes);"
echo "lower bound appends $boundBytes bytes (patch entries + table of $dataTable bytes); $rounds rounds"
echo
printf '%-34s %10s %10s %10s   %s\n' "case" "median s" "min s" "max s" "per round"
row() {
    local name=$1 array=$2
    local -n values=$array
    read -r m lo hi < <(stats "${values[@]}")
    printf '%-34s %10s %10s %10s   %s\n' "$name" "$m" "$lo" "$hi" "${values[*]}"
}
row "hvrupdate" tUpdate
row "hvrupdate + fsync of data.hvr" tUpdateSync
row "lower bound (append + fsync)" tBound
row "zip -0 -u" tZip
row "zip -0 -u + fsync of the zip" tZipSync

echo
printf '%-34s %10s %10s %10s %8s %5s   %s\n' "ratio (per round)" "median" "min" "max" "target" "met" "per round"
missed=0
ratioRow() {  # name, numerator array, denominator array, "<=" or ">=", target (empty: none)
    local name=$1 op=$4 target=$5
    local -a values
    mapfile -t values < <(ratios "$2" "$3")
    read -r m lo hi < <(stats "${values[@]}")
    local met="-"
    if [[ -n $target ]]; then
        if awk -v m="$m" -v t="$target" -v op="$op" 'BEGIN { exit !(op == "<=" ? m <= t : m >= t) }'; then
            met=yes
        else
            met=NO
            missed=1
        fi
    fi
    printf '%-34s %9sx %9sx %9sx %8s %5s   %s\n' "$name" "$m" "$lo" "$hi" "${target:+$op ${target}x}" "$met" "${values[*]}"
}
ratioRow "hvrupdate / lower bound" tUpdate tBound "<=" 2
ratioRow "(hvrupdate + fsync) / lower bound" tUpdateSync tBound "<=" ""
ratioRow "zip / hvrupdate" tZip tUpdate ">=" 8
ratioRow "(zip + fsync) / (hvrupdate + fsync)" tZipSync tUpdateSync ">=" ""
echo
echo "(shared, noisy machine: compare only figures of one run)"
exit $missed
