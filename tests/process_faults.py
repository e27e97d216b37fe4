#!/usr/bin/env python3
"""Faults from outside the process against the Linux hvrupdate and hvrconv.

The faults: a file-size limit, a full disk, kill -9 at random moments, a
read-only archive or directory, an archive held by another process, journals
that are torn or belong to another archive; and the world around the programs:
closed standard streams, links planted at the temporary names, a symlinked or
hard-linked archive, a journal beside another copy of the archive, a flush
that fails at any point, and runs that race one another.

Every case is judged against images computed by fault-free runs of the same
job on copies of the same directory: "before" (the generated data.hvr), the
in-place result and the rebuilt result (and, for races, the result of each
sequential order of the runs). After any fault and the next run, data.hvr
must be byte for byte one of the images the case allows, update.hvp must be
unchanged, and neither data.$$$ nor data.hvr-journal may be left.

Needs root for mount and chattr, and strace for the injected faults and the
races; without them those cases print SKIP. Prints one line per check and
ends with "N passed, M failed"; exits 1 when anything failed.

Environment: HVR_BUILD_DIR (default build/linux), HVR_KILL_SEED (default
20240611), HVR_RO_METHOD (chattr|nobody|bind, to exercise a fallback that
this machine would not pick by itself).
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import fcntl
import hashlib
import itertools
import os
import random
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Optional

os.environ["LC_ALL"] = "C"

ROOT = Path(__file__).resolve().parent.parent
BIN = Path(os.environ.get("HVR_BUILD_DIR") or ROOT / "build" / "linux").resolve()
UPDATE = str(BIN / "hvrupdate")
CONV = str(BIN / "hvrconv")
GEN = str(BIN / "hvrgen")
DUMP = str(BIN / "hvrdump")
DIFF = str(BIN / "hvrdiff")

ARCHIVE = "data.hvr"
PATCH = "update.hvp"
TEMP = "data.$$$"
JOURNAL = "data.hvr-journal"
TEMPORARY_NAMES = (TEMP, JOURNAL)

TEXT_NOT_FOUND = "The system cannot find the file specified."
TEXT_TOO_LARGE = "The file size exceeds the limit allowed and cannot be saved."
TEXT_DISK_FULL = "There is not enough space on the disk."
TEXT_DENIED = "Access is denied."
TEXT_WRITE_PROTECT = "The media is write protected."
TEXT_SHARING = "The process cannot access the file because it is being used by another process."
TEXT_FOREIGN = "data.hvr-journal does not belong to this data.hvr."
TEXT_IO = "The request could not be performed because of an I/O device error."
# The error caption is being translated for English locales; until every
# build has it, either is the error box.
ERROR_CAPTIONS = ("[エラー]", "[Error]")

# No single run of these small jobs takes long; a run that hangs is a fault
# of its own and must not stall the suite.
RUN_TIMEOUT = 120


def program_name(argv0: str) -> str:
    return os.path.basename(argv0)


# ---------------------------------------------------------------- checks


class Check:
    """What went wrong in one check; the suite prints one line for it."""

    def __init__(self, what: str):
        self.what = what
        self.problems: list[str] = []

    def want(self, ok: bool, why: str) -> bool:
        if not ok:
            self.problems.append(why)
        return bool(ok)

    def fail(self, why: str) -> None:
        self.problems.append(why)


class Suite:
    def __init__(self) -> None:
        self.passed = 0
        self.failed = 0

    def verdict(self, check: Check, what: Optional[str] = None) -> bool:
        what = what or check.what
        if check.problems:
            print(f"FAIL: {what} -- {'; '.join(check.problems)}", flush=True)
            self.failed += 1
            return False
        print(f"PASS: {what}", flush=True)
        self.passed += 1
        return True

    @staticmethod
    def skip(what: str) -> None:
        print(f"SKIP: {what}", flush=True)

    @staticmethod
    def note(text: str) -> None:
        print(f"note: {text}", flush=True)

    @staticmethod
    def section(title: str) -> None:
        print(f"--- {title}", flush=True)


SUITE = Suite()


# ---------------------------------------------------------------- clean-up

class Cleanup:
    """What must be undone whatever point the suite stopped at: programs still
    running (each started in a session of its own, so that a traced program
    goes with its tracer), immutable files, mounts."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.running: set[subprocess.Popen] = set()
        self.immutable: list[str] = []
        self.mounts: list[str] = []
        self.closed = False

    def start(self, argv: list[str], **kwargs) -> subprocess.Popen:
        with self.lock:
            # Once undone, a race still running on another thread must not
            # start what nobody would end.
            if self.closed:
                raise RuntimeError("the suite is stopping")
            process = subprocess.Popen(argv, start_new_session=True, **kwargs)
            self.running.add(process)
        return process

    def finished(self, process: subprocess.Popen) -> None:
        with self.lock:
            self.running.discard(process)

    @staticmethod
    def kill(process: subprocess.Popen) -> None:
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def undo(self) -> None:
        with self.lock:
            self.closed = True
            running = list(self.running)
        for process in running:
            self.kill(process)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        for path in self.immutable:
            subprocess.run(["chattr", "-i", path], stderr=subprocess.DEVNULL)
        for mount in reversed(self.mounts):
            if subprocess.run(["umount", mount], stderr=subprocess.DEVNULL).returncode != 0:
                subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)


CLEANUP = Cleanup()


# ---------------------------------------------------------------- files

def same(a, b) -> bool:
    try:
        if not (os.path.isfile(a) and os.path.isfile(b)):
            return False
        if os.path.getsize(a) != os.path.getsize(b):
            return False
        with open(a, "rb") as fa, open(b, "rb") as fb:
            while True:
                x = fa.read(1 << 20)
                if x != fb.read(1 << 20):
                    return False
                if not x:
                    return True
    except OSError:
        return False


def image_name(path, images: dict[str, Path]) -> str:
    """The first name whose image the file equals, or "none"."""
    for name, image in images.items():
        if same(path, image):
            return name
    return "none"


def leftovers(d, names=TEMPORARY_NAMES) -> list[str]:
    # lexists: a dangling link left at a temporary name is left behind too.
    return [name for name in names if os.path.lexists(os.path.join(d, name))]


def left_text(d, names=TEMPORARY_NAMES) -> str:
    return " ".join(leftovers(d, names))


def size_of(path) -> int:
    return os.path.getsize(path)


def ms_since(start: float) -> int:
    return int((time.monotonic() - start) * 1000)


def flip_byte(path, at: int) -> None:
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)[0]
        f.seek(at)
        f.write(bytes([byte ^ 0x40]))


def table_position(archive) -> int:
    first = subprocess.run([DUMP, str(archive)], capture_output=True, text=True).stdout.splitlines()[:1]
    match = re.search(r"\(position (\d+)\)", first[0] if first else "")
    return int(match.group(1)) if match else -1


def snapshot(d) -> dict[str, tuple]:
    """The folder's entries by name: a file by its contents, a link by its target."""
    result = {}
    for name in sorted(os.listdir(d)):
        path = os.path.join(d, name)
        info = os.lstat(path)
        if stat.S_ISLNK(info.st_mode):
            result[name] = ("link", os.readlink(path))
        elif stat.S_ISREG(info.st_mode):
            with open(path, "rb") as f:
                result[name] = ("file", hashlib.sha256(f.read()).hexdigest())
        else:
            result[name] = ("other", stat.S_IFMT(info.st_mode))
    return result


def snapshot_difference(got: dict, want: dict) -> str:
    parts = []
    added = sorted(set(got) - set(want))
    gone = sorted(set(want) - set(got))
    changed = sorted(n for n in set(got) & set(want) if got[n] != want[n])
    if added:
        parts.append("created " + " ".join(added))
    if gone:
        parts.append("missing " + " ".join(gone))
    if changed:
        parts.append("different " + " ".join(changed))
    return ", ".join(parts)


# ---------------------------------------------------------------- runs

@dataclasses.dataclass
class Outcome:
    rc: Optional[int]
    out: str
    err: str

    def err_has(self, text: str) -> bool:
        return text in self.err

    def error_box(self) -> bool:
        return any(caption in self.err for caption in ERROR_CAPTIONS)

    def err_text(self) -> str:
        return self.err.replace("\n", " ")[:160]


def decode(data: Optional[bytes]) -> str:
    return (data or b"").decode("utf-8", "replace")


def run(cwd, argv, *, close: tuple[int, ...] = (), file_size_limit: Optional[int] = None,
        timeout: float = RUN_TIMEOUT) -> Outcome:
    """Runs without a terminal, standard input from /dev/null; `close` lists
    standard descriptors the program starts without."""
    argv = [argv] if isinstance(argv, str) else list(argv)

    def in_child() -> None:
        if file_size_limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
        for fd in close:
            os.close(fd)

    process = CLEANUP.start(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE,
                            preexec_fn=in_child if close or file_size_limit is not None else None)
    try:
        out, err = process.communicate(timeout=timeout)
        rc = process.returncode
    except subprocess.TimeoutExpired:
        CLEANUP.kill(process)
        out, err = process.communicate()
        rc = None
    CLEANUP.finished(process)
    return Outcome(rc, decode(out), decode(err))


def strace_argv(*injections: str, output: str = "/dev/null", trace: Optional[str] = None,
                paths: bool = False) -> list[str]:
    """strace with the injections; `paths` annotates each descriptor with the
    file it stands for, so that the log shows which files a run opened."""
    argv = ["strace", "-f", "-qq", "-o", output] + (["-y"] if paths else [])
    if trace:
        argv += ["-e", f"trace={trace}"]
    for injection in injections:
        argv += ["-e", f"inject={injection}"]
    return argv


def strace_works() -> bool:
    """Whether strace is there and may trace here (a container can forbid it)."""
    if shutil.which("strace") is None:
        return False
    return subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


HAVE_STRACE = strace_works()


@dataclasses.dataclass
class Call:
    name: str
    ordinal: int  # among the worker thread's calls of this name, from 1: strace's when=
    target: str   # the name of the file it works on, if any


def traced_calls(cwd, argv: list[str]) -> tuple[Outcome, list[Call]]:
    """A fault-free run under strace: the job thread's system calls in order.
    The programs do their file work on one thread, the second to appear;
    strace counts an injection's calls per thread."""
    fd, log = tempfile.mkstemp(prefix="trace.", dir=T)
    os.close(fd)
    outcome = run(cwd, ["strace", "-f", "-qq", "-y", "-o", log] + argv)
    threads: list[str] = []
    counts: dict[tuple[str, str], int] = {}
    calls: list[Call] = []
    line_format = re.compile(r"^(\d+) +([a-z0-9_]+)\((.*)$")
    with open(log, errors="replace") as f:
        for line in f:
            match = line_format.match(line)
            if not match:
                continue  # resumed halves, exits, signals
            tid, name, rest = match.groups()
            if tid not in threads:
                threads.append(tid)
            if len(threads) < 2 or tid != threads[1]:
                continue
            counts[(tid, name)] = counts.get((tid, name), 0) + 1
            quoted = re.match(r'(?:AT_FDCWD(?:<[^>]*>)?, )?"([^"]*)"', rest)
            annotated = re.match(r'\d+<([^>]*)>', rest)
            target = quoted.group(1) if quoted else annotated.group(1) if annotated else ""
            calls.append(Call(name, counts[(tid, name)], os.path.basename(target)))
    os.unlink(log)
    return outcome, calls


