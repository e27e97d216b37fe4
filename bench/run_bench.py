#!/usr/bin/env python3
"""Side-by-side benchmarks of hvrupdate and hvrconv against general-purpose
archivers and against physical limits, written up as a Markdown report with
PNG plots.

Normally started through scripts/bench, which installs the peers and builds
the programs first. Every figure comes from one run of this script: the cases
of a group run interleaved (A B C, A B C, ...) for several rounds, each timed
run starts from pristine copies restored untimed and flushed, and ratios are
taken within a round before their median is reported. The machine these run
on is shared and noisy, so absolute times from different runs do not compare;
ratios from one run do.

A timed run is "durable" when the output file has been flushed to the disk:
hvrupdate and hvrconv flush what they write themselves, the lower bound uses
dd's conv=fsync, and the peers are followed by an fsync of the file they
wrote. Ratios are taken on durable times; the raw times are listed too.
"""

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

MiB = 1 << 20
GiB = 1 << 30
OLD_TIME = 1_600_000_000  # September 2020

PROFILES = {
    # The published figures.
    "full": dict(
        entries=50_000, size=GiB, rounds=7, share_permille=10, rebuild_permille=300,
        # Offsets are 32 bits: 400,000 entries must average under 10 KiB.
        scale_entries=[10_000, 50_000, 100_000, 400_000], scale_bytes_per_entry=8 << 10, scale_patch=500,
        scale_rounds=3,
        shares_permille=[1, 10, 100, 200], micro_repetitions=3, micro_min_time=None,
    ),
    # A smaller data set with the same shape, for checking the harness.
    "quick": dict(
        entries=10_000, size=80 * MiB, rounds=3, share_permille=10, rebuild_permille=300,
        scale_entries=[2_500, 10_000, 25_000, 50_000], scale_bytes_per_entry=4 << 10, scale_patch=100,
        scale_rounds=2,
        shares_permille=[1, 10, 100, 200], micro_repetitions=1, micro_min_time="0.05",
    ),
}

# Fixed seeds: the same bytes on every run and every machine.
ARCHIVE_SEED = 501
PATCH_SEED = 502
REBUILD_SEED = 503
FIXED_PATCH_SEED = 504
SHARE_SEED = 505
DIFF_SEED = 506

# Patches whose names are spelled exactly as in the archive and that add
# nothing: what the general archivers can take as "update these files".
PLAIN_PATCH = ["--only-in-patch", "0", "--duplicates", "0", "--patch-directories", "0", "--case", "0"]


def log(*parts):
    print("bench:", *parts, file=sys.stderr, flush=True)


def die(message):
    log(message)
    sys.exit(2)


def run(args, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run([str(a) for a in args], **kwargs)


def fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def copy_flushed(source, target):
    """A pristine copy, on the disk before any clock starts. An existing
    copy is overwritten where it lies: freeing a large file costs a file
    system mounted with discard seconds of background work, which would land
    in the next timed run."""
    target = Path(target)
    if not target.exists():
        shutil.copyfile(source, target)
    else:
        with open(source, "rb") as src, open(target, "r+b") as dst:
            shutil.copyfileobj(src, dst, 8 * MiB)
            dst.truncate()
    fsync_path(target)


def settle():
    """Flushes everything and lets the file system finish what freed blocks
    started (discards), so that a timed run starts on a quiet disk."""
    os.sync()
    time.sleep(0.3)


def restore_tail(pristine, work, tail):
    """Undoes a run that only appended to `work` or changed its last `tail`
    bytes: cuts it to the pristine length and rewrites that tail."""
    size = os.path.getsize(pristine)
    start = max(0, size - tail)
    with open(pristine, "rb") as source, open(work, "r+b") as target:
        source.seek(start)
        target.truncate(size)
        target.seek(start)
        target.write(source.read())
        target.flush()
        os.fsync(target.fileno())


def stats(values):
    values = sorted(values)
    return dict(median=statistics.median(values), min=values[0], max=values[-1], values=values)


def human_bytes(n):
    for unit, size in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if n >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} B"


