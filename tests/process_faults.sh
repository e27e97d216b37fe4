#!/usr/bin/env bash
# Faults from outside the process against the Linux hvrupdate and hvrconv:
# a file-size limit, a full disk, kill -9 at random moments, a read-only
# archive or directory, an archive held by another process, and journals that
# are torn or belong to another archive.
#
# Every case is judged against images computed by fault-free runs of the same
# job on copies of the same directory: "before" (the generated data.hvr), the
# in-place result and the rebuilt result. After any fault and the next run,
# data.hvr must be byte for byte one of the images the case allows, update.hvp
# must be unchanged, and neither data.$$$ nor data.hvr-journal may be left.
#
# Needs root for mount and chattr; without them those cases print SKIP.
# Prints one line per check and ends with "N passed, M failed".
#
# Environment: HVR_BUILD_DIR (default build/linux), HVR_KILL_SEED (default
# 20240611), HVR_RO_METHOD (chattr|nobody|bind, to exercise a fallback that
# this machine would not pick by itself).
set -u
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${HVR_BUILD_DIR:-$root/build/linux}
UPDATE=$bin/hvrupdate
CONV=$bin/hvrconv
GEN=$bin/hvrgen
DUMP=$bin/hvrdump

passed=0
failed=0
for tool in "$UPDATE" "$CONV" "$GEN" "$DUMP"; do
    if [ ! -x "$tool" ]; then
        echo "FAIL: $tool is missing; build the hvrupdate hvrconv hvrgen hvrdump targets first"
        echo "0 passed, 1 failed"
        exit 1
    fi
done

T=$(mktemp -d "${TMPDIR:-/tmp}/process_faults.XXXXXX") || exit 1
# A run as "nobody" must be able to reach the working directories.
chmod 0755 "$T"
mkdir -p "$T/src" "$T/img" "$T/work"
script_start=$(date +%s%N)