def was_killed(outcome: Outcome) -> bool:
    # strace ends itself with the signal that ended the program it ran.
    return outcome.rc in (-signal.SIGKILL, 128 + signal.SIGKILL)


def opened_files(log: Path) -> set[str]:
    """The files a run under strace_argv(paths=True) got a descriptor for, as
    the kernel resolved them: a link shows as its target."""
    found = set()
    with open(log, errors="replace") as f:
        for line in f:
            # A call cut by another thread's line ends on a "resumed" line.
            if re.match(r"^\d+ +(<\.\.\. )?(open|openat|openat2|creat)[( ]", line):
                found.update(re.findall(r"= \d+<([^>]*)>", line))
    return found


def ordinal_of(calls: list[Call], name: str, target: str, nth: int = 1) -> Optional[int]:
    """strace's when= for the nth call `name` on the file so named."""
    seen = 0
    for call in calls:
        if call.name == name and call.target == target:
            seen += 1
            if seen == nth:
                return call.ordinal
    return None


# ---------------------------------------------------------------- jobs
#
# A job is a pristine source directory (never run in), the program that works
# on it, and the images of fault-free runs: before, final, and for a run that
# rebuilds "mid", data.hvr as it is once the rebuild has begun (the in-place
# result for a patch; the before image for a conversion to 0x0103, which has
# no in-place pass). "again" is the fault-free run on the final image: what a
# second run gives after one that succeeded.

@dataclasses.dataclass
class Job:
    name: str
    program: str
    gen_args: list[str]
    rebuilt: bool = False
    ms: int = 0
    writes_ms: int = 0
    message: Optional[Outcome] = None

    @property
    def src(self) -> Path:
        return T / "src" / self.name

    def img(self, kind: str) -> Path:
        return T / "img" / f"{self.name}.{kind}"

    @property
    def prog(self) -> str:
        return program_name(self.program)

    def has_patch(self) -> bool:
        return (self.src / PATCH).exists()


JOBS: dict[str, Job] = {}


def new_source(job: Job) -> bool:
    job.src.mkdir(parents=True, exist_ok=True)
    if subprocess.run([GEN] + job.gen_args, cwd=job.src, stdout=subprocess.DEVNULL).returncode != 0:
        return False
    shutil.copyfile(job.src / ARCHIVE, job.img("before"))
    # A separate copy: the working directories share the source's update.hvp
    # by a hard link, so a run that wrote into it would change the source too.
    if job.has_patch():
        shutil.copyfile(job.src / PATCH, job.img("hvp"))
    JOBS[job.name] = job
    return True


def fresh_copy(job: Job, d: Path, share_patch: bool = True) -> None:
    """The job's before state in d. The patch is the source's own file unless
    runs in other folders may be working at the same time: the programs lock
    update.hvp too, and would keep one another out of a shared one."""
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir(parents=True)
    shutil.copyfile(job.src / ARCHIVE, d / ARCHIVE)
    if job.has_patch():
        if share_patch:
            os.link(job.src / PATCH, d / PATCH)
        else:
            shutil.copyfile(job.src / PATCH, d / PATCH)


def patch_unchanged(job: Job, d: Path) -> bool:
    return not job.img("hvp").exists() or same(d / PATCH, job.img("hvp"))