class Timed:
    """One timed command: wall time, the time until its output file is flushed,
    and its peak resident memory from GNU time."""

    def __init__(self, args, cwd, output, stdout_path):
        self.args = [str(a) for a in args]
        self.cwd = cwd
        self.output = output
        self.stdout_path = stdout_path

    def __call__(self):
        time_file = Path(self.cwd) / ".time-v"
        with open(self.stdout_path, "wb") as out:
            start = time.perf_counter()
            status = subprocess.run(["/usr/bin/time", "-v", "-o", str(time_file)] + self.args, cwd=self.cwd,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT).returncode
            end = time.perf_counter()
            output = self.output() if callable(self.output) else self.output
            if output is not None:
                fsync_path(output)
            flushed = time.perf_counter()
        report = time_file.read_text()
        time_file.unlink()
        if status != 0:
            sys.stderr.write(Path(self.stdout_path).read_text(errors="replace")[-2000:])
            die(f"{' '.join(self.args)} exited with {status} in {self.cwd}")
        rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1))
        return dict(seconds=end - start, durable=flushed - start, rss_kib=rss)


class Bench:
    def __init__(self, options):
        self.options = options
        self.profile = PROFILES[options.profile]
        self.build = Path(options.build).resolve()
        self.data = Path(options.data).resolve()
        self.data.mkdir(parents=True, exist_ok=True)
        self.work = self.data / "work"
        if self.work.exists():
            shutil.rmtree(self.work)
        self.work.mkdir()
        self.tools = {name: self.build / name for name in
                      ("hvrgen", "hvrupdate", "hvrconv", "hvrdiff", "extract_entries", "cipher_bench", "open_bench",
                       "table_bench", "match_bench", "exact_deflate_bench")}
        for tool in self.tools.values():
            if not os.access(tool, os.X_OK):
                die(f"{tool} is missing: build the linux preset first")
        self.results = dict(profile=options.profile, config=self.profile, machine=machine())
        self.bytes_per_entry = self.profile["size"] // self.profile["entries"]

    # --- data ---------------------------------------------------------------

    def archive(self, entries, version="0x0200", dead_percent=0, per_entry=None):
        """An archive of `entries` entries of `per_entry` bytes on average
        (the profile's by default); with `dead_percent`, that share of its
        data area is dead bytes between the entries."""
        name = f"v{version[3]}-{entries}" + (f"-dead{dead_percent}" if dead_percent else "") + \
            (f"-{per_entry}b" if per_entry else "")
        path = self.data / (name + ".hvr")
        if not path.exists():
            log(f"generating {path.name}")
            temp = path.with_suffix(".tmp")
            content = entries * (per_entry or self.bytes_per_entry)
            dead = content * dead_percent // (100 - dead_percent)
            run([self.tools["hvrgen"], "--archive", temp, "--format", version, "--entries", entries,
                 "--size", content, "--seed", ARCHIVE_SEED, "--dead", dead], stdout=subprocess.DEVNULL)
            temp.rename(path)
        return path

    def patch(self, entries, name, seed, selection, per_entry=None):
        """A 0x0200 patch for the 0x0200 archive of `entries` entries (of
        `per_entry` bytes on average)."""
        path = self.data / (f"{name}-{entries}" + (f"-{per_entry}b" if per_entry else "") + ".hvp")
        if not path.exists():
            log(f"generating {path.name}")
            temp = path.with_suffix(".tmp")
            run([self.tools["hvrgen"], "--archive", "-", "--format", "0x0200", "--entries", entries,
                 "--size", entries * (per_entry or self.bytes_per_entry), "--seed", ARCHIVE_SEED, "--patch", temp,
                 "--patch-format", "0x0200", "--patch-seed", seed] + selection + PLAIN_PATCH)
            temp.rename(path)
        return path

    def version(self, entries, name, seed, changed_permille):
        """Another version of the 0x0200 archive of `entries` entries: the same
        entries, `changed_permille` of its files with other contents (a third
        of those with their sizes unchanged, so that only their bytes tell)."""
        path = self.data / f"{name}-{entries}.hvr"
        if not path.exists():
            log(f"generating {path.name}")
            temp = path.with_suffix(".tmp")
            run([self.tools["hvrgen"], "--archive", "-", "--format", "0x0200", "--entries", entries,
                 "--size", entries * self.bytes_per_entry, "--seed", ARCHIVE_SEED, "--version", temp,
                 "--version-format", "0x0200", "--version-seed", seed, "--changed", changed_permille],
                stdout=subprocess.DEVNULL)
            temp.rename(path)
        return path

    def summary(self, path):
        out = run([self.tools["extract_entries"], "--summary", path], capture_output=True, text=True).stdout
        fields = dict(pair.split("=") for pair in out.split())
        result = {k: int(v, 0) for k, v in fields.items()}
        result["fileSize"] = os.path.getsize(path)
        return result

    def memory_budget(self, *archives):
        """Peak memory allowed to a run that holds the tables of `archives`:
        their tables' length in memory, the largest entry, and 64 MiB."""
        summaries = [self.summary(a) for a in archives]
        return (sum(s["plainTable"] for s in summaries) + max(s["largest"] for s in summaries) + 64 * MiB)

    # --- the programs -------------------------------------------------------

    def hvr_case(self, program, directory, data, patch=None, expect_replaced=None):
        """A run of hvrupdate or hvrconv in `directory` on a copy of `data`
        (and `patch`). Reports whether data.hvr stayed the same file (the
        in-place pass) or was replaced (a rebuild)."""
        directory.mkdir(parents=True, exist_ok=True)
        target = directory / "data.hvr"
        stdout = directory.parent / f"{directory.name}.out"
        timed = Timed([self.tools[program]], directory, target, stdout)

        def prepare():
            for leftover in ("data.hvr-journal", "data.$$$"):
                (directory / leftover).unlink(missing_ok=True)
            copy_flushed(data, target)
            if patch is not None:
                copy_flushed(patch, directory / "update.hvp")
            settle()

        def measure():
            inode = os.stat(target).st_ino
            result = timed()
            text = stdout.read_text(errors="replace")
            if expect_replaced is not None:
                # "N個置換しました" in Japanese, "Replaced N entries." in English.
                match = re.search(r"^(?:Replaced )?(\d+)", text, re.M)
                if not match or int(match.group(1)) != expect_replaced:
                    die(f"{program} in {directory}: expected {expect_replaced} replacements, got: {text[:200]!r}")
            result["inPlace"] = os.stat(target).st_ino == inode
            return result

        return prepare, measure

    def bound_case(self, data, appended, name):
        """The lower bound of an in-place patch: appending `appended` bytes to
        a copy of the archive and flushing them."""
        work = self.work / f"{name}.hvr"
        copy_flushed(data, work)

        def prepare():
            restore_tail(data, work, 0)
            settle()

        def measure():
            start = time.perf_counter()
            run(["dd", "if=/dev/zero", f"of={work}", "bs=1M", f"count={appended}", "iflag=count_bytes",
                 "oflag=append", "conv=notrunc,fsync", "status=none"])
            seconds = time.perf_counter() - start
            if os.path.getsize(work) != os.path.getsize(data) + appended:
                die("the lower bound wrote the wrong length")
            return dict(seconds=seconds, durable=seconds, rss_kib=None)

        return prepare, measure

    def copy_case(self, data, name, replace=False):
        """cp of the archive, then a flush of the copy; with `replace`, the
        copy then takes the place of an older copy, as a rebuilt archive takes
        the place of the old one (which the file system must free)."""
        target = self.work / f"{name}.copy"
        old = self.work / f"{name}.old"
        stdout = self.work / f"{name}.out"
        if replace:
            script = f"cp --reflink=never '{data}' '{target}' && sync '{target}' && mv -f '{target}' '{old}'"
            timed = Timed(["sh", "-c", script], self.work, old, stdout)
        else:
            timed = Timed(["cp", "--reflink=never", data, target], self.work, target, stdout)

        def prepare():
            target.unlink(missing_ok=True)
            if replace:
                copy_flushed(data, old)
            settle()

        return prepare, timed

    def deflate_case(self, data):
        """Deflating the archive's table at the format's level, in memory:
        what writing any new table of this archive costs at least."""
        with open(data, "rb") as f:
            header = f.read(46)
            offset = int.from_bytes(header[30:34], "little")
            f.seek(46 + offset)
            packed, plain_size = struct.unpack("<II", f.read(8))
            stream = f.read(packed)
        plain = zlib.decompress(stream)
        if len(plain) != plain_size or zlib.compress(plain, 6) != stream:
            die("the archive's table is not what zlib makes of it at level 6")

        def measure():
            start = time.perf_counter()
            zlib.compress(plain, 6)
            seconds = time.perf_counter() - start
            return dict(seconds=seconds, durable=seconds, rss_kib=None)

        return (lambda: None), measure

    # --- running interleaved ------------------------------------------------

    def interleave(self, title, cases, rounds):
        """cases: name -> (prepare, measure). Returns name -> list of results."""
        results = {name: [] for name in cases}
        for round_number in range(rounds):
            line = []
            for name, (prepare, measure) in cases.items():
                prepare()
                result = measure()
                results[name].append(result)
                line.append(f"{name} {result['durable']:.3f}s")
            log(f"{title}, round {round_number + 1}/{rounds}: " + ", ".join(line))
        return results

    # --- the cases ------------------------------------------------------------

    def peer_trees(self, data, patch):
        """The archive's and the patch's entries as file trees, and the same
        content as a stored zip, a 7z archive without compression and a tar."""
        peers = self.data / "peers"
        peers.mkdir(exist_ok=True)
        patch_tree = peers / "patch-tree"
        listing = peers / "update.list"
        if not listing.exists():
            shutil.rmtree(patch_tree, ignore_errors=True)
            run([self.tools["extract_entries"], patch, patch_tree], stderr=subprocess.DEVNULL)
            names = sorted(str(p.relative_to(patch_tree)) for p in patch_tree.rglob("*") if p.is_file())
            listing.write_text("".join(n + "\n" for n in names))
        archives = {"zip": peers / "archive.zip", "7z": peers / "archive.7z", "tar": peers / "archive.tar"}
        if not all(a.exists() for a in archives.values()):
            tree = peers / "tree"
            shutil.rmtree(tree, ignore_errors=True)
            log("extracting the archive's entries for the general archivers")
            run([self.tools["extract_entries"], data, tree], stderr=subprocess.DEVNULL)
            # Old timestamps: the patch's files, copied fresh for each run, are
            # then newer than every entry even at zip's 2-second resolution.
            for path in tree.rglob("*"):
                os.utime(path, (OLD_TIME, OLD_TIME))
            top = sorted(p.name for p in tree.iterdir())
            makers = {
                "zip": ["zip", "-0", "-r", "-q"],
                "7z": ["7z", "a", "-mx0", "-bd", "-bso0"],
                "tar": ["tar", "-cf"],
            }
            for kind, path in archives.items():
                if path.exists():
                    continue
                log(f"building the {kind} archive")
                temp = path.with_name(path.name + ".tmp" + path.suffix)
                temp.unlink(missing_ok=True)
                run(makers[kind] + [temp] + top, cwd=tree)
                temp.rename(path)
            shutil.rmtree(tree)
        return patch_tree, listing, archives

    def peer_case(self, kind, pristine, patch_tree, listing, files):
        directory = self.work / kind
        directory.mkdir(exist_ok=True)
        archive = directory / pristine.name
        files_dir = directory / "files"
        stdout = self.work / f"{kind}.out"
        commands = {
            # zip reads the names from its standard input.
            "zip": ["sh", "-c", f"exec zip -0 -u '{archive}' -@ < '{listing}'"],
            "7z": ["7z", "u", "-mx0", "-bd", archive, f"@{listing}"],
            "tar": ["tar", "--append", "-f", archive, "-T", listing],
        }
        args = commands[kind]
        timed = Timed(args, files_dir, archive, stdout)
        copy_flushed(pristine, archive)

        def prepare():
            # tar only appends; zip and 7z write a new archive.
            if kind == "tar":
                restore_tail(pristine, archive, 1 * MiB)
            else:
                copy_flushed(pristine, archive)
            # Fresh copies of the patch's files: newer than every entry of
            # the archive, so an update takes each of them.
            shutil.rmtree(files_dir, ignore_errors=True)
            shutil.copytree(patch_tree, files_dir)
            settle()

        def measure():
            result = timed()
            text = stdout.read_text(errors="replace")
            if kind == "zip":
                taken = len(re.findall(r"^\s*updating: ", text, re.M))
                if taken != files:
                    die(f"zip updated {taken} files, expected {files}")
            elif kind == "7z":
                match = re.search(r"Add new data to archive: (\d+) files?", text)
                if not match or int(match.group(1)) != files:
                    die(f"7z did not report {files} files added: {text[-500:]!r}")
            elif os.path.getsize(archive) <= os.path.getsize(pristine):
                die("tar did not append")
            return result

        return prepare, measure

    def case_in_place(self):
        p = self.profile
        data = self.archive(p["entries"])
        patch = self.patch(p["entries"], "share", PATCH_SEED, ["--replace", str(p["share_permille"])])
        d, s = self.summary(data), self.summary(patch)
        patch_tree, listing, peers = self.peer_trees(data, patch)
        cases = {
            "hvrupdate": self.hvr_case("hvrupdate", self.work / "inplace", data, patch, s["files"]),
            "bound": self.bound_case(data, s["stored"] + d["table"], "bound"),
            "deflate": self.deflate_case(data),
        }
        for kind in ("zip", "7z", "tar"):
            cases[kind] = self.peer_case(kind, peers[kind], patch_tree, listing, s["files"])
        results = self.interleave("patch in place", cases, p["rounds"])
        self.results["inPlace"] = dict(data=d, patch=s, budget=self.memory_budget(data, patch),
                                       peerSizes={k: os.path.getsize(v) for k, v in peers.items()},
                                       runs=results)

    def case_rebuild(self):
        p = self.profile
        data = self.archive(p["entries"])
        v1 = self.archive(p["entries"], "0x0103")
        v1_dead = self.archive(p["entries"], "0x0103", dead_percent=30)
        patch = self.patch(p["entries"], "rebuild", REBUILD_SEED, ["--replace", str(p["rebuild_permille"])])
        s = self.summary(patch)
        cases = {
            "cp": self.copy_case(data, "cp"),
            "replace": self.copy_case(data, "replace", replace=True),
            "rebuild": self.hvr_case("hvrupdate", self.work / "rebuild", data, patch, s["files"]),
            "to0103": self.hvr_case("hvrconv", self.work / "to0103", data),
            "to0200": self.hvr_case("hvrconv", self.work / "to0200", v1_dead),
            "to0200table": self.hvr_case("hvrconv", self.work / "to0200table", v1),
        }
        results = self.interleave("rebuild and conversion", cases, p["rounds"])
        self.results["rebuild"] = dict(
            data=self.summary(data), v1=self.summary(v1), v1Dead=self.summary(v1_dead), patch=s, runs=results,
            budgets=dict(rebuild=self.memory_budget(data, patch), to0103=self.memory_budget(data),
                         to0200=self.memory_budget(v1_dead), to0200table=self.memory_budget(v1)))
        # Conversion to 0x0200 of an archive without dead space leaves the
        # coded entries as they lie and writes a new table; the others must
        # rebuild.
        for name in ("rebuild", "to0103", "to0200"):
            if any(r["inPlace"] for r in results[name]):
                log(f"warning: {name} kept data.hvr in place; a rebuild was expected")

    def case_diff(self):
        """hvrdiff on two versions of the archive that differ in the profile's
        share of their files, against cmp of two equal files of that size:
        reading and comparing both in full, which hvrdiff has to do for every
        pair of entries whose sizes agree. (cmp of the two versions
        themselves stops at their first difference, in the first megabytes.)"""
        p = self.profile
        old = self.archive(p["entries"])
        new = self.version(p["entries"], "changed", DIFF_SEED, p["share_permille"])
        twin = self.work / "new-twin.hvr"
        copy_flushed(new, twin)
        output = self.work / "diff.hvp"
        stdout = self.work / "diff.out"
        timed = Timed([self.tools["hvrdiff"], old, new, "-o", output], self.work, output, stdout)

        def prepare():
            output.unlink(missing_ok=True)
            settle()

        def measure():
            result = timed()
            match = re.search(r": (\d+) entries", stdout.read_text(errors="replace"))
            if not match:
                die(f"hvrdiff wrote no patch: {stdout.read_text(errors='replace')[:300]!r}")
            result["entries"] = int(match.group(1))
            return result

        cmp = Timed(["cmp", new, twin], self.work, None, self.work / "cmp.out")
        cases = {"hvrdiff": (prepare, measure), "cmp": (settle, cmp)}
        results = self.interleave("patch making", cases, p["rounds"])
        self.results["diff"] = dict(old=self.summary(old), new=self.summary(new), runs=results,
                                    budget=self.memory_budget(old, new))
        twin.unlink()

    def case_scaling(self):
        p = self.profile
        points = []
        cases = {}
        per_entry = p["scale_bytes_per_entry"]
        for entries in p["scale_entries"]:
            data = self.archive(entries, per_entry=per_entry)
            patch = self.patch(entries, "fixed", FIXED_PATCH_SEED, ["--replace-count", str(p["scale_patch"])],
                               per_entry=per_entry)
            d, s = self.summary(data), self.summary(patch)
            points.append(dict(kind="entries", key=entries, data=d, patch=s, budget=self.memory_budget(data, patch)))
            cases[f"entries {entries}"] = self.hvr_case("hvrupdate", self.work / f"entries-{entries}", data, patch,
                                                        s["files"])
            cases[f"bound {entries}"] = self.bound_case(data, s["stored"] + d["table"], f"bound-{entries}")
        base = self.archive(p["entries"])
        d = self.summary(base)
        for index, permille in enumerate(p["shares_permille"]):
            if permille == p["share_permille"]:
                patch = self.patch(p["entries"], "share", PATCH_SEED, ["--replace", str(permille)])
            else:
                patch = self.patch(p["entries"], f"share{permille}", SHARE_SEED + index, ["--replace", str(permille)])
            s = self.summary(patch)
            points.append(dict(kind="share", key=permille, data=d, patch=s, budget=self.memory_budget(base, patch)))
            cases[f"share {permille}"] = self.hvr_case("hvrupdate", self.work / f"share-{permille}", base, patch,
                                                       s["files"])
            cases[f"bound share {permille}"] = self.bound_case(base, s["stored"] + d["table"], f"bound-share-{permille}")
        results = self.interleave("scaling", cases, p["scale_rounds"])
        for point in points:
            name = f"entries {point['key']}" if point["kind"] == "entries" else f"share {point['key']}"
            bound = f"bound {point['key']}" if point["kind"] == "entries" else f"bound share {point['key']}"
            point["runs"] = results[name]
            point["bound"] = results[bound]
        # The working copies of the large archives are not needed any more.
        for directory in self.work.iterdir():
            if directory.name.startswith(("entries-", "bound-")):
                shutil.rmtree(directory) if directory.is_dir() else directory.unlink()
        self.results["scaling"] = points

    def case_micro(self):
        p = self.profile
        micro = {}
        filters = {
            "cipher_bench": "BM_Memcpy|BM_DecodeBlocks|BM_(En|De)codeEntryData/bytes:16777216/cycle:[1-9]",
            "open_bench": ".",
            "table_bench": "BM_WriteTable|BM_DeflateV2PerField",
            "match_bench": "BM_ApplyPatchList|BM_Pairwise/patch:1000",
            "exact_deflate_bench": ".",
        }
        for name, pattern in filters.items():
            out = self.data / f"{name}.json"
            args = [self.tools[name], f"--benchmark_filter={pattern}", "--benchmark_format=json",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"]
            if p["micro_repetitions"] > 1:
                args += [f"--benchmark_repetitions={p['micro_repetitions']}",
                         "--benchmark_enable_random_interleaving=true"]
            if p["micro_min_time"]:
                args.append(f"--benchmark_min_time={p['micro_min_time']}")
            log(f"running {name}")
            run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            micro[name] = json.loads(out.read_text())["benchmarks"]
        self.results["micro"] = micro

    def case_profile(self):
        """Where the time of the in-place patch and of the rebuild goes, by
        perf's call graphs."""
        if shutil.which("perf") is None:
            self.results["profile"] = dict(error="perf is not installed")
            return
        p = self.profile
        data = self.archive(p["entries"])
        runs = {
            "inPlace": self.patch(p["entries"], "share", PATCH_SEED, ["--replace", str(p["share_permille"])]),
            "rebuild": self.patch(p["entries"], "rebuild", REBUILD_SEED, ["--replace", str(p["rebuild_permille"])]),
        }
        profiles = {}
        for name, patch in runs.items():
            directory = self.work / f"profile-{name}"
            prepare, _ = self.hvr_case("hvrupdate", directory, data, patch)
            prepare()
            perf_data = self.work / "perf.data"
            recorded = subprocess.run(["perf", "record", "-q", "--call-graph", "dwarf", "-F", "2000", "-o",
                                       str(perf_data), str(self.tools["hvrupdate"])], cwd=directory,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      text=True)
            if recorded.returncode != 0:
                self.results["profile"] = dict(error=recorded.stderr.strip()[-300:] or "perf record failed")
                return
            report = subprocess.run(["perf", "report", "-i", str(perf_data), "--children", "--sort", "sym",
                                     "--stdio", "-g", "none", "--percent-limit", "0.5"],
                                    capture_output=True, text=True).stdout
            rows = []
            for line in report.splitlines():
                match = re.match(r"\s*([\d.]+)%\s+([\d.]+)%\s+\[([.k])\]\s+(.+?)\s*$", line)
                if match:
                    rows.append(dict(children=float(match.group(1)), self=float(match.group(2)),
                                     kernel=match.group(3) == "k", symbol=match.group(4)))
            profiles[name] = rows
            perf_data.unlink(missing_ok=True)
            shutil.rmtree(directory)
        self.results["profile"] = dict(runs=profiles)

    def run_all(self, only):
        steps = [("micro", self.case_micro), ("inPlace", self.case_in_place), ("rebuild", self.case_rebuild),
                 ("diff", self.case_diff), ("scaling", self.case_scaling), ("profile", self.case_profile)]
        for name, step in steps:
            if only and name not in only:
                continue
            started = time.perf_counter()
            step()
            log(f"{name} took {time.perf_counter() - started:.0f} s")
        shutil.rmtree(self.work, ignore_errors=True)


def machine():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = 0
    try:
        memory = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1)) * 1024
    except (OSError, AttributeError):
        pass
    def version(args):
        try:
            return subprocess.run(args, capture_output=True, text=True).stdout.splitlines()[0].strip()
        except (OSError, IndexError):
            return "unknown"
    filesystem = subprocess.run(["df", "-T", "."], capture_output=True, text=True).stdout.splitlines()[-1].split()[1]
    return dict(cpu=cpu, cores=os.cpu_count(), memory=memory, kernel=platform.release(), filesystem=filesystem,
                date=time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                zip=version(["zip", "-v"]).replace("This is ", ""),
                sevenzip=next((l.strip() for l in subprocess.run(["7z"], capture_output=True, text=True).stdout.splitlines()
                               if l.strip().startswith("7-Zip")), "unknown"),
                tar=version(["tar", "--version"]), compiler=version(["c++", "--version"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--profile", choices=sorted(PROFILES), default="full")
    parser.add_argument("--build", default="build/linux")
    parser.add_argument("--data", help="where generated files live and are reused (default build/bench/PROFILE)")
    parser.add_argument("--out", help="report directory (default docs for full, the data directory for quick)")
    parser.add_argument("--rounds", type=int, help="rounds per group, instead of the profile's")
    parser.add_argument("--only", action="append", help="run only these steps (micro, inPlace, rebuild, diff, "
                        "scaling, profile); the others are taken from the last results file")
    parser.add_argument("--report-only", action="store_true", help="rewrite the report from the last results")
    options = parser.parse_args()
    options.data = options.data or f"build/bench/{options.profile}"
    options.out = options.out or ("docs" if options.profile == "full" else options.data)
    if options.rounds:
        PROFILES[options.profile]["rounds"] = options.rounds
        PROFILES[options.profile]["scale_rounds"] = options.rounds

    results_path = Path(options.data) / "results.json"
    if options.report_only:
        results = json.loads(results_path.read_text())
    else:
        bench = Bench(options)
        if options.only and results_path.exists():
            previous = json.loads(results_path.read_text())
            previous.update({k: v for k, v in bench.results.items() if k in ("machine", "config")})
            bench.results = previous
        started = time.perf_counter()
        bench.run_all(options.only)
        bench.results["seconds"] = time.perf_counter() - started
        results = bench.results
        results_path.write_text(json.dumps(results, indent=1))
    import report  # the report needs matplotlib; keep it out of the measuring
    report.write(results, Path(options.out), command=" ".join(["scripts/bench"] + (["--quick"] if options.profile == "quick" else [])))


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    main()