# What the trap must undo, whatever point the script stopped at.
mounts=()
immutable=()
holders=()
child=
cleanup() {
    local pid path i
    # A program started in the background and not yet waited for.
    [ -n "$child" ] && kill -9 "$child" 2>/dev/null
    for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null; done
    for path in "${immutable[@]}"; do chattr -i "$path" 2>/dev/null; done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null
    done
    rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

TEXT_NOT_FOUND="The system cannot find the file specified."
TEXT_TOO_LARGE="The file size exceeds the limit allowed and cannot be saved."
TEXT_DISK_FULL="There is not enough space on the disk."
TEXT_DENIED="Access is denied."
TEXT_WRITE_PROTECT="The media is write protected."
TEXT_SHARING="The process cannot access the file because it is being used by another process."
TEXT_FOREIGN="data.hvr-journal does not belong to this data.hvr."
# The C locale's caption: the programs speak the locale's language.
CAPTION_ERROR="Error"

# ---------------------------------------------------------------- helpers

problems=()
# want DESCRIPTION-OF-FAILURE COMMAND...: notes the description when the
# command fails; verdict prints one line for everything noted since.
want() {
    local what=$1
    shift
    "$@" || problems+=("$what")
}
verdict() {
    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS: $1"
        passed=$((passed + 1))
    else
        local joined
        joined=$(printf '%s; ' "${problems[@]}")
        echo "FAIL: $1 -- ${joined%; }"
        failed=$((failed + 1))
    fi
    problems=()
}
skip() { echo "SKIP: $*"; }

same() {
    [ -f "$1" ] && [ -f "$2" ] && [ "$(stat -c %s "$1")" = "$(stat -c %s "$2")" ] && cmp -s "$1" "$2"
}
differ() { ! same "$1" "$2"; }
# image_name FILE NAME=PATH...: the first NAME whose image FILE equals, or "none".
image_name() {
    local file=$1 pair
    shift
    for pair in "$@"; do
        if same "$file" "${pair#*=}"; then
            echo "${pair%%=*}"
            return
        fi
    done
    echo none
}
leftovers() {
    local found="" name
    for name in 'data.$$$' data.hvr-journal; do [ -e "$1/$name" ] && found+=" $name"; done
    echo "${found# }"
}
no_leftovers() { [ -z "$(leftovers "$1")" ]; }
stderr_has() { grep -qF -- "$1" "$T/err"; }
stderr_text() { tr '\n' ' ' <"$T/err" | cut -c1-160; }
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
size_of() { stat -c %s "$1"; }

# run_in DIR COMMAND...: runs without a terminal; sets rc, output in $T/out
# and $T/err.
run_in() {
    local dir=$1
    shift
    (cd "$dir" && exec "$@") </dev/null >"$T/out" 2>"$T/err"
    rc=$?
}

# The checks shared by every refused run: the error box, and nothing changed.
# expect_refusal DIR TEXT BEFORE-IMAGE
expect_refusal() {
    want "exit $rc, not 1" [ "$rc" -eq 1 ]
    want "stderr lacks \"$2\" (stderr: $(stderr_text))" stderr_has "$2"
    want "stderr lacks the error caption" stderr_has "[$CAPTION_ERROR]"
    want "the error went to stdout" [ ! -s "$T/out" ]
    want "data.hvr is not the before image" same "$1/data.hvr" "$3"
}
# After the fault is gone: the run succeeds and gives the fault-free result.
# expect_success DIR FINAL-IMAGE
expect_success() {
    want "next run: exit $rc, not 0 (stderr: $(stderr_text))" [ "$rc" -eq 0 ]
    want "next run: no message on stdout" test -s "$T/out"
    want "next run: data.hvr is not the fault-free result" same "$1/data.hvr" "$2"
    want "next run: left behind: $(leftovers "$1")" no_leftovers "$1"
}

# ---------------------------------------------------------------- jobs
#
# A job is a pristine source directory (never run in), the program that
# works on it, and the images of fault-free runs: img/JOB.before,
# img/JOB.final, and for a run that rebuilds img/JOB.mid, data.hvr as it is
# once the rebuild has begun (the in-place result for a patch; the before
# image for a conversion to 0x0103, which has no in-place pass).

declare -A PROG MS WRITES_MS REBUILT

# new_source JOB PROGRAM HVRGEN-ARGS...
new_source() {
    local job=$1 program=$2
    shift 2
    mkdir -p "$T/src/$job"
    (cd "$T/src/$job" && "$GEN" "$@" >/dev/null) || return 1
    PROG[$job]=$program
    cp "$T/src/$job/data.hvr" "$T/img/$job.before"
    # A separate copy: the working directories share the source's update.hvp
    # by a hard link, so a run that wrote into it would change the source too.
    [ -f "$T/src/$job/update.hvp" ] && cp "$T/src/$job/update.hvp" "$T/img/$job.hvp"
    return 0
}

# fresh_copy JOB DIR: the job's before state in DIR.
fresh_copy() {
    rm -rf "$2"
    mkdir -p "$2"
    cp "$T/src/$1/data.hvr" "$2/data.hvr"
    [ -f "$T/src/$1/update.hvp" ] && ln "$T/src/$1/update.hvp" "$2/update.hvp"
    return 0
}
patch_unchanged() { [ ! -f "$T/img/$1.hvp" ] || same "$2/update.hvp" "$T/img/$1.hvp"; }

# reference JOB: the fault-free run, its duration, when it first wrote (the
# journal or data.$$$ appeared: before that a kill finds nothing to undo) and
# whether it rebuilt (a rebuild gives data.hvr a new inode by the rename).
reference() {
    local job=$1 d=$T/work/ref-$1 start inode pid
    fresh_copy "$job" "$d"
    inode=$(stat -c %i "$d/data.hvr")
    start=$(date +%s%N)
    (cd "$d" && exec "${PROG[$job]}") </dev/null >"$T/out" 2>"$T/err" &
    pid=$!
    child=$pid
    WRITES_MS[$job]=
    while kill -0 "$pid" 2>/dev/null; do
        if [ -e "$d/data.hvr-journal" ] || [ -e "$d/data.\$\$\$" ]; then
            WRITES_MS[$job]=$(ms_since "$start")
            break
        fi
        sleep 0.002
    done
    wait "$pid"
    rc=$?
    child=
    MS[$job]=$(ms_since "$start")
    [ -n "${WRITES_MS[$job]}" ] || WRITES_MS[$job]=0
    want "exit $rc, not 0 (stderr: $(stderr_text))" [ "$rc" -eq 0 ]
    want "left behind: $(leftovers "$d")" no_leftovers "$d"
    want "update.hvp changed" patch_unchanged "$job" "$d"
    same "$d/data.hvr" "$T/img/$job.before" && problems+=("data.hvr is still the before image")
    if [ "$(stat -c %i "$d/data.hvr")" = "$inode" ]; then REBUILT[$job]=0; else REBUILT[$job]=1; fi
    mv "$d/data.hvr" "$T/img/$job.final"
    rm -rf "$d"
    verdict "setup $job: fault-free $(basename "${PROG[$job]}") exits 0 ($(
        [ "${REBUILT[$job]}" = 1 ] && echo rebuilt || echo in place), ${MS[$job]} ms, first write at ${WRITES_MS[$job]} ms)"
}