def reference(job: Job) -> None:
    """The fault-free run, its duration, when it first wrote (the journal or
    data.$$$ appeared: before that a kill finds nothing to undo) and whether it
    rebuilt (a rebuild gives data.hvr a new inode by the rename)."""
    d = T / "work" / f"ref-{job.name}"
    fresh_copy(job, d)
    inode = os.stat(d / ARCHIVE).st_ino
    start = time.monotonic()
    out_path, err_path = T / "ref.out", T / "ref.err"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        process = CLEANUP.start([job.program], cwd=d, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        writes = None
        while process.poll() is None:
            if writes is None and leftovers(d):
                writes = ms_since(start)
            time.sleep(0.002)
        CLEANUP.finished(process)
    job.ms = ms_since(start)
    job.writes_ms = writes or 0
    outcome = Outcome(process.returncode, out_path.read_text(errors="replace"), err_path.read_text(errors="replace"))
    job.message = outcome
    check = Check("")
    check.want(outcome.rc == 0, f"exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
    check.want(not leftovers(d), f"left behind: {left_text(d)}")
    check.want(patch_unchanged(job, d), "update.hvp changed")
    check.want(not same(d / ARCHIVE, job.img("before")), "data.hvr is still the before image")
    job.rebuilt = os.stat(d / ARCHIVE).st_ino != inode
    shutil.move(d / ARCHIVE, job.img("final"))
    shutil.rmtree(d)
    SUITE.verdict(check, f"setup {job.name}: fault-free {job.prog} exits 0 "
                         f"({'rebuilt' if job.rebuilt else 'in place'}, {job.ms} ms, first write at {job.writes_ms} ms)")


def second_run(job: Job) -> bool:
    """The "again" image: the fault-free run on the final image."""
    d = T / "work" / f"again-{job.name}"
    fresh_copy(job, d)
    shutil.copyfile(job.img("final"), d / ARCHIVE)
    outcome = run(d, job.program)
    ok = outcome.rc == 0 and not leftovers(d)
    if ok:
        shutil.move(d / ARCHIVE, job.img("again"))
    shutil.rmtree(d)
    return ok


def capture_mid(job: Job, check: Check) -> bool:
    """Kills a run once data.$$$ exists (the in-place pass, if any, has
    committed then) and keeps data.hvr as it is at that moment. Only a kill
    that came before the rename counts; a few tries allow for a run that
    finished first."""
    d = T / "work" / f"mid-{job.name}"
    for _ in range(3):
        fresh_copy(job, d)
        inode = os.stat(d / ARCHIVE).st_ino
        process = CLEANUP.start([job.program], cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        while not os.path.lexists(d / TEMP) and process.poll() is None:
            time.sleep(0.002)
        CLEANUP.kill(process)
        process.wait()
        CLEANUP.finished(process)
        if os.path.lexists(d / TEMP) and os.stat(d / ARCHIVE).st_ino == inode:
            check.want(not os.path.lexists(d / JOURNAL), "a journal is still there while data.$$$ is written")
            shutil.move(d / ARCHIVE, job.img("mid"))
            shutil.rmtree(d)
            return True
    shutil.rmtree(d)
    check.fail("the run always finished before it could be stopped during its rebuild")
    return False


def allowed_images(job: Job) -> dict[str, Path]:
    images = {"before": job.img("before")}
    if job.rebuilt:
        images["in-place"] = job.img("mid")
        images["rebuilt"] = job.img("final")
    else:
        images["in-place"] = job.img("final")
    return images


# Checks shared by every refused run: the error box, and nothing changed.
def expect_refusal(check: Check, d: Path, outcome: Outcome, text: str, before: Path,
                   kept: str = "data.hvr is not the before image") -> None:
    check.want(outcome.rc == 1, f"exit {outcome.rc}, not 1")
    check.want(outcome.err_has(text), f'stderr lacks "{text}" (stderr: {outcome.err_text()})')
    check.want(outcome.error_box(), "stderr lacks the error caption")
    check.want(outcome.out == "", "the error went to stdout")
    check.want(same(d / ARCHIVE, before), kept)


# After the fault is gone: the run succeeds and gives the fault-free result.
def expect_success(check: Check, d: Path, outcome: Outcome, final: Path) -> None:
    check.want(outcome.rc == 0, f"next run: exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
    check.want(outcome.out != "", "next run: no message on stdout")
    check.want(same(d / ARCHIVE, final), "next run: data.hvr is not the fault-free result")
    check.want(not leftovers(d), f"next run: left behind: {left_text(d)}")


def recovery_alone(d: Path) -> Outcome:
    """hvrupdate with update.hvp moved aside: it runs the recovery, reads
    data.hvr and stops at the missing patch."""
    aside = d / "update.hvp.aside"
    if (d / PATCH).exists():
        os.rename(d / PATCH, aside)
    outcome = run(d, UPDATE)
    if aside.exists():
        os.rename(aside, d / PATCH)
    return outcome


# ---------------------------------------------------------------- sources

# Small archives for the deterministic cases; big ones (a run of 0.3-2 s) for
# kill -9; tiny ones for the cases that trace every system call. The big
# 0x0103 archive is generated once per patch: the generator is deterministic,
# so the archives are the same bytes.
TINY = ["--entries", "12", "--size", "48K"]
SOURCES = [
    Job("small-inplace", UPDATE, ["--format", "0x0103", "--entries", "400", "--size", "4M", "--patch", PATCH, "--replace", "50"]),
    Job("small-rebuild", UPDATE, ["--format", "0x0103", "--entries", "400", "--size", "4M", "--patch", PATCH, "--replace", "400"]),
    Job("small-conv", CONV, ["--format", "0x0200", "--entries", "400", "--size", "4M"]),
    Job("big-inplace", UPDATE, ["--format", "0x0103", "--entries", "20000", "--size", "100M", "--patch", PATCH, "--replace", "200"]),
    Job("big-rebuild", UPDATE, ["--format", "0x0103", "--entries", "20000", "--size", "100M", "--patch", PATCH, "--replace", "400"]),
    Job("big-conv-0103", CONV, ["--format", "0x0200", "--entries", "20000", "--size", "100M"]),
    Job("tiny-inplace", UPDATE, ["--format", "0x0103"] + TINY + ["--patch", PATCH, "--replace-count", "2"]),
    Job("tiny-rebuild", UPDATE, ["--format", "0x0103"] + TINY + ["--patch", PATCH, "--replace-count", "10"]),
    Job("tiny-v2-inplace", UPDATE, ["--format", "0x0200"] + TINY + ["--patch", PATCH, "--replace-count", "1"]),
    Job("tiny-conv-0200", CONV, ["--format", "0x0103"] + TINY),
    Job("tiny-conv-0103", CONV, ["--format", "0x0200"] + TINY),
]
# Which commit each job takes: the cases below rely on it.
EXPECT_REBUILT = {
    "small-inplace": False, "small-rebuild": True, "small-conv": True, "big-inplace": False,
    "big-rebuild": True, "big-conv-0103": True, "tiny-inplace": False, "tiny-rebuild": True,
    "tiny-v2-inplace": False, "tiny-conv-0200": False, "tiny-conv-0103": True,
}


def set_up_jobs() -> bool:
    check = Check("setup: hvrgen writes the sample archives and patches")
    ok = all(new_source(job) for job in SOURCES)
    if ok:
        # The same archive as big-inplace's, converted to 0x0200 in place.
        job = Job("big-conv-0200", CONV, [])
        job.src.mkdir(parents=True)
        os.link(JOBS["big-inplace"].src / ARCHIVE, job.src / ARCHIVE)
        shutil.copyfile(JOBS["big-inplace"].img("before"), job.img("before"))
        JOBS[job.name] = job
    check.want(ok, "hvrgen failed")
    if not SUITE.verdict(check):
        return False

    for job in JOBS.values():
        reference(job)
    check = Check("setup: the jobs commit as the cases assume (in place / rebuild)")
    for name, rebuilt in EXPECT_REBUILT.items():
        check.want(JOBS[name].rebuilt == rebuilt, f"{name} {'kept its in-place result' if rebuilt else 'rebuilt'}")
    for name in ("tiny-inplace", "tiny-rebuild", "tiny-v2-inplace", "tiny-conv-0200", "tiny-conv-0103"):
        check.want(second_run(JOBS[name]), f"{name}: a second fault-free run failed")
    SUITE.verdict(check)

    for name in ("big-rebuild", "big-conv-0103", "big-conv-0200"):
        job = JOBS[name]
        if not job.rebuilt:
            continue
        check = Check(f"setup {name}: data.hvr captured once the rebuild has begun (what a stop during the rebuild leaves)")
        if capture_mid(job, check) and name == "big-conv-0103":
            check.want(same(job.img("mid"), job.img("before")), "data.hvr changed before the rename")
        SUITE.verdict(check)
    return True


MIDPASS = {"got": False}

# A journal's fixed fields by its version (the word at +8): version 2 adds the
# header the change writes and a checksum of bytes it never writes.
JOURNAL_FIXED_SIZES = {1: 78, 2: 128}


def journal_size(saved: int) -> int:
    """The journal of a change that saves `saved` bytes, in the version the
    programs write (the newest, until a stopped run has shown it)."""
    version = MIDPASS.get("version", max(JOURNAL_FIXED_SIZES))
    return JOURNAL_FIXED_SIZES.get(version, JOURNAL_FIXED_SIZES[max(JOURNAL_FIXED_SIZES)]) + saved + 4


def capture_midpass() -> None:
    """The journal of an in-place pass stopped halfway: kill -9 once the
    journal is there and data.hvr has grown past its old size (so the journal
    was written and flushed, and the archive is part way through its change)."""
    job = JOBS["big-inplace"]
    d = T / "work" / "midpass"
    s0 = size_of(job.img("before"))
    position = table_position(job.img("before"))
    check = Check("setup: hvrupdate killed during its in-place pass leaves a whole journal and a changed data.hvr")
    for _ in range(3):
        fresh_copy(job, d)
        process = CLEANUP.start([UPDATE], cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        while process.poll() is None:
            if os.path.exists(d / JOURNAL) and size_of(d / ARCHIVE) > s0:
                break
            time.sleep(0.002)
        CLEANUP.kill(process)
        process.wait()
        CLEANUP.finished(process)
        if os.path.exists(d / JOURNAL):
            MIDPASS["got"] = True
            break
    if MIDPASS["got"]:
        shutil.copyfile(d / JOURNAL, T / "img" / "midpass.journal")
        shutil.copyfile(d / ARCHIVE, T / "img" / "midpass.hvr")
        version = int.from_bytes((T / "img" / "midpass.journal").read_bytes()[8:12], "little")
        check.want(version in JOURNAL_FIXED_SIZES, f"the journal's version is {version}")
        MIDPASS["version"] = version
        # The fixed fields, the saved range (the old table to the old end of
        # the file) and a CRC.
        want = journal_size(s0 - position)
        got = size_of(T / "img" / "midpass.journal")
        check.want(got == want, f"journal has {got} bytes, not {want}")
        check.want(not same(T / "img" / "midpass.hvr", job.img("before")), "data.hvr is still the before image")
    else:
        check.fail("every run finished before it could be stopped with its journal in place")
    SUITE.verdict(check)


# ---------------------------------------------------------------- 1. ulimit -f

def file_size_limit_cases() -> None:
    """A file-size limit between the old and the new size, so that the growing
    write fails with EFBIG (SIGXFSZ is ignored by the programs)."""
    SUITE.section("file-size limit (ulimit -f)")
    for name in ("small-inplace", "small-rebuild", "small-conv"):
        job = JOBS[name]
        d = T / "work" / f"ulimit-{name}"
        fresh_copy(job, d)
        old, new = size_of(job.img("before")), size_of(job.img("final"))
        blocks = (old + new) // 2 // 1024
        limit = blocks * 1024
        check = Check(f"ulimit -f {blocks}: {job.prog} {name} ({old} -> {new} bytes)")
        if not old < limit < new:
            check.fail("no limit lies between the old and the new size")
            SUITE.verdict(check)
            continue
        outcome = run(d, job.program, file_size_limit=limit)
        expect_refusal(check, d, outcome, TEXT_TOO_LARGE, job.img("before"))
        check.want(not leftovers(d), f"left behind: {left_text(d)}")
        check.want(patch_unchanged(job, d), "update.hvp changed")
        expect_success(check, d, run(d, job.program), job.img("final"))
        SUITE.verdict(check, check.what + ": error box, before image, nothing left; a run without the limit succeeds")
        shutil.rmtree(d)


# ---------------------------------------------------------------- 2. full disk

@dataclasses.dataclass
class DiskCase:
    label: str
    job: str
    free: Callable[[], int]   # bytes left free
    touched: str              # whether data.hvr is written before the fault: yes, no, any


def full_disk_cases() -> None:
    SUITE.section("full disk (tmpfs)")
    mnt = T / "mnt"
    mnt.mkdir()
    if os.geteuid() != 0:
        SUITE.skip(f"full disk: mounting a tmpfs needs root; this runs as uid {os.geteuid()}")
        return
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48m,mode=0755", "hvr-process-faults", str(mnt)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        SUITE.skip(f"full disk: mounting a tmpfs is not permitted here ({mounted.stderr.strip()[:160]})")
        return
    CLEANUP.mounts.append(str(mnt))

    def avail() -> int:
        info = os.statvfs(mnt)
        return info.f_bavail * info.f_frsize

    def leave_free(free: int) -> bool:
        """A filler takes all but `free` bytes (rounded to pages)."""
        filler = mnt / "filler"
        if filler.exists():
            filler.unlink()
        room = avail()
        if room > free:
            subprocess.run(["fallocate", "-l", str(room - free), str(filler)])
        return avail() <= free + 4096

    inplace = JOBS["small-inplace"]
    small_journal = journal_size(size_of(inplace.img("before")) - table_position(inplace.img("before")))
    small_growth = size_of(inplace.img("final")) - size_of(inplace.img("before"))
    journal_room = (small_journal + 4095) // 4096 * 4096 + 2 * 4096
    table = [
        DiskCase("journal", "small-inplace", lambda: 0, "no"),
        DiskCase("entries", "small-inplace", lambda: journal_room, "yes"),
        DiskCase("rebuild data.$$$", "small-conv", lambda: size_of(JOBS["small-conv"].img("before")) // 2, "any"),
    ]
    for case in table:
        job = JOBS[case.job]
        d = mnt / "d"
        shutil.rmtree(d, ignore_errors=True)
        if (mnt / "filler").exists():
            (mnt / "filler").unlink()
        d.mkdir()
        shutil.copyfile(job.src / ARCHIVE, d / ARCHIVE)
        if job.has_patch():
            shutil.copyfile(job.src / PATCH, d / PATCH)
        free = case.free()
        check = Check(f"full disk ({case.label}): {job.prog} {job.name} with {free} bytes free")
        if not leave_free(free):
            check.fail(f"could not leave exactly {free} bytes free (available: {avail()})")
            SUITE.verdict(check)
            continue
        if case.label == "entries" and small_growth <= free + 65536:
            check.fail(f"the archive grows by {small_growth} bytes only, which would fit")
        stamp = os.stat(d / ARCHIVE).st_mtime_ns
        outcome = run(d, job.program)
        expect_refusal(check, d, outcome, TEXT_DISK_FULL, job.img("before"))
        check.want(not leftovers(d), f"left behind: {left_text(d)}")
        check.want(patch_unchanged(job, d), "update.hvp changed")
        # Shows the fault struck where the row says: the journal's failure
        # comes before any write to data.hvr, the entries' after.
        written = os.stat(d / ARCHIVE).st_mtime_ns != stamp
        if case.touched == "no":
            check.want(not written, "data.hvr was written although the journal did not fit")
        elif case.touched == "yes":
            check.want(written, "data.hvr was never written: the fault struck before the entries")
        (mnt / "filler").unlink(missing_ok=True)
        expect_success(check, d, run(d, job.program), job.img("final"))
        SUITE.verdict(check, check.what + ": error box, before image, nothing left; after freeing space a run succeeds")
    for entry in mnt.iterdir():
        shutil.rmtree(entry) if entry.is_dir() else entry.unlink()
    if subprocess.run(["umount", str(mnt)]).returncode == 0:
        CLEANUP.mounts.remove(str(mnt))


# ---------------------------------------------------------------- 3. kill -9

def kill_cases() -> None:
    """Each iteration starts the job on a fresh copy, kills it after a seeded
    random delay, spread over the span in which the fault-free run wrote (and
    a little before and after it, so that some runs finish first), then checks
    in two steps:
     1. the recovery alone: hvrupdate with update.hvp moved aside runs the
        recovery, reads data.hvr and stops at the missing patch; data.hvr must
        now be the before image, the in-place result or the rebuilt result,
        and no temporary file may be left;
     2. the same program again, to completion: it must succeed and leave
        nothing behind, and where the recovery gave the before image its
        result must be the fault-free result."""
    SUITE.section("kill -9")
    seed = int(os.environ.get("HVR_KILL_SEED") or 20240611)
    rng = random.Random(seed)
    budget_ms = 50000
    start = time.monotonic()
    not_run = 0
    hits = {"journal": 0, "temp": 0}
    SUITE.note(f"kill -9 delays seeded with {seed}")
    # Round by round, so that each job gets its share before the time bound.
    rounds = {"big-inplace": 6, "big-rebuild": 4, "big-conv-0103": 4, "big-conv-0200": 5}
    d = T / "work" / "kill"
    for i in range(1, 7):
        for name, count in rounds.items():
            job = JOBS[name]
            if i > count:
                continue
            if job.rebuilt and not job.img("mid").exists():
                if i == 1:
                    SUITE.skip(f"kill -9 {name}: its in-place result could not be captured (see setup)")
                continue
            # Most kills land while the job writes; a quarter of the reading
            # time before it, and a tenth of the run after its end, too.
            low = job.writes_ms * 3 // 4
            high = job.ms * 11 // 10
            delay = low + rng.randrange(32768) * (high - low) // 32768
            if ms_since(start) > budget_ms:
                not_run += 1
                continue
            kill_iteration(job, i, delay, d, hits)
    shutil.rmtree(d, ignore_errors=True)
    if not_run:
        SUITE.skip(f"kill -9: {not_run} iterations not run, the part's time bound ({budget_ms} ms) was reached")
    SUITE.note(f"kill -9 part took {ms_since(start)} ms; {hits['journal']} kills left a journal to roll back, "
               f"{hits['temp']} a data.$$$ to delete")


def kill_iteration(job: Job, i: int, delay: int, d: Path, hits: dict) -> None:
    fresh_copy(job, d)
    process = CLEANUP.start([job.program], cwd=d, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    time.sleep(delay / 1000)
    process.kill()
    killed = process.wait()
    CLEANUP.finished(process)
    # What the kill left shows which stretch of the run it hit.
    left = leftovers(d)
    if killed != -signal.SIGKILL:
        how = f"finished first (exit {killed})"
    else:
        how = f"killed, left {' '.join(left) or 'no temporary file'}"
        if JOURNAL in left:
            hits["journal"] += 1
        elif TEMP in left:
            hits["temp"] += 1
    check = Check("")
    check.want(patch_unchanged(job, d), "update.hvp changed by the killed run")

    outcome = recovery_alone(d)
    check.want(outcome.rc == 1, f"recovery run: exit {outcome.rc}, not 1")
    check.want(outcome.err_has(TEXT_NOT_FOUND), f'recovery run: stderr lacks "{TEXT_NOT_FOUND}" (stderr: {outcome.err_text()})')
    state = image_name(d / ARCHIVE, allowed_images(job))
    check.want(state != "none", f"after recovery data.hvr ({size_of(d / ARCHIVE) if (d / ARCHIVE).exists() else 'no'} bytes) "
                                "is none of the allowed images")
    check.want(not leftovers(d), f"after recovery left behind: {left_text(d)}")

    outcome = run(d, job.program)
    check.want(outcome.rc == 0, f"next run: exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
    check.want(not leftovers(d), f"next run: left behind: {left_text(d)}")
    if state == "before":
        check.want(same(d / ARCHIVE, job.img("final")), "next run from the before image: not the fault-free result")
    check.want(patch_unchanged(job, d), "update.hvp changed")
    SUITE.verdict(check, f"kill -9 {job.prog} {job.name} #{i} after {delay} ms ({how}): recovery gives {state}, then a full run")
    if state == "none":
        # Kept for the report: the damaged directory.
        kept = T.parent / f"process_faults-kill-{job.name}-{i}"
        shutil.rmtree(kept, ignore_errors=True)
        shutil.copytree(d, kept, symlinks=True)
        SUITE.note(f"kept the directory as {kept}")


# ---------------------------------------------------------------- 4. read-only

class ReadOnly:
    """Root ignores permission bits, so the archive or directory is made
    read-only by the first of these that works here: the immutable attribute,
    a run as "nobody" with permission bits that deny the write, a read-only
    bind mount (which the system reports as write protection, not as denied
    access)."""

    def __init__(self) -> None:
        self.method = os.environ.get("HVR_RO_METHOD") or self.detect()
        self.text = TEXT_WRITE_PROTECT if self.method == "bind" else TEXT_DENIED

    @staticmethod
    def detect() -> str:
        probe = T / "probe"
        probe.touch()
        try:
            if subprocess.run(["chattr", "+i", str(probe)], stderr=subprocess.DEVNULL).returncode == 0:
                subprocess.run(["chattr", "-i", str(probe)])
                return "chattr"
            if subprocess.run(["runuser", "-u", "nobody", "--", "true"], stderr=subprocess.DEVNULL).returncode == 0:
                return "nobody"
            probe_dir = T / "probe.d"
            probe_dir.mkdir()
            if subprocess.run(["mount", "--bind", str(probe_dir), str(probe_dir)], stderr=subprocess.DEVNULL).returncode == 0:
                ok = subprocess.run(["mount", "-o", "remount,ro,bind", str(probe_dir), str(probe_dir)],
                                    stderr=subprocess.DEVNULL).returncode == 0
                subprocess.run(["umount", str(probe_dir)])
                if ok:
                    return "bind"
            return ""
        finally:
            probe.unlink(missing_ok=True)
            shutil.rmtree(T / "probe.d", ignore_errors=True)

    def on(self, kind: str, d: Path) -> bool:
        if self.method == "chattr":
            target = str(d / ARCHIVE) if kind == "archive" else str(d)
            if subprocess.run(["chattr", "+i", target]).returncode != 0:
                return False
            CLEANUP.immutable.append(target)
            return True
        if self.method == "nobody":
            if (d / PATCH).exists():
                os.chmod(d / PATCH, 0o644)
            if kind == "archive":
                os.chmod(d, 0o777)
                os.chmod(d / ARCHIVE, 0o444)
            else:
                os.chmod(d, 0o755)
                shutil.chown(d / ARCHIVE, user="nobody")
                os.chmod(d / ARCHIVE, 0o644)
            return True
        if self.method == "bind":
            if subprocess.run(["mount", "--bind", str(d), str(d)]).returncode != 0:
                return False
            CLEANUP.mounts.append(str(d))
            return subprocess.run(["mount", "-o", "remount,ro,bind", str(d), str(d)]).returncode == 0
        return False

    def off(self, kind: str, d: Path) -> None:
        if self.method == "chattr":
            target = str(d / ARCHIVE) if kind == "archive" else str(d)
            subprocess.run(["chattr", "-i", target])
            CLEANUP.immutable.remove(target)
        elif self.method == "nobody":
            shutil.chown(d / ARCHIVE, user="root")
            os.chmod(d / ARCHIVE, 0o644)
            os.chmod(d, 0o755)
        elif self.method == "bind":
            if subprocess.run(["umount", str(d)]).returncode == 0:
                CLEANUP.mounts.remove(str(d))

    def run(self, d: Path, program: str) -> Outcome:
        if self.method == "nobody":
            return run(d, ["runuser", "-u", "nobody", "--", program])
        return run(d, program)


def read_only_cases() -> None:
    SUITE.section("read-only archive and directory")
    ro = ReadOnly()
    SUITE.note(f"read-only by: {ro.method or 'nothing that works here'}")
    if not ro.method:
        SUITE.skip("read-only cases: neither chattr +i, a run as nobody nor a read-only bind mount works here")
        return
    # An in-place job cannot create its journal in a read-only directory, a
    # rebuild cannot create data.$$$.
    table = [("archive", "small-inplace"), ("archive", "small-conv"), ("directory", "small-inplace"),
             ("directory", "small-rebuild"), ("directory", "small-conv")]
    for kind, name in table:
        job = JOBS[name]
        d = T / "work" / f"ro-{kind}-{name}"
        fresh_copy(job, d)
        # A real copy: a changed mode or owner must not reach the source.
        if job.has_patch():
            (d / PATCH).unlink()
            shutil.copyfile(job.src / PATCH, d / PATCH)
        check = Check(f"read-only {kind} ({ro.method}): {job.prog} {name}")
        if not ro.on(kind, d):
            check.fail(f"could not make the {kind} read-only by {ro.method}")
            SUITE.verdict(check)
            continue
        expect_refusal(check, d, ro.run(d, job.program), ro.text, job.img("before"))
        check.want(not leftovers(d), f"left behind: {left_text(d)}")
        check.want(patch_unchanged(job, d), "update.hvp changed")
        ro.off(kind, d)
        expect_success(check, d, run(d, job.program), job.img("final"))
        SUITE.verdict(check, check.what + ": error box, before image, nothing left; once writable a run succeeds")
        shutil.rmtree(d)


# ---------------------------------------------------------------- 5. held archive

class Holder:
    """An exclusive flock on data.hvr, taken by this process, which is how the
    programs keep one another out: while it is held, every run is another
    process that finds the archive in use."""

    def __init__(self, path: Path):
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


@dataclasses.dataclass
class HeldCase:
    label: str
    program: str
    source: str   # a job, or "midpass": the journal of the stopped big run
    final: str    # the job whose final image the run gives once the lock goes


def held_cases() -> None:
    SUITE.section("archive held by another process")
    table = [
        HeldCase("in-place patch", UPDATE, "small-inplace", "small-inplace"),
        HeldCase("conversion", CONV, "small-conv", "small-conv"),
        HeldCase("leftover journal, then rolled back and patched", UPDATE, "midpass", "big-inplace"),
        HeldCase("leftover journal, then rolled back and converted", CONV, "midpass", "big-conv-0200"),
    ]
    d = T / "work" / "held"
    for case in table:
        if case.source == "midpass":
            if not MIDPASS["got"]:
                SUITE.skip(f"held archive ({case.label}): no journal of a stopped run (see setup)")
                continue
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir(parents=True)
            shutil.copyfile(T / "img" / "midpass.hvr", d / ARCHIVE)
            shutil.copyfile(T / "img" / "midpass.journal", d / JOURNAL)
            os.link(JOBS["big-inplace"].src / PATCH, d / PATCH)
            before = T / "img" / "midpass.hvr"
            patch_job = JOBS["big-inplace"]
        else:
            fresh_copy(JOBS[case.source], d)
            before = JOBS[case.source].img("before")
            patch_job = JOBS[case.source]
        check = Check(f"held archive ({case.label}): {program_name(case.program)}")
        holder = Holder(d / ARCHIVE)
        try:
            expect_refusal(check, d, run(d, case.program), TEXT_SHARING, before)
            check.want(not os.path.lexists(d / TEMP), "data.$$$ left behind")
            if case.source == "midpass":
                check.want(same(d / JOURNAL, T / "img" / "midpass.journal"), "the journal was touched while the archive was held")
            else:
                check.want(not os.path.lexists(d / JOURNAL), "a journal was left behind")
            check.want(patch_unchanged(patch_job, d), "update.hvp changed")
        finally:
            holder.release()
        expect_success(check, d, run(d, case.program), JOBS[case.final].img("final"))
        SUITE.verdict(check, check.what + ": sharing error, nothing touched; after the lock goes a run succeeds")
        shutil.rmtree(d)


# ---------------------------------------------------------------- 6. journals

def torn_journal_bytes(make: str, before: bytes) -> bytes:
    full_path = T / "img" / "midpass.journal"
    if make == "garbage":
        return before[3096:4096]
    if make == "magic":
        return b"HVRJRNL\0\1\0\0\0" + before[:3000]
    if make == "empty":
        return b""
    full = full_path.read_bytes()
    if make == "cut":
        return full[:-100]
    if make == "flipped":
        at = len(full) // 2
        return full[:at] + bytes([full[at] ^ 0x40]) + full[at + 1:]
    raise ValueError(make)


def journal_cases() -> None:
    SUITE.section("torn and foreign journals")
    # A journal that is not whole was torn while it was written, before the
    # archive was touched: the run deletes it and does its job.
    table = [
        ("garbage bytes", "small-inplace", "garbage"),
        ("the magic then garbage", "small-inplace", "magic"),
        ("empty file", "small-inplace", "empty"),
        ("garbage bytes", "small-conv", "garbage"),
        ("a real journal cut short", "big-inplace", "cut"),
        ("a real journal with one byte changed", "big-inplace", "flipped"),
    ]
    d = T / "work" / "torn"
    for label, name, make in table:
        job = JOBS[name]
        what = f"torn journal ({label}): {job.prog} {name}"
        if name == "big-inplace" and not MIDPASS["got"]:
            SUITE.skip(f"{what}: no journal of a stopped run (see setup)")
            continue
        fresh_copy(job, d)
        check = Check(what)
        with open(job.img("before"), "rb") as f:
            before = f.read(4096)
        (d / JOURNAL).write_bytes(torn_journal_bytes(make, before))
        if make == "flipped":
            check.want(not same(d / JOURNAL, T / "img" / "midpass.journal"), "the byte did not flip")
        expect_success(check, d, run(d, job.program), job.img("final"))
        check.want(patch_unchanged(job, d), "update.hvp changed")
        SUITE.verdict(check, what + ": deleted, and the job done as without it")
        shutil.rmtree(d)

    # A whole journal beside an archive it was not taken of: rolling it back
    # would damage that archive, so the run refuses and keeps both files.
    d = T / "work" / "foreign"
    for name in ("small-inplace", "small-conv"):
        job = JOBS[name]
        what = f"foreign journal: {job.prog} {name} beside the journal of the stopped big run"
        if not MIDPASS["got"]:
            SUITE.skip(f"{what}: no journal of a stopped run (see setup)")
            continue
        fresh_copy(job, d)
        shutil.copyfile(T / "img" / "midpass.journal", d / JOURNAL)
        check = Check(what)
        expect_refusal(check, d, run(d, job.program), TEXT_FOREIGN, job.img("before"))
        check.want(same(d / JOURNAL, T / "img" / "midpass.journal"), "the journal changed or went")
        check.want(not os.path.lexists(d / TEMP), "data.$$$ left behind")
        check.want(patch_unchanged(job, d), "update.hvp changed")
        SUITE.verdict(check, what + ": refused with the explanation, both files kept")
        shutil.rmtree(d)


# ---------------------------------------------------------------- 7. closed standard streams

# The descriptors a program may be started without, as a shell's <&-, >&-
# and 2>&- leave them. Found before: with stdout closed, data.hvr took
# descriptor 1 and the outcome message was written over its header.
CLOSED_SETS = [((0,), "<&-"), ((1,), ">&-"), ((2,), "2>&-"), ((0, 1), "<&- >&-"), ((1, 2), ">&- 2>&-"),
               ((0, 1, 2), "<&- >&- 2>&-")]


@dataclasses.dataclass
class StreamCase:
    label: str
    argv: list[str]
    source: Optional[str]        # the job whose before state the folder starts with; None: empty
    drop: tuple[str, ...] = ()   # files removed from that state
    patch: Optional[str] = None  # another patch in place of the job's


def closed_stream_cases() -> None:
    SUITE.section("closed standard streams")
    table = [
        StreamCase("hvrupdate in place", [UPDATE], "tiny-inplace"),
        StreamCase("hvrupdate that rebuilds", [UPDATE], "tiny-rebuild"),
        StreamCase("hvrupdate, nothing matched", [UPDATE], "tiny-inplace", patch="nomatch"),
        StreamCase("hvrupdate, update.hvp missing", [UPDATE], "tiny-inplace", drop=(PATCH,)),
        StreamCase("hvrupdate, data.hvr missing", [UPDATE], "tiny-inplace", drop=(ARCHIVE,)),
        StreamCase("hvrconv to 0x0200", [CONV], "tiny-conv-0200"),
        StreamCase("hvrconv to 0x0103", [CONV], "tiny-conv-0103"),
        StreamCase("hvrgen", [GEN, "--format", "0x0103"] + TINY + ["--patch", PATCH], None),
        StreamCase("hvrdump", [DUMP, ARCHIVE], "tiny-inplace"),
    ]
    nomatch = T / "img" / "nomatch.hvp"
    generated = subprocess.run([GEN, "--archive", "-", "--format", "0x0103"] + TINY +
                               ["--patch", str(nomatch), "--replace-count", "0"], stdout=subprocess.DEVNULL)
    d = T / "work" / "streams"

    def prepare(case: StreamCase) -> None:
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        if case.source:
            job = JOBS[case.source]
            shutil.copyfile(job.src / ARCHIVE, d / ARCHIVE)
            if job.has_patch():
                shutil.copyfile(job.src / PATCH, d / PATCH)
        if case.patch:
            shutil.copyfile(nomatch, d / PATCH)
        for name in case.drop:
            (d / name).unlink()

    # The outcome with all three streams open is the one to match.
    references: dict[str, tuple[Outcome, dict]] = {}
    check = Check("setup: each program's outcome with its standard streams open")
    check.want(generated.returncode == 0, "hvrgen could not write the patch that matches nothing")
    expected_rc = {"hvrupdate, nothing matched": 1, "hvrupdate, update.hvp missing": 1,
                   "hvrupdate, data.hvr missing": 1}
    for case in table:
        prepare(case)
        outcome = run(d, case.argv)
        references[case.label] = (outcome, snapshot(d))
        want = expected_rc.get(case.label, 0)
        check.want(outcome.rc == want, f"{case.label}: exit {outcome.rc}, not {want} (stderr: {outcome.err_text()})")
    SUITE.verdict(check)

    for closed, shell in CLOSED_SETS:
        for case in table:
            reference_outcome, reference_files = references[case.label]
            prepare(case)
            outcome = run(d, case.argv, close=closed)
            check = Check(f"closed streams ({shell}): {case.label}")
            check.want(outcome.rc == reference_outcome.rc,
                       f"exit {outcome.rc}, not {reference_outcome.rc} as with open streams (stderr: {outcome.err_text()})")
            files = snapshot(d)
            check.want(files == reference_files, f"the folder differs from a normal run's: {snapshot_difference(files, reference_files)}")
            # The streams left open carry what they carry in a normal run.
            if 1 not in closed:
                check.want(outcome.out == reference_outcome.out, f"stdout {outcome.out[:80]!r} differs from a normal run's")
            if 2 not in closed:
                check.want(outcome.err == reference_outcome.err, f"stderr {outcome.err_text()!r} differs from a normal run's")
            SUITE.verdict(check, check.what + f": exit {reference_outcome.rc}, the folder as after a normal run")
    shutil.rmtree(d, ignore_errors=True)


def lost_output_cases() -> None:
    """A tool whose result is what it prints must not end with success when
    that could not be written (stdout on a full disk)."""
    SUITE.section("tools whose output is lost")
    d = T / "work" / "lost-output"
    shutil.rmtree(d, ignore_errors=True)
    d.mkdir(parents=True)
    shutil.copyfile(JOBS["tiny-inplace"].src / ARCHIVE, d / ARCHIVE)
    for label, argv in [("hvrdump", [DUMP, ARCHIVE]), ("hvrdump --check", [DUMP, "--check", ARCHIVE]),
                        ("hvrdiff", [DIFF, ARCHIVE, ARCHIVE, "-o", "p.hvp"]), ("hvrgen --help", [GEN, "--help"])]:
        check = Check(f"{label} with stdout on a full disk")
        with open("/dev/full", "wb") as full:
            done = subprocess.run(argv, cwd=d, stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.PIPE,
                                  timeout=RUN_TIMEOUT)
        check.want(done.returncode == 1, f"exit {done.returncode}, not 1")
        check.want(b"standard output" in done.stderr, f"stderr {decode(done.stderr)!r} does not name the lost output")
        SUITE.verdict(check, check.what + ": exit 1, said on stderr")
    shutil.rmtree(d, ignore_errors=True)


# ---------------------------------------------------------------- 8. links at the temporary names

# Killing a run halfway: at its flush of the archive (an in-place pass: the
# journal is whole and the archive part way changed) or of data.$$$ (a
# rebuild written out, not yet renamed).
def halfway_kill(job: Job) -> Optional[str]:
    d = T / "work" / f"trace-{job.name}"
    fresh_copy(job, d)
    _, calls = traced_calls(d, [job.program])
    shutil.rmtree(d)
    flushed = TEMP if job.rebuilt else ARCHIVE
    when = ordinal_of(calls, "fsync", flushed)
    return None if when is None else f"fsync:signal=SIGKILL:when={when}"


@dataclasses.dataclass
class LinkKind:
    label: str
    plant: Callable[[Path, Path], None]   # (name in the work folder, outside path)
    outside_exists: bool


def plant_dangling(at: Path, outside: Path) -> None:
    os.symlink(outside, at)


def plant_symlink(at: Path, outside: Path) -> None:
    outside.write_bytes(b"outside the folder: these bytes must stay\n" * 64)
    os.symlink(outside, at)


def plant_hard_link(at: Path, outside: Path) -> None:
    outside.write_bytes(b"a hard link from outside: these bytes must stay\n" * 64)
    os.link(outside, at)


def plant_pipe(at: Path, _outside: Path) -> None:
    # Opening it to read would wait for a writer for ever, with data.hvr held.
    os.mkfifo(at)


LINK_KINDS = [
    LinkKind("a dangling symlink to a path outside", plant_dangling, False),
    LinkKind("a named pipe", plant_pipe, False),
    LinkKind("a symlink to a file outside", plant_symlink, True),
    LinkKind("a hard link to a file outside", plant_hard_link, True),
]


@dataclasses.dataclass
class LinkJob:
    label: str
    job: str
    killed: bool = False  # killed halfway first, then the recovering run


LINK_JOBS = [
    LinkJob("in-place patch", "tiny-inplace"),
    LinkJob("patch that rebuilds", "tiny-rebuild"),
    LinkJob("conversion to 0x0200", "tiny-conv-0200"),
    LinkJob("conversion to 0x0103", "tiny-conv-0103"),
    LinkJob("in-place patch killed halfway, then a recovering run", "tiny-inplace", killed=True),
    LinkJob("rebuild killed halfway, then a recovering run", "tiny-rebuild", killed=True),
]


def planted_link_cases() -> None:
    """A link found at data.$$$ or data.hvr-journal is someone else's: the run
    removes it as stale without opening its target, and works as without it."""
    SUITE.section("links planted at the temporary names")
    kills = {case.job: halfway_kill(JOBS[case.job]) for case in LINK_JOBS if case.killed} if HAVE_STRACE else {}
    base = T / "work" / "planted"
    for name in TEMPORARY_NAMES:
        for kind in LINK_KINDS:
            for case in LINK_JOBS:
                job = JOBS[case.job]
                what = f"{kind.label} at {name}: {job.prog} {case.label}"
                if case.killed and not kills.get(case.job):
                    SUITE.skip(f"{what}: needs strace to stop the run halfway")
                    continue
                shutil.rmtree(base, ignore_errors=True)
                d, outside_dir = base / "work", base / "outside"
                outside_dir.mkdir(parents=True)
                fresh_copy(job, d)
                outside = outside_dir / "victim"
                kind.plant(d / name, outside)
                outside_before = snapshot(outside_dir)
                check = Check(what)
                # Where strace is there, the runs' opens are logged: a link is
                # stale, and its target is never to be opened, even to read.
                log = base / "opens"
                opened = set()
                if case.killed:
                    stopped = run(d, strace_argv(kills[case.job], output=str(log), paths=True) + [job.program])
                    check.want(was_killed(stopped), f"the run to be killed halfway ended with exit {stopped.rc}")
                    opened |= opened_files(log)
                    check.want(patch_unchanged(job, d), "update.hvp changed by the killed run")
                    check.want(snapshot(outside_dir) == outside_before,
                               f"the killed run changed the outside: {snapshot_difference(snapshot(outside_dir), outside_before)}")
                traced = strace_argv(output=str(log), paths=True) if HAVE_STRACE else []
                outcome = run(d, traced + [job.program])
                if HAVE_STRACE:
                    opened |= opened_files(log)
                    check.want(str(outside) not in opened, "the link's target was opened")
                check.want(outcome.rc == 0, f"exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
                check.want(outcome.out == job.message.out, f"stdout {outcome.out[:80]!r} is not a normal run's")
                check.want(same(d / ARCHIVE, job.img("final")), "data.hvr is not the fault-free result")
                check.want(os.path.isfile(d / ARCHIVE) and not os.path.islink(d / ARCHIVE), "data.hvr is not a plain file")
                check.want(not leftovers(d), f"left behind: {left_text(d)}")
                after = snapshot(outside_dir)
                check.want(after == outside_before, f"outside the folder: {snapshot_difference(after, outside_before)}")
                if kind.outside_exists and outside.exists():
                    check.want(os.stat(outside).st_nlink == 1, f"the outside file still has {os.stat(outside).st_nlink} names")
                check.want(patch_unchanged(job, d), "update.hvp changed")
                SUITE.verdict(check, what + ": done as without it, the link gone, the outside untouched")
    shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- 9. symlinked and hard-linked archive

def temporary_names_for(target_name: str) -> tuple[str, str]:
    """Where a run on an archive named target_name keeps its journal and its
    rebuilt file: beside it, the journal with "-journal" added, the rebuilt
    file with the extension replaced by ".$$$"."""
    return target_name + "-journal", os.path.splitext(target_name)[0] + ".$$$"


@dataclasses.dataclass
class SymlinkLayout:
    label: str
    target_name: str
    absolute: bool


SYMLINK_LAYOUTS = [
    SymlinkLayout("a relative symlink to ../store/data.hvr", "data.hvr", False),
    SymlinkLayout("an absolute symlink to store/data.hvr", "data.hvr", True),
    SymlinkLayout("a relative symlink to ../store/archive.bin", "archive.bin", False),
    SymlinkLayout("an absolute symlink to store/archive.bin", "archive.bin", True),
]


def symlinked_archive_cases() -> None:
    SUITE.section("symlinked and hard-linked data.hvr")
    kills = {case.job: halfway_kill(JOBS[case.job]) for case in LINK_JOBS if case.killed} if HAVE_STRACE else {}
    base = T / "work" / "linked"
    for layout in SYMLINK_LAYOUTS:
        for case in LINK_JOBS:
            job = JOBS[case.job]
            what = f"data.hvr as {layout.label}: {job.prog} {case.label}"
            if case.killed and not kills.get(case.job):
                SUITE.skip(f"{what}: needs strace to stop the run halfway")
                continue
            shutil.rmtree(base, ignore_errors=True)
            d, store = base / "work", base / "store"
            store.mkdir(parents=True)
            fresh_copy(job, d)
            target = store / layout.target_name
            os.rename(d / ARCHIVE, target)
            link = str(target) if layout.absolute else os.path.join("..", "store", layout.target_name)
            os.symlink(link, d / ARCHIVE)
            journal, temporary = temporary_names_for(layout.target_name)
            store_names = sorted({journal, temporary} | set(TEMPORARY_NAMES))
            check = Check(what)
            if case.killed:
                stopped = run(d, strace_argv(kills[case.job]) + [job.program])
                check.want(was_killed(stopped), f"the run to be killed halfway ended with exit {stopped.rc}")
                left = leftovers(store, (temporary,) if job.rebuilt else (journal,))
                check.want(left != [], f"the killed run left no {temporary if job.rebuilt else journal} beside the target "
                                       f"(there: {' '.join(sorted(os.listdir(store)))})")
                check.want(not leftovers(d), f"the killed run left {left_text(d)} beside the link")
            outcome = run(d, job.program)
            check.want(outcome.rc == 0, f"exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
            check.want(os.path.islink(d / ARCHIVE) and os.readlink(d / ARCHIVE) == link,
                       "data.hvr is no longer the same symlink")
            check.want(same(target, job.img("final")), "the target is not the fault-free result")
            check.want(not leftovers(d), f"left behind beside the link: {left_text(d)}")
            check.want(not leftovers(store, store_names), f"left behind beside the target: {left_text(store, store_names)}")
            check.want(patch_unchanged(job, d), "update.hvp changed")
            SUITE.verdict(check, what + ": the link kept, its target the result, nothing left in either folder")

    # Documented behaviour: an in-place change writes the file itself, which
    # every name of it shows; a rebuild puts a new file under data.hvr alone,
    # and another name keeps the archive as it was.
    for case in LINK_JOBS:
        if case.killed:
            continue
        job = JOBS[case.job]
        shutil.rmtree(base, ignore_errors=True)
        d, store = base / "work", base / "store"
        store.mkdir(parents=True)
        fresh_copy(job, d)
        other = store / "archive.bin"
        os.link(d / ARCHIVE, other)
        expected_other = "before" if job.rebuilt else "final"
        check = Check(f"hard-linked data.hvr (documented behaviour): {job.prog} {case.label}")
        outcome = run(d, job.program)
        check.want(outcome.rc == 0, f"exit {outcome.rc}, not 0 (stderr: {outcome.err_text()})")
        check.want(same(d / ARCHIVE, job.img("final")), "data.hvr is not the fault-free result")
        check.want(same(other, job.img(expected_other)), f"the other name does not hold the {expected_other} image")
        shares = os.stat(d / ARCHIVE).st_ino == os.stat(other).st_ino
        check.want(shares != job.rebuilt, "data.hvr and the other name " + ("still share a file" if job.rebuilt else "no longer share a file"))
        check.want(not leftovers(d), f"left behind: {left_text(d)}")
        SUITE.verdict(check, check.what + (": data.hvr a new file, the other name keeps the old archive" if job.rebuilt
                                           else ": both names show the change"))
    shutil.rmtree(base, ignore_errors=True)


# ---------------------------------------------------------------- 10. a journal beside another copy

@dataclasses.dataclass
class CopyCase:
    label: str
    image: str      # the data.hvr put beside the journal
    belongs: bool   # whether the journal belongs to it (the killed run's own states)


COPY_CASES = [
    CopyCase("an older copy (the archive before an earlier patch)", "older", False),
    CopyCase("a newer copy the killed run could not have made (patched to the end by another patch)", "newer", False),
    CopyCase("a same-size copy with one data byte changed", "flipped", False),
    CopyCase("the copy the killed run left", "left", True),
    CopyCase("the killed run's result, finished", "finished", True),
]


def journal_copy_cases() -> None:
    """A journal from an in-place patch stopped after it was flushed, beside
    copies of the archive: only the states the stopped run could have left
    may be rolled back; any other copy would be damaged by the rollback."""
    SUITE.section("a journal beside another copy of the archive")
    if not HAVE_STRACE:
        SUITE.skip("journal beside another copy: needs strace to stop the run after its journal")
        return
    src = T / "src" / "copies"
    img = T / "img"
    src.mkdir(parents=True)
    gen = [GEN, "--format", "0x0103"] + TINY
    check = Check("setup: a journal of a stopped patch and the copies to put beside it")
    ok = subprocess.run(gen + ["--archive", str(img / "copies.older"), "--patch", str(src / "earlier.hvp"),
                               "--replace-count", "2"], stdout=subprocess.DEVNULL).returncode == 0
    for name, seed, count in (("update.hvp", "3", "2"), ("other.hvp", "4", "3"), ("nomatch.hvp", "5", "0")):
        ok = ok and subprocess.run(gen + ["--archive", "-", "--patch", str(src / name), "--patch-seed", seed,
                                          "--replace-count", count], stdout=subprocess.DEVNULL).returncode == 0
    check.want(ok, "hvrgen failed")
    d = T / "work" / "copies"

    def apply(archive: Path, patch: str, program: str = UPDATE) -> Optional[Outcome]:
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        shutil.copyfile(archive, d / ARCHIVE)
        shutil.copyfile(src / patch, d / PATCH)
        return run(d, program)

    # before: the older copy patched by the earlier patch; the stopped run
    # applies update.hvp to it.
    steps = [("before", "older", "earlier.hvp", UPDATE), ("finished", "before", "update.hvp", UPDATE),
             ("newer", "before", "other.hvp", UPDATE), ("converted", "before", "nomatch.hvp", CONV)]
    for result, start, patch, program in steps if ok else []:
        outcome = apply(img / f"copies.{start}", patch, program)
        check.want(outcome.rc == 0, f"{result}: exit {outcome.rc} (stderr: {outcome.err_text()})")
        shutil.copyfile(d / ARCHIVE, img / f"copies.{result}")
    nothing = apply(img / "copies.before", "nomatch.hvp") if ok else None
    if nothing is not None:
        check.want(nothing.rc == 1 and same(d / ARCHIVE, img / "copies.before"), "the patch that matches nothing changed data.hvr")
    if ok:
        shutil.copyfile(img / "copies.before", img / "copies.flipped")
        flip_byte(img / "copies.flipped", 46 + 100)
        # Stopped at its second write to the archive: the journal is whole
        # and flushed, and the archive part way changed.
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        shutil.copyfile(img / "copies.before", d / ARCHIVE)
        shutil.copyfile(src / "update.hvp", d / PATCH)
        _, calls = traced_calls(d, [UPDATE])
        when = ordinal_of(calls, "pwrite64", ARCHIVE, 2)
        check.want(when is not None, "the patch run writes its archive fewer than twice")
        shutil.copyfile(img / "copies.before", d / ARCHIVE)
        if when is not None:
            run(d, strace_argv(f"pwrite64:signal=SIGKILL:when={when}") + [UPDATE])
        check.want(os.path.exists(d / JOURNAL), "the stopped run left no journal")
        if os.path.exists(d / JOURNAL):
            shutil.copyfile(d / JOURNAL, img / "copies.journal")
            shutil.copyfile(d / ARCHIVE, img / "copies.left")
            check.want(not same(img / "copies.left", img / "copies.before"), "the stopped run had not changed data.hvr")
            check.want(not same(img / "copies.left", img / "copies.finished"), "the stopped run had finished its writes")
    if not SUITE.verdict(check):
        return

    # What each program gives on the right copy once the journal is rolled
    # back: hvrupdate with the patch that matches nothing leaves the archive
    # before the stopped run; hvrconv converts it.
    programs = [(UPDATE, "nomatch.hvp", nothing, img / "copies.before"),
                (CONV, "nomatch.hvp", Outcome(0, "", ""), img / "copies.converted")]
    for program, patch, expected, result in programs:
        for case in COPY_CASES:
            shutil.rmtree(d, ignore_errors=True)
            d.mkdir(parents=True)
            copy = img / f"copies.{case.image}"
            shutil.copyfile(copy, d / ARCHIVE)
            shutil.copyfile(img / "copies.journal", d / JOURNAL)
            shutil.copyfile(src / patch, d / PATCH)
            check = Check(f"journal beside {case.label}: {program_name(program)}")
            if not case.belongs:
                outcome = run(d, program)
                expect_refusal(check, d, outcome, TEXT_FOREIGN, copy, "data.hvr changed")
                check.want(same(d / JOURNAL, img / "copies.journal"), "the journal changed or went")
                check.want(not os.path.lexists(d / TEMP), "data.$$$ left behind")
                # The right copy back (and the journal, should the refusal
                # have lost it): the next run rolls back and goes on.
                shutil.copyfile(img / "copies.left", d / ARCHIVE)
                shutil.copyfile(img / "copies.journal", d / JOURNAL)
            outcome = run(d, program)
            prefix = "with the right copy back: " if not case.belongs else ""
            check.want(outcome.rc == expected.rc, f"{prefix}exit {outcome.rc}, not {expected.rc} (stderr: {outcome.err_text()})")
            if program == UPDATE:
                check.want(outcome.err == expected.err, f"{prefix}stderr {outcome.err_text()!r} is not a normal run's")
            check.want(same(d / ARCHIVE, result), f"{prefix}data.hvr is not {'the archive before the stopped run' if program == UPDATE else 'its conversion'}")
            check.want(not leftovers(d), f"{prefix}left behind: {left_text(d)}")
            SUITE.verdict(check, check.what + (": refused, both kept; with the right copy back, rolled back and done"
                                               if not case.belongs else ": rolled back and done"))
    shutil.rmtree(d, ignore_errors=True)


# ---------------------------------------------------------------- 11. failing flushes

FLUSH_JOBS = [("in-place patch", "tiny-inplace"), ("patch that rebuilds", "tiny-rebuild"),
              ("conversion to 0x0103 (rebuild)", "tiny-conv-0103"), ("conversion to 0x0200 (in place)", "tiny-conv-0200")]


def flush_failure_cases() -> None:
    """Each flush of a run fails in turn, once and from then on. The outcome
    shown must be the truth: exit 0 with the new archive, or exit 1 with the
    archive before the run. Once the new archive has its name (the rename, or
    the journal's deletion), a later failure no longer undoes it."""
    SUITE.section("failing flushes (strace -e inject=fsync:error=EIO)")
    if not HAVE_STRACE:
        SUITE.skip("failing flushes: needs strace")
        return
    d = T / "work" / "flush"
    for label, name in FLUSH_JOBS:
        job = JOBS[name]
        fresh_copy(job, d)
        _, calls = traced_calls(d, [job.program])
        counts = {syscall: sum(1 for c in calls if c.name == syscall) for syscall in ("fsync", "fdatasync")}
        check = Check(f"setup flushes: {job.prog} {label} flushes {counts['fsync']} times (fsync), {counts['fdatasync']} (fdatasync)")
        check.want(counts["fsync"] + counts["fdatasync"] > 0, "no flush seen")
        SUITE.verdict(check)
        for syscall, count in counts.items():
            for n in range(1, count + 1):
                for when, how in ((f"{n}", "once"), (f"{n}+", "from then on")):
                    fresh_copy(job, d)
                    outcome = run(d, strace_argv(f"{syscall}:error=EIO:when={when}") + [job.program])
                    check = Check(f"{syscall} #{n} of {count} fails ({how}): {job.prog} {label}")
                    state = image_name(d / ARCHIVE, {"before": job.img("before"), "new": job.img("final")})
                    truthful = (outcome.rc == 0 and state == "new") or (outcome.rc == 1 and state == "before")
                    check.want(truthful, f"exit {outcome.rc} with data.hvr {state if state != 'none' else 'none of before/new'}")
                    if outcome.rc == 1:
                        check.want(outcome.err_has(TEXT_IO) and outcome.error_box(),
                                   f"stderr lacks the I/O error box (stderr: {outcome.err_text()})")
                    elif outcome.rc == 0:
                        check.want(outcome.out == job.message.out, f"stdout {outcome.out[:80]!r} is not a normal run's")
                    check.want(patch_unchanged(job, d), "update.hvp changed")
                    after = run(d, job.program)
                    # Judged by what the faulted run left, so that a wrong
                    # exit status is not reported twice.
                    expected = "again" if state == "new" else "final"
                    check.want(after.rc == 0, f"next run: exit {after.rc}, not 0 (stderr: {after.err_text()})")
                    check.want(same(d / ARCHIVE, job.img(expected)),
                               "next run: data.hvr is not " + ("a second run's result" if expected == "again" else "the fault-free result"))
                    check.want(not leftovers(d), f"next run: left behind: {left_text(d)}")
                    SUITE.verdict(check, check.what + f": exit {outcome.rc}, data.hvr {state}; the next run completes")

    # Two faults: a flush fails, and the run is killed at one of the writes
    # that follow (the rollback's, where there is one). Whatever the next run
    # finds must be one of the images the job allows.
    for label, name in (("in-place patch", "tiny-inplace"), ("conversion to 0x0200 (in place)", "tiny-conv-0200")):
        job = JOBS[name]
        fresh_copy(job, d)
        _, calls = traced_calls(d, [job.program])
        pairs = []
        writes = 0
        for call in calls:
            if call.name == "pwrite64":
                writes += 1
            elif call.name == "fsync":
                pairs += [(call.ordinal, writes + 1), (call.ordinal, writes + 2)]
        if name == "tiny-inplace" and (4, 7) not in pairs:
            pairs.append((4, 7))  # the combination that was reported
        for flush, write in pairs:
            fresh_copy(job, d)
            killed = run(d, strace_argv(f"fsync:error=EIO:when={flush}", f"pwrite64:signal=SIGKILL:when={write}") + [job.program])
            how = "killed" if was_killed(killed) else f"exit {killed.rc}"
            check = Check(f"fsync #{flush} fails and pwrite64 #{write} is killed: {job.prog} {label} ({how})")
            check.want(patch_unchanged(job, d), "update.hvp changed")
            outcome = recovery_alone(d)
            check.want(outcome.rc == 1 and outcome.err_has(TEXT_NOT_FOUND),
                       f"recovery run: exit {outcome.rc} (stderr: {outcome.err_text()})")
            state = image_name(d / ARCHIVE, allowed_images(job))
            check.want(state != "none", "after recovery data.hvr is none of the allowed images")
            check.want(not leftovers(d), f"after recovery left behind: {left_text(d)}")
            after = run(d, job.program)
            check.want(after.rc == 0, f"next run: exit {after.rc}, not 0 (stderr: {after.err_text()})")
            if state == "before":
                check.want(same(d / ARCHIVE, job.img("final")), "next run from the before image: not the fault-free result")
            check.want(not leftovers(d), f"next run: left behind: {left_text(d)}")
            SUITE.verdict(check, check.what + f": recovery gives {state}, then a full run")
    shutil.rmtree(d, ignore_errors=True)


# ---------------------------------------------------------------- 12. concurrent runs

RACE_PAUSE_US = 300_000
# The calls at which a run's state as others see it can change: its files,
# their contents, its locks. A pause before a read is a pause after the call
# before it.
RACE_CALLS = ("openat", "flock", "close", "pwrite64", "ftruncate", "copy_file_range", "fsync", "fdatasync",
              "unlink", "unlinkat", "rename", "renameat", "renameat2")
# The job thread's first call: something to count from before its first open.
THREAD_START = "set_robust_list"


@dataclasses.dataclass
class Race:
    label: str
    source: str                # the job whose before state all runs start from
    programs: tuple[str, ...]  # the first is paused; the others start inside the pause


RACES = [
    Race("hvrconv rebuilding to 0x0103, hvrupdate inside", "tiny-v2-inplace", (CONV, UPDATE)),
    Race("hvrupdate in place, hvrconv inside", "tiny-v2-inplace", (UPDATE, CONV)),
    # In place: a rebuild gives the same bytes twice over, so a lost second
    # rebuild would not show.
    Race("hvrupdate in place, hvrupdate inside", "tiny-inplace", (UPDATE, UPDATE)),
    Race("hvrconv in place to 0x0200, hvrconv inside", "tiny-inplace", (CONV, CONV)),
    Race("hvrconv rebuilding, hvrupdate and hvrconv inside", "tiny-v2-inplace", (CONV, UPDATE, CONV)),
    Race("hvrupdate rebuilding, hvrconv and hvrupdate inside", "tiny-rebuild", (UPDATE, CONV, UPDATE)),
]


class SequentialResults:
    """Fault-free runs one after another from a job's before state: the image
    and each run's outcome for every order the races need."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.known: dict[tuple, tuple[Path, list[Outcome]]] = {}

    def get(self, source: str, programs: tuple[str, ...]) -> tuple[Path, list[Outcome]]:
        key = (source,) + programs
        with self.lock:
            if key in self.known:
                return self.known[key]
        if programs:
            start, outcomes = self.get(source, programs[:-1])
        else:
            start, outcomes = JOBS[source].img("before"), []
        d = Path(tempfile.mkdtemp(prefix="sequence.", dir=T / "work"))
        shutil.copyfile(start, d / ARCHIVE)
        if JOBS[source].has_patch():
            shutil.copyfile(JOBS[source].src / PATCH, d / PATCH)
        outcomes = list(outcomes)
        if programs:
            outcomes.append(run(d, programs[-1]))
        image = T / "img" / ("seq-" + hashlib.sha256(repr(key).encode()).hexdigest()[:16])
        shutil.move(d / ARCHIVE, image)
        shutil.rmtree(d)
        with self.lock:
            self.known[key] = (image, outcomes)
        return image, outcomes


SEQUENCES = SequentialResults()


@dataclasses.dataclass
class RaceRun:
    program: str
    outcome: Optional[Outcome] = None


def judge_race(race: Race, d: Path, runs: list[RaceRun], check: Check) -> str:
    """The final data.hvr must be what the runs that succeeded give one after
    another in some order, each saying what it says in that order; a run that
    failed must have said why truthfully and changed nothing."""
    job = JOBS[race.source]
    for i, r in enumerate(runs):
        if r.outcome.rc not in (0, 1):
            check.fail(f"run {i + 1} ({program_name(r.program)}) exit {r.outcome.rc} (stderr: {r.outcome.err_text()})")
    succeeded = [i for i, r in enumerate(runs) if r.outcome.rc == 0]
    failed = [i for i, r in enumerate(runs) if r.outcome.rc == 1]
    check.want(not leftovers(d), f"left behind: {left_text(d)}")
    check.want(patch_unchanged(job, d), "update.hvp changed")
    said_otherwise = []
    for order in itertools.permutations(succeeded):
        programs = tuple(runs[i].program for i in order)
        image, outcomes = SEQUENCES.get(race.source, programs)
        if not same(d / ARCHIVE, image):
            continue
        differing = [f"run {i + 1} said {runs[i].outcome.out!r} where that order says {outcomes[k].out!r}"
                     for k, i in enumerate(order) if runs[i].outcome.out != outcomes[k].out]
        if differing:
            said_otherwise += differing
            continue
        untruthful = []
        for i in failed:
            told = runs[i].outcome
            if told.err_has(TEXT_SHARING) and told.error_box() and told.out == "":
                continue
            # Another failure is truthful when a fault-free run of the same
            # program at some point of this order says the same.
            if any(SEQUENCES.get(race.source, programs[:k] + (runs[i].program,))[1][-1] == told
                   for k in range(len(programs) + 1)):
                continue
            untruthful.append(f"run {i + 1} ({program_name(runs[i].program)}) failed with {told.err_text()!r}")
        if untruthful:
            check.fail("; ".join(untruthful))
        names = [f"{program_name(runs[i].program)}" for i in order]
        return " then ".join(names) if names else "no change"
    if said_otherwise:
        check.fail("data.hvr is an order of the runs that succeeded, but " + "; ".join(said_otherwise))
    else:
        shown = ", ".join(f"{program_name(r.program)} exit {r.outcome.rc}" + (f" ({r.outcome.err_text()!r})" if r.outcome.rc else "")
                          for r in runs)
        check.fail(f"data.hvr ({size_of(d / ARCHIVE) if (d / ARCHIVE).exists() else 'no'} bytes) is no sequential order of "
                   f"the runs that succeeded ({shown})")
    return "none"


def start_logged(argv: list[str], d: Path, logs: Path, tag: str, **kwargs) -> tuple[subprocess.Popen, Path, Path]:
    out, err = logs / f"{tag}.out", logs / f"{tag}.err"
    with open(out, "wb") as o, open(err, "wb") as e:
        process = CLEANUP.start(argv, cwd=d, stdin=subprocess.DEVNULL, stdout=o, stderr=e, **kwargs)
    return process, out, err


def finish_logged(started: tuple[subprocess.Popen, Path, Path]) -> Outcome:
    process, out, err = started
    try:
        rc = process.wait(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        CLEANUP.kill(process)
        process.wait()
        rc = None
    CLEANUP.finished(process)
    return Outcome(rc, out.read_text(errors="replace"), err.read_text(errors="replace"))


def keep_failed(check: Check, base: Path, label: str) -> None:
    """Kept for the report: the folder and the runs' output of a failed race."""
    if check.problems:
        kept = T.parent / f"process_faults-{label}"
        shutil.rmtree(kept, ignore_errors=True)
        shutil.copytree(base, kept, symlinks=True)
        check.problems.append(f"kept as {kept}")


def race_paused_at(race: Race, call: Call, position: int, case_id: str) -> Check:
    """The first run pauses before `call`; the others start as soon as it has
    stopped there, and typically run to their end inside the pause."""
    base = T / "work" / f"race-{case_id}"
    d, logs = base / "dir", base / "logs"
    fresh_copy(JOBS[race.source], d, share_patch=False)
    logs.mkdir()
    read_end, write_end = os.pipe()
    paused = threading.Event()
    reached = []
    trace = ",".join((THREAD_START,) + RACE_CALLS)
    argv = strace_argv(f"{call.name}:delay_enter={RACE_PAUSE_US}:when={call.ordinal}",
                       output=f"/dev/fd/{write_end}", trace=trace) + [race.programs[0]]
    first = start_logged(argv, d, logs, "first", pass_fds=(write_end,))
    os.close(write_end)

    def watch() -> None:
        # strace prints a call when it returns: the job thread's call before
        # the paused one is the last line before the pause.
        threads: list[str] = []
        seen = 0
        with os.fdopen(read_end, errors="replace") as lines:
            for line in lines:
                tid = line.split(" ", 1)[0]
                if not tid.isdigit() or "resumed>" in line:
                    continue
                if tid not in threads:
                    threads.append(tid)
                if len(threads) >= 2 and tid == threads[1]:
                    seen += 1
                    if seen == position:
                        reached.append(True)
                        paused.set()
        paused.set()

    watcher = threading.Thread(target=watch)
    watcher.start()
    paused.wait(timeout=RUN_TIMEOUT)
    others = [start_logged([program], d, logs, f"other{i}") for i, program in enumerate(race.programs[1:])]
    runs = [RaceRun(race.programs[0], finish_logged(first))]
    runs += [RaceRun(program, finish_logged(started)) for program, started in zip(race.programs[1:], others)]
    watcher.join()
    check = Check("")
    check.want(bool(reached), "the first run never reached the paused call")
    result = judge_race(race, d, runs, check)
    check.what = (f"race ({race.label}): {program_name(race.programs[0])} paused before {call.name} #{call.ordinal}"
                  f"{' [' + call.target + ']' if call.target else ''}: "
                  f"{', '.join(f'exit {r.outcome.rc}' for r in runs)}; data.hvr = {result}")
    keep_failed(check, base, f"race-{case_id}")
    shutil.rmtree(base, ignore_errors=True)
    return check


def race_together(race: Race, stagger_ms: float, case_id: str) -> Check:
    """All runs started at once, each a little after the one before."""
    base = T / "work" / f"race-{case_id}"
    d, logs = base / "dir", base / "logs"
    fresh_copy(JOBS[race.source], d, share_patch=False)
    logs.mkdir()
    started = []
    for i, program in enumerate(race.programs):
        if i:
            time.sleep(stagger_ms / 1000)
        started.append(start_logged([program], d, logs, f"run{i}"))
    runs = [RaceRun(program, finish_logged(s)) for program, s in zip(race.programs, started)]
    check = Check("")
    result = judge_race(race, d, runs, check)
    check.what = (f"race ({race.label}): started {stagger_ms:g} ms apart: "
                  f"{', '.join(f'exit {r.outcome.rc}' for r in runs)}; data.hvr = {result}")
    keep_failed(check, base, f"race-{case_id}")
    shutil.rmtree(base, ignore_errors=True)
    return check


def lost_update_reproduction(case_id: str) -> Check:
    """Reported before: a run that opened data.hvr between a rebuild closing it
    and renaming data.$$$ over it worked on the old file; both runs printed
    success and one change was lost."""
    race = RACES[0]
    base = T / "work" / f"race-{case_id}"
    d, logs = base / "dir", base / "logs"
    fresh_copy(JOBS[race.source], d, share_patch=False)
    logs.mkdir()
    first = start_logged(strace_argv("fsync:delay_enter=1000000:when=1", "rename:delay_enter=3000000") + [CONV],
                         d, logs, "conv")
    time.sleep(0.4)
    second = start_logged(["strace", "-f", "-qq", "-o", "/dev/null", "-P", ARCHIVE, "-e", "trace=openat",
                           "-e", "inject=openat:delay_enter=1500000:when=3", UPDATE], d, logs, "update")
    runs = [RaceRun(CONV, finish_logged(first)), RaceRun(UPDATE, finish_logged(second))]
    check = Check("")
    result = judge_race(race, d, runs, check)
    check.what = (f"race (the lost update reported before: hvrconv paused at its flush and rename, hvrupdate opening "
                  f"data.hvr in between): {', '.join(f'exit {r.outcome.rc}' for r in runs)}; data.hvr = {result}")
    keep_failed(check, base, f"race-{case_id}")
    shutil.rmtree(base, ignore_errors=True)
    return check


def race_cases() -> None:
    """Two and three runs on one folder. Each race pauses the first run before
    one call of the stretch from its first open of data.hvr to its rename (or
    its end), and starts the others inside the pause; every such call in turn.
    The pauses are sleeps, so a few races run side by side."""
    SUITE.section("concurrent runs")
    if not HAVE_STRACE:
        SUITE.skip("concurrent runs: needs strace to widen the race windows")
        return
    start = time.monotonic()
    cases: list[Callable[[], Check]] = []
    for r, race in enumerate(RACES):
        d = T / "work" / "race-trace"
        fresh_copy(JOBS[race.source], d, share_patch=False)
        outcome, calls = traced_calls(d, [race.programs[0]])
        shutil.rmtree(d)
        counted = [c for c in calls if c.name in RACE_CALLS or c.name == THREAD_START]
        opens = [i for i, c in enumerate(counted) if c.name == "openat" and c.target == ARCHIVE]
        renames = [i for i, c in enumerate(counted) if c.name.startswith("rename")]
        if outcome.rc != 0 or not opens:
            check = Check(f"race ({race.label}): the first run's calls")
            check.fail(f"the traced run exited {outcome.rc} or never opened data.hvr")
            SUITE.verdict(check)
            continue
        last = renames[-1] if renames else len(counted) - 1
        # The C library's own reads (of /proc, say, when a thread first
        # allocates) come and go from run to run; only the folder's files
        # make a race.
        folder = {ARCHIVE, TEMP, JOURNAL, PATCH, ".", d.name}
        for position in range(opens[0], last + 1):
            call = counted[position]
            if call.target not in folder:
                continue
            if call.target == d.name:
                call = dataclasses.replace(call, target=".")
            cases.append(lambda race=race, call=call, position=position, i=f"{r}-{position}":
                         race_paused_at(race, call, position, i))
        for stagger in (0, 1, 3, 6, 10):
            cases.append(lambda race=race, stagger=stagger, i=f"{r}-together-{stagger}": race_together(race, stagger, i))
    cases.append(lambda: lost_update_reproduction("reported"))
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=3)
    try:
        for future in [pool.submit(case) for case in cases]:
            SUITE.verdict(future.result())
    finally:
        pool.shutdown(wait=False, cancel_futures=True)
    SUITE.note(f"concurrent runs took {ms_since(start)} ms")


# ---------------------------------------------------------------- main

def tools_present() -> bool:
    for tool in (UPDATE, CONV, GEN, DUMP, DIFF):
        if not os.access(tool, os.X_OK):
            print(f"FAIL: {tool} is missing; build the hvrupdate hvrconv hvrgen hvrdump hvrdiff targets first")
            return False
    return True


def main() -> int:
    global T
    if not tools_present():
        print("0 passed, 1 failed")
        return 1
    T = Path(tempfile.mkdtemp(prefix="process_faults.", dir=os.environ.get("TMPDIR", "/tmp")))
    # A run as "nobody" must be able to reach the working directories.
    os.chmod(T, 0o755)
    for sub in ("src", "img", "work"):
        (T / sub).mkdir()
    start = time.monotonic()
    try:
        if not HAVE_STRACE:
            SUITE.note("strace is missing or may not trace here: the injected faults and races are skipped")
        if set_up_jobs():
            capture_midpass()
            file_size_limit_cases()
            full_disk_cases()
            kill_cases()
            read_only_cases()
            held_cases()
            journal_cases()
            closed_stream_cases()
            lost_output_cases()
            planted_link_cases()
            symlinked_archive_cases()
            journal_copy_cases()
            flush_failure_cases()
            race_cases()
    finally:
        CLEANUP.undo()
        shutil.rmtree(T, ignore_errors=True)
    SUITE.note(f"took {ms_since(start)} ms in all")
    print(f"{SUITE.passed} passed, {SUITE.failed} failed", flush=True)
    return 1 if SUITE.failed else 0


def interrupted(signum, _frame):
    raise SystemExit(128 + signum)


T = Path("/nonexistent")

if __name__ == "__main__":
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    sys.exit(main())