# capture_mid JOB: kills a run once data.$$$ exists (the in-place pass, if
# any, has committed then) and keeps data.hvr as it is at that moment. Only
# a kill that came before the rename counts; a few tries allow for a run
# that finished first.
capture_mid() {
    local job=$1 d=$T/work/mid-$1 try pid inode
    for try in 1 2 3; do
        fresh_copy "$job" "$d"
        inode=$(stat -c %i "$d/data.hvr")
        (cd "$d" && exec "${PROG[$job]}") </dev/null >/dev/null 2>&1 &
        pid=$!
        child=$pid
        while [ ! -e "$d/data.\$\$\$" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.002; done
        kill -9 "$pid" 2>/dev/null
        { wait "$pid"; } 2>/dev/null
        child=
        if [ -e "$d/data.\$\$\$" ] && [ "$(stat -c %i "$d/data.hvr")" = "$inode" ]; then
            want "a journal is still there while data.\$\$\$ is written" [ ! -e "$d/data.hvr-journal" ]
            mv "$d/data.hvr" "$T/img/$job.mid"
            rm -rf "$d"
            return 0
        fi
    done
    rm -rf "$d"
    problems+=("the run always finished before it could be stopped during its rebuild")
    return 1
}

# allowed_images JOB: the NAME=PATH list for image_name.
allowed_images() {
    local job=$1
    echo "before=$T/img/$job.before"
    if [ "${REBUILT[$job]}" = 1 ]; then
        echo "in-place=$T/img/$job.mid"
        echo "rebuilt=$T/img/$job.final"
    else
        echo "in-place=$T/img/$job.final"
    fi
}

# ---------------------------------------------------------------- sources

# Small archives for the deterministic cases; big ones (a run of 0.3-2 s)
# for kill -9. The big 0x0103 archive is generated once per patch: the
# generator is deterministic, so the archives are the same bytes.
setup_ok=1
new_source small-inplace "$UPDATE" --format 0x0103 --entries 400 --size 4M --patch update.hvp --replace 50 &&
    new_source small-rebuild "$UPDATE" --format 0x0103 --entries 400 --size 4M --patch update.hvp --replace 400 &&
    new_source small-conv "$CONV" --format 0x0200 --entries 400 --size 4M &&
    new_source big-inplace "$UPDATE" --format 0x0103 --entries 20000 --size 100M --patch update.hvp --replace 200 &&
    new_source big-rebuild "$UPDATE" --format 0x0103 --entries 20000 --size 100M --patch update.hvp --replace 400 &&
    new_source big-conv-0103 "$CONV" --format 0x0200 --entries 20000 --size 100M ||
    setup_ok=0
if [ "$setup_ok" = 1 ]; then
    mkdir -p "$T/src/big-conv-0200"
    ln "$T/src/big-inplace/data.hvr" "$T/src/big-conv-0200/data.hvr"
    PROG[big-conv-0200]=$CONV
    cp "$T/img/big-inplace.before" "$T/img/big-conv-0200.before"
fi
want "hvrgen failed" [ "$setup_ok" = 1 ]
verdict "setup: hvrgen writes the sample archives and patches"
if [ "$setup_ok" != 1 ]; then
    echo "$passed passed, $failed failed"
    exit 1
fi

for job in small-inplace small-rebuild small-conv big-inplace big-rebuild big-conv-0103 big-conv-0200; do
    reference "$job"
done
# The cases below rely on which commit each job takes.
want "small-inplace rebuilt" [ "${REBUILT[small-inplace]}" = 0 ]
want "small-rebuild kept its in-place result" [ "${REBUILT[small-rebuild]}" = 1 ]
want "small-conv did not rebuild" [ "${REBUILT[small-conv]}" = 1 ]
want "big-inplace rebuilt" [ "${REBUILT[big-inplace]}" = 0 ]
want "big-rebuild kept its in-place result" [ "${REBUILT[big-rebuild]}" = 1 ]
want "big-conv-0103 did not rebuild" [ "${REBUILT[big-conv-0103]}" = 1 ]
verdict "setup: the jobs commit as the cases assume (in place / rebuild)"

for job in big-rebuild big-conv-0103 big-conv-0200; do
    [ "${REBUILT[$job]}" = 1 ] || continue
    capture_mid "$job"
    if [ "$job" = big-conv-0103 ] && [ -f "$T/img/$job.mid" ]; then
        want "data.hvr changed before the rename" same "$T/img/$job.mid" "$T/img/$job.before"
    fi
    verdict "setup $job: data.hvr captured once the rebuild has begun (what a stop during the rebuild leaves)"
done

# The journal of an in-place pass stopped halfway: kill -9 once the journal
# is there and data.hvr has grown past its old size (so the journal was
# written and flushed, and the archive is part way through its change).
midpass=$T/work/midpass
got_midpass=0
s0=$(size_of "$T/img/big-inplace.before")
table_position=$("$DUMP" "$T/img/big-inplace.before" | sed -n '1s/.*(position \([0-9]*\)).*/\1/p')
for try in 1 2 3; do
    fresh_copy big-inplace "$midpass"
    (cd "$midpass" && exec "$UPDATE") </dev/null >/dev/null 2>&1 &
    pid=$!
    child=$pid
    while kill -0 "$pid" 2>/dev/null; do
        [ -e "$midpass/data.hvr-journal" ] && [ "$(size_of "$midpass/data.hvr")" -gt "$s0" ] && break
        sleep 0.002
    done
    kill -9 "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    child=
    if [ -e "$midpass/data.hvr-journal" ]; then
        got_midpass=1
        break
    fi
done
if [ "$got_midpass" = 1 ]; then
    cp "$midpass/data.hvr-journal" "$T/img/midpass.journal"
    cp "$midpass/data.hvr" "$T/img/midpass.hvr"
    # 78 bytes of fixed fields, the saved range (the old table to the old
    # end of the file) and a CRC.
    want "journal has $(size_of "$T/img/midpass.journal") bytes, not $((78 + s0 - table_position + 4))" \
        [ "$(size_of "$T/img/midpass.journal")" -eq $((78 + s0 - table_position + 4)) ]
    want "data.hvr is still the before image" differ "$T/img/midpass.hvr" "$T/img/big-inplace.before"
else
    problems+=("every run finished before it could be stopped with its journal in place")
fi
verdict "setup: hvrupdate killed during its in-place pass leaves a whole journal and a changed data.hvr"

# ---------------------------------------------------------------- 1. ulimit -f

# A file-size limit between the old and the new size, so that the growing
# write fails with EFBIG (SIGXFSZ is ignored by the programs).
echo "--- file-size limit (ulimit -f)"
for job in small-inplace small-rebuild small-conv; do
    d=$T/work/ulimit-$job
    fresh_copy "$job" "$d"
    old=$(size_of "$T/img/$job.before")
    new=$(size_of "$T/img/$job.final")
    blocks=$(((old + new) / 2 / 1024))
    limit=$((blocks * 1024))
    what="ulimit -f $blocks: $(basename "${PROG[$job]}") $job ($old -> $new bytes)"
    if ! [ "$old" -lt "$limit" ] || ! [ "$limit" -lt "$new" ]; then
        problems+=("no limit lies between the old and the new size")
        verdict "$what"
        continue
    fi
    (cd "$d" && ulimit -f "$blocks" && exec "${PROG[$job]}") </dev/null >"$T/out" 2>"$T/err"
    rc=$?
    expect_refusal "$d" "$TEXT_TOO_LARGE" "$T/img/$job.before"
    want "left behind: $(leftovers "$d")" no_leftovers "$d"
    want "update.hvp changed" patch_unchanged "$job" "$d"
    run_in "$d" "${PROG[$job]}"
    expect_success "$d" "$T/img/$job.final"
    verdict "$what: error box, before image, nothing left; a run without the limit succeeds"
    rm -rf "$d"
done

# ---------------------------------------------------------------- 2. full disk

echo "--- full disk (tmpfs)"
mnt=$T/mnt
mkdir -p "$mnt"
if [ "$(id -u)" != 0 ]; then
    skip "full disk: mounting a tmpfs needs root; this runs as uid $(id -u)"
elif ! mount -t tmpfs -o size=48m,mode=0755 hvr-process-faults "$mnt" 2>"$T/err"; then
    skip "full disk: mounting a tmpfs is not permitted here ($(stderr_text))"
else
    mounts+=("$mnt")
    avail() { df -B1 --output=avail "$mnt" | tail -n 1 | tr -d ' '; }
    # leave_free BYTES: a filler takes all but BYTES (rounded to pages).
    leave_free() {
        rm -f "$mnt/filler"
        local room
        room=$(avail)
        [ "$room" -gt "$1" ] && fallocate -l $((room - $1)) "$mnt/filler"
        [ "$(avail)" -le $(($1 + 4096)) ]
    }
    small_table_position=$("$DUMP" "$T/img/small-inplace.before" | sed -n '1s/.*(position \([0-9]*\)).*/\1/p')
    small_journal=$((78 + $(size_of "$T/img/small-inplace.before") - small_table_position + 4))
    small_growth=$(($(size_of "$T/img/small-inplace.final") - $(size_of "$T/img/small-inplace.before")))
    journal_room=$(((small_journal + 4095) / 4096 * 4096 + 2 * 4096))
    # label|job|free bytes|whether data.hvr is written before the fault
    while IFS='|' read -r label job free touched; do
        d=$mnt/d
        rm -rf "$d" "$mnt/filler"
        mkdir "$d"
        cp "$T/src/$job/data.hvr" "$d/"
        [ -f "$T/src/$job/update.hvp" ] && cp "$T/src/$job/update.hvp" "$d/"
        what="full disk ($label): $(basename "${PROG[$job]}") $job with $free bytes free"
        if ! leave_free "$free"; then
            problems+=("could not leave exactly $free bytes free (available: $(avail))")
            verdict "$what"
            continue
        fi
        if [ "$label" = "entries" ] && [ "$small_growth" -le $((free + 65536)) ]; then
            problems+=("the archive grows by $small_growth bytes only, which would fit")
        fi
        stamp=$(stat -c %y "$d/data.hvr")
        run_in "$d" "${PROG[$job]}"
        expect_refusal "$d" "$TEXT_DISK_FULL" "$T/img/$job.before"
        want "left behind: $(leftovers "$d")" no_leftovers "$d"
        want "update.hvp changed" patch_unchanged "$job" "$d"
        # Shows the fault struck where the row says: the journal's failure
        # comes before any write to data.hvr, the entries' after.
        case $touched in
            no) want "data.hvr was written although the journal did not fit" [ "$(stat -c %y "$d/data.hvr")" = "$stamp" ] ;;
            yes) want "data.hvr was never written: the fault struck before the entries" [ "$(stat -c %y "$d/data.hvr")" != "$stamp" ] ;;
        esac
        rm -f "$mnt/filler"
        run_in "$d" "${PROG[$job]}"
        expect_success "$d" "$T/img/$job.final"
        verdict "$what: error box, before image, nothing left; after freeing space a run succeeds"
    done <<EOF
journal|small-inplace|0|no
entries|small-inplace|$journal_room|yes
rebuild data.\$\$\$|small-conv|$(($(size_of "$T/img/small-conv.before") / 2))|any
EOF
    rm -rf "${mnt:?}"/*
    umount "$mnt" && unset 'mounts[-1]'
fi

# ---------------------------------------------------------------- 3. kill -9

# Each iteration starts the job on a fresh copy, kills it after a seeded
# random delay, spread over the span in which the fault-free run wrote (and
# a little before and after it, so that some runs finish first), then checks
# in two steps:
#  1. the recovery alone: hvrupdate with update.hvp moved aside runs the
#     recovery, reads data.hvr and stops at the missing patch; data.hvr must
#     now be the before image, the in-place result or the rebuilt result,
#     and no temporary file may be left;
#  2. the same program again, to completion: it must succeed and leave
#     nothing behind, and where the recovery gave the before image its
#     result must be the fault-free result.
echo "--- kill -9"
seed=${HVR_KILL_SEED:-20240611}
RANDOM=$seed
kill_budget_ms=50000
kill_start=$(date +%s%N)
not_run=0
hit_journal=0
hit_temp=0
echo "note: kill -9 delays seeded with $seed"
# One iteration for $job (round $i) on $d, killed after $delay ms, judged
# against the images in $allowed.
kill_iteration() {
    fresh_copy "$job" "$d"
    (cd "$d" && exec "${PROG[$job]}") </dev/null >/dev/null 2>&1 &
    pid=$!
    child=$pid
    sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    kill -9 "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    killed=$?
    child=
    # What the kill left shows which stretch of the run it hit.
    left=$(leftovers "$d")
    if [ "$killed" != 137 ]; then
        how="finished first (exit $killed)"
    else
        how="killed, left ${left:-no temporary file}"
        case $left in
            *journal*) hit_journal=$((hit_journal + 1)) ;;
            *'$$$'*) hit_temp=$((hit_temp + 1)) ;;
        esac
    fi
    want "update.hvp changed by the killed run" patch_unchanged "$job" "$d"

    [ -f "$d/update.hvp" ] && mv "$d/update.hvp" "$d/update.hvp.aside"
    run_in "$d" "$UPDATE"
    [ -f "$d/update.hvp.aside" ] && mv "$d/update.hvp.aside" "$d/update.hvp"
    want "recovery run: exit $rc, not 1" [ "$rc" -eq 1 ]
    want "recovery run: stderr lacks \"$TEXT_NOT_FOUND\" (stderr: $(stderr_text))" stderr_has "$TEXT_NOT_FOUND"
    state=$(image_name "$d/data.hvr" "${allowed[@]}")
    want "after recovery data.hvr ($(size_of "$d/data.hvr" 2>/dev/null) bytes) is none of the allowed images" \
        [ "$state" != none ]
    want "after recovery left behind: $(leftovers "$d")" no_leftovers "$d"

    run_in "$d" "${PROG[$job]}"
    want "next run: exit $rc, not 0 (stderr: $(stderr_text))" [ "$rc" -eq 0 ]
    want "next run: left behind: $(leftovers "$d")" no_leftovers "$d"
    if [ "$state" = before ]; then
        want "next run from the before image: not the fault-free result" same "$d/data.hvr" "$T/img/$job.final"
    fi
    want "update.hvp changed" patch_unchanged "$job" "$d"
    verdict "kill -9 $(basename "${PROG[$job]}") $job #$i after $delay ms ($how): recovery gives $state, then a full run"
    if [ "$state" = none ]; then
        # Kept for the report: the damaged directory.
        kept=$(dirname "$T")/process_faults-kill-$job-$i
        rm -rf "$kept" && cp -a "$d" "$kept" && echo "note: kept the directory as $(realpath "$kept")"
    fi
}
# Round by round, so that each job gets its share before the time bound.
plan=(big-inplace big-rebuild big-conv-0103 big-conv-0200)
declare -A rounds=([big-inplace]=6 [big-rebuild]=4 [big-conv-0103]=4 [big-conv-0200]=5)
for ((i = 1; i <= 6; i++)); do
    for job in "${plan[@]}"; do
        [ "$i" -le "${rounds[$job]}" ] || continue
        d=$T/work/kill
        if [ "${REBUILT[$job]}" = 1 ] && [ ! -f "$T/img/$job.mid" ]; then
            [ "$i" = 1 ] && skip "kill -9 $job: its in-place result could not be captured (see setup)"
            continue
        fi
        mapfile -t allowed < <(allowed_images "$job")
        # Most kills land while the job writes; a quarter of the reading
        # time before it, and a tenth of the run after its end, too.
        low=$((WRITES_MS[$job] * 3 / 4))
        high=$((MS[$job] * 11 / 10))
        delay=$((low + RANDOM * (high - low) / 32768))
        if [ "$(ms_since "$kill_start")" -gt "$kill_budget_ms" ]; then
            not_run=$((not_run + 1))
            continue
        fi
        kill_iteration
    done
done
rm -rf "$T/work/kill"
[ "$not_run" -gt 0 ] && skip "kill -9: $not_run iterations not run, the part's time bound ($kill_budget_ms ms) was reached"
echo "note: kill -9 part took $(ms_since "$kill_start") ms; $hit_journal kills left a journal to roll back, $hit_temp a data.\$\$\$ to delete"

# ---------------------------------------------------------------- 4. read-only

# Root ignores permission bits, so the archive or directory is made
# read-only by the first of these that works here: the immutable attribute,
# a run as "nobody" with permission bits that deny the write, a read-only
# bind mount (which the system reports as write protection, not as denied
# access).
echo "--- read-only archive and directory"
ro_method=${HVR_RO_METHOD:-}
if [ -z "$ro_method" ]; then
    touch "$T/probe"
    if chattr +i "$T/probe" 2>/dev/null; then
        chattr -i "$T/probe"
        ro_method=chattr
    elif runuser -u nobody -- true 2>/dev/null; then
        ro_method=nobody
    elif mkdir -p "$T/probe.d" && mount --bind "$T/probe.d" "$T/probe.d" 2>/dev/null; then
        mount -o remount,ro,bind "$T/probe.d" "$T/probe.d" 2>/dev/null && ro_method=bind
        umount "$T/probe.d"
    fi
    rm -rf "$T/probe" "$T/probe.d"
fi
echo "note: read-only by: ${ro_method:-nothing that works here}"

# ro_on KIND DIR / ro_off KIND DIR, KIND archive or directory.
ro_on() {
    local kind=$1 d=$2
    case $ro_method in
        chattr)
            local target=$d
            [ "$kind" = archive ] && target=$d/data.hvr
            chattr +i "$target" && immutable+=("$target")
            ;;
        nobody)
            chmod 0644 "$d/update.hvp" 2>/dev/null
            if [ "$kind" = archive ]; then
                chmod 0777 "$d" && chmod 0444 "$d/data.hvr"
            else
                chmod 0755 "$d" && chown nobody "$d/data.hvr" && chmod 0644 "$d/data.hvr"
            fi
            ;;
        bind)
            mount --bind "$d" "$d" && mounts+=("$d") && mount -o remount,ro,bind "$d" "$d"
            ;;
    esac
}
ro_off() {
    local kind=$1 d=$2
    case $ro_method in
        chattr)
            local target=$d
            [ "$kind" = archive ] && target=$d/data.hvr
            chattr -i "$target"
            ;;
        nobody) chown root "$d/data.hvr" && chmod 0644 "$d/data.hvr" && chmod 0755 "$d" ;;
        bind) umount "$d" && unset 'mounts[-1]' ;;
    esac
}
ro_run() {
    if [ "$ro_method" = nobody ]; then
        run_in "$1" runuser -u nobody -- "$2"
    else
        run_in "$1" "$2"
    fi
}
ro_text=$TEXT_DENIED
[ "$ro_method" = bind ] && ro_text=$TEXT_WRITE_PROTECT

if [ -z "$ro_method" ]; then
    skip "read-only cases: neither chattr +i, a run as nobody nor a read-only bind mount works here"
else
    # kind|job: an in-place job cannot create its journal in a read-only
    # directory, a rebuild cannot create data.$$$.
    while IFS='|' read -r kind job; do
        d=$T/work/ro-$kind-$job
        fresh_copy "$job" "$d"
        # A real copy: a changed mode or owner must not reach the source.
        [ -f "$d/update.hvp" ] && rm "$d/update.hvp" && cp "$T/src/$job/update.hvp" "$d/"
        what="read-only $kind ($ro_method): $(basename "${PROG[$job]}") $job"
        if ! ro_on "$kind" "$d"; then
            problems+=("could not make the $kind read-only by $ro_method")
            verdict "$what"
            continue
        fi
        ro_run "$d" "${PROG[$job]}"
        expect_refusal "$d" "$ro_text" "$T/img/$job.before"
        want "left behind: $(leftovers "$d")" no_leftovers "$d"
        want "update.hvp changed" patch_unchanged "$job" "$d"
        ro_off "$kind" "$d"
        run_in "$d" "${PROG[$job]}"
        expect_success "$d" "$T/img/$job.final"
        verdict "$what: error box, before image, nothing left; once writable a run succeeds"
        rm -rf "$d"
    done <<EOF
archive|small-inplace
archive|small-conv
directory|small-inplace
directory|small-rebuild
directory|small-conv
EOF
fi

# ---------------------------------------------------------------- 5. held archive

# Another process holds data.hvr under an exclusive flock, which is how the
# programs keep one another out. One process that holds the lock and sleeps,
# so it can be ended by its id.
echo "--- archive held by another process"
hold() {
    (exec 9<"$1/data.hvr" && flock -x 9 && exec sleep 60) &
    holder=$!
    holders+=("$holder")
    local n
    for ((n = 0; n < 500; n++)); do
        flock -n -E 99 "$1/data.hvr" true
        [ $? -eq 99 ] && return 0
        sleep 0.01
    done
    return 1
}
release() {
    kill "$holder" 2>/dev/null
    { wait "$holder"; } 2>/dev/null
}
# label|program|source job (or midpass)|image after the lock goes
while IFS='|' read -r label program source final; do
    d=$T/work/held
    if [ "$source" = midpass ]; then
        if [ "$got_midpass" != 1 ]; then
            skip "held archive ($label): no journal of a stopped run (see setup)"
            continue
        fi
        rm -rf "$d" && mkdir -p "$d"
        cp "$T/img/midpass.hvr" "$d/data.hvr"
        cp "$T/img/midpass.journal" "$d/data.hvr-journal"
        ln "$T/src/big-inplace/update.hvp" "$d/update.hvp"
        before=$T/img/midpass.hvr
        patch_job=big-inplace
    else
        fresh_copy "$source" "$d"
        before=$T/img/$source.before
        patch_job=$source
    fi
    what="held archive ($label): $(basename "$program")"
    if ! hold "$d"; then
        release
        problems+=("the holder never took the lock")
        verdict "$what"
        continue
    fi
    run_in "$d" "$program"
    expect_refusal "$d" "$TEXT_SHARING" "$before"
    want "data.\$\$\$ left behind" [ ! -e "$d/data.\$\$\$" ]
    if [ "$source" = midpass ]; then
        want "the journal was touched while the archive was held" same "$d/data.hvr-journal" "$T/img/midpass.journal"
    else
        want "a journal was left behind" [ ! -e "$d/data.hvr-journal" ]
    fi
    want "update.hvp changed" patch_unchanged "$patch_job" "$d"
    release
    run_in "$d" "$program"
    expect_success "$d" "$T/img/$final.final"
    verdict "$what: sharing error, nothing touched; after the lock goes a run succeeds"
    rm -rf "$d"
done <<EOF
in-place patch|$UPDATE|small-inplace|small-inplace
conversion|$CONV|small-conv|small-conv
leftover journal, then rolled back and patched|$UPDATE|midpass|big-inplace
leftover journal, then rolled back and converted|$CONV|midpass|big-conv-0200
EOF

# ---------------------------------------------------------------- 6. journals

echo "--- torn and foreign journals"
# A journal that is not whole was torn while it was written, before the
# archive was touched: the run deletes it and does its job.
# label|job|how the journal is made
while IFS='|' read -r label job make; do
    d=$T/work/torn
    fresh_copy "$job" "$d"
    what="torn journal ($label): $(basename "${PROG[$job]}") $job"
    if [ "$job" = big-inplace ] && [ "$got_midpass" != 1 ]; then
        skip "$what: no journal of a stopped run (see setup)"
        continue
    fi
    journal=$d/data.hvr-journal
    full=$T/img/midpass.journal
    case $make in
        garbage) head -c 4096 "$T/img/$job.before" | tail -c 1000 >"$journal" ;;
        magic) { printf 'HVRJRNL\0\1\0\0\0'; head -c 3000 "$T/img/$job.before"; } >"$journal" ;;
        empty) : >"$journal" ;;
        cut) head -c $(($(size_of "$full") - 100)) "$full" >"$journal" ;;
        flipped)
            cp "$full" "$journal"
            at=$(($(size_of "$full") / 2))
            byte=$(od -An -tu1 -j "$at" -N1 "$full" | tr -d ' ')
            printf "\\$(printf '%03o' $((byte ^ 0x40)))" | dd of="$journal" bs=1 seek="$at" conv=notrunc 2>/dev/null
            ;;
    esac
    want "the journal could not be made" test -f "$journal"
    [ "$make" = flipped ] && same "$journal" "$full" && problems+=("the byte did not flip")
    run_in "$d" "${PROG[$job]}"
    expect_success "$d" "$T/img/$job.final"
    want "update.hvp changed" patch_unchanged "$job" "$d"
    verdict "$what: deleted, and the job done as without it"
    rm -rf "$d"
done <<EOF
garbage bytes|small-inplace|garbage
the magic then garbage|small-inplace|magic
empty file|small-inplace|empty
garbage bytes|small-conv|garbage
a real journal cut short|big-inplace|cut
a real journal with one byte changed|big-inplace|flipped
EOF

# A whole journal beside an archive it was not taken of: rolling it back
# would damage that archive, so the run refuses and keeps both files.
for job in small-inplace small-conv; do
    d=$T/work/foreign
    what="foreign journal: $(basename "${PROG[$job]}") $job beside the journal of the stopped big run"
    if [ "$got_midpass" != 1 ]; then
        skip "$what: no journal of a stopped run (see setup)"
        continue
    fi
    fresh_copy "$job" "$d"
    cp "$T/img/midpass.journal" "$d/data.hvr-journal"
    run_in "$d" "${PROG[$job]}"
    expect_refusal "$d" "$TEXT_FOREIGN" "$T/img/$job.before"
    want "the journal changed or went" same "$d/data.hvr-journal" "$T/img/midpass.journal"
    want "data.\$\$\$ left behind" [ ! -e "$d/data.\$\$\$" ]
    want "update.hvp changed" patch_unchanged "$job" "$d"
    verdict "$what: refused with the explanation, both files kept"
    rm -rf "$d"
done

echo "note: took $(ms_since "$script_start") ms in all"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
