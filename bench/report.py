"""Writes BENCHMARKS.md and its plots from the results of run_bench.py."""

import re
import statistics
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30


def summary(values):
    values = sorted(values)
    return dict(median=statistics.median(values), min=values[0], max=values[-1])


def durable(runs):
    return [r["durable"] for r in runs]


def ratios(top, bottom):
    return [a / b for a, b in zip(durable(top), durable(bottom))]


def seconds(s):
    return f"{s['median']:.3f} s ({s['min']:.3f}–{s['max']:.3f})"


def ratio_text(values):
    s = summary(values)
    return f"{s['median']:.2f}× ({s['min']:.2f}–{s['max']:.2f})"


def size(n):
    for unit, unit_size in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if n >= unit_size:
            return f"{n / unit_size:.1f} {unit}"
    return f"{n} B"


def peak(runs):
    values = [r["rss_kib"] for r in runs if r.get("rss_kib") is not None]
    return max(values) * 1024 if values else None


class Targets:
    """Collects the targets and whether the median met each."""

    def __init__(self):
        self.rows = []

    def check(self, what, values, op, limit):
        median = summary(values)["median"]
        met = median <= limit if op == "≤" else median >= limit
        self.rows.append((what, ratio_text(values), f"{op} {limit:g}×", "yes" if met else "**no**"))
        return met

    def table(self):
        lines = ["| target | measured: median (min–max) | target | met |", "|---|---|---|---|"]
        lines += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in self.rows]
        return "\n".join(lines)


def bar_plot(path, title, labels, runs_list, highlight):
    fig, ax = plt.subplots(figsize=(7.5, 3.6), dpi=110)
    medians = [summary(durable(r))["median"] for r in runs_list]
    lows = [m - summary(durable(r))["min"] for m, r in zip(medians, runs_list)]
    highs = [summary(durable(r))["max"] - m for m, r in zip(medians, runs_list)]
    colours = ["#d62728" if label == highlight else "#7f7f7f" for label in labels]
    ax.barh(labels, medians, xerr=[lows, highs], color=colours, capsize=3)
    for y, (m, high) in enumerate(zip(medians, highs)):
        ax.text((m + high) * 1.12, y, f"{m:.3f} s", va="center", fontsize=8)
    ax.set_xscale("log")
    ax.set_xlabel("seconds until the result is on disk (median, min–max; log scale)")
    ax.set_title(title, fontsize=10)
    ax.invert_yaxis()
    ax.set_xlim(right=max(m + h for m, h in zip(medians, highs)) * 5)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def scaling_plot(path, points, xkey, xlabel, title):
    xs = [xkey(p) for p in points]
    tool = [summary(durable(p["runs"])) for p in points]
    bound = [summary(durable(p["bound"])) for p in points]
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.5, 3.6), dpi=110)
    for series, label, colour in ((tool, "hvrupdate", "#d62728"), (bound, "lower bound (append + fsync)", "#7f7f7f")):
        left.errorbar(xs, [s["median"] for s in series],
                      yerr=[[s["median"] - s["min"] for s in series], [s["max"] - s["median"] for s in series]],
                      marker="o", label=label, color=colour, capsize=3)
    left.set_ylabel("seconds (median, min–max)")
    right.plot(xs, [peak(p["runs"]) / MiB for p in points], marker="o", color="#d62728", label="peak memory")
    right.plot(xs, [p["budget"] / MiB for p in points], linestyle="--", color="#1f77b4",
               label="budget: tables + largest entry + 64 MiB")
    right.plot(xs, [p["data"]["fileSize"] / MiB for p in points], linestyle=":", color="#7f7f7f",
               label="archive size")
    right.set_ylabel("MiB")
    for axes in (left, right):
        axes.set_xscale("log")
        axes.set_yscale("log")
        axes.set_xlabel(xlabel)
        axes.legend(fontsize=8)
        axes.grid(True, which="both", alpha=0.3)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def micro_rows(benchmarks):
    """name -> median real time in seconds, and bytes per second if counted."""
    by_name = {}
    for b in benchmarks:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
        row = dict(seconds=b["real_time"] * scale, bytes_per_second=b.get("bytes_per_second"))
        if b.get("run_type") == "aggregate" or name not in by_name:
            by_name[name] = row
    return by_name


def write(results, out, command):
    out.mkdir(parents=True, exist_ok=True)
    m = results["machine"]
    config = results["config"]
    targets = Targets()
    text = []
    add = text.append

    add("# Benchmarks\n")
    add("How much hvrupdate and hvrconv cost next to the general-purpose archivers a user could use instead, and "
        "next to what the disk allows, measured side by side in one run on the same data. This file and its plots "
        "are written by the benchmark script from one run of it.\n")
    add("## How these figures were made\n")
    add(f"- Reproduce with `{command}` (installs the peers, builds the `linux` preset, generates the data under "
        "`build/bench/`, then writes this file and `docs/bench-*.png`). `scripts/bench --quick` runs the same cases "
        "on a smaller data set.")
    add(f"- Machine: {m['cpu']}, {m['cores']} cores, {size(m['memory'])} RAM, Linux {m['kernel']}, "
        f"{m['filesystem']}; shared with other work, so timings are noisy. {m['date']}; the run took "
        f"{results.get('seconds', 0) / 60:.1f} min.")
    add(f"- Peers: {m['zip']}; {m['sevenzip']}; {m['tar']}. Compiler: {m['compiler']}.")
    add(f"- Each group of cases runs interleaved, {config['rounds']} rounds (scaling: {config['scale_rounds']}); "
        "every timed run starts from pristine copies restored untimed and flushed, with the files in the page "
        "cache. Times are wall-clock until the result is on disk: the programs flush their own writes, the lower "
        "bound uses `dd conv=fsync`, and a peer's command is followed by an `fsync` of the archive it wrote. "
        "Ratios are taken within a round; tables give the median and the min–max over rounds.")
    add("- Peak memory is the maximum resident set size reported by `/usr/bin/time -v`, the largest over the rounds.\n")

    # --- patch in place -------------------------------------------------------
    ip = results.get("inPlace")
    if ip:
        d, s, runs = ip["data"], ip["patch"], ip["runs"]
        add("## Patch in place\n")
        add(f"The archive holds {d['entries']:,} entries ({d['files']:,} files) in {size(d['fileSize'])}; its table "
            f"is {size(d['table'])} in the file ({size(d['plainTable'])} inflated). The patch replaces "
            f"{s['files']:,} files ({s['stored'] / d['stored']:.1%} of the stored bytes, {size(s['stored'])}). "
            f"The same {d['files']:,} files, as the archive stores them, were packed into a stored zip, a 7z archive "
            "without compression and a tar; each peer updates the same files from a directory tree.\n")
        add("- *lower bound*: appending the patch's bytes plus a table as long as the archive's to a copy of the "
            "archive and flushing it (`dd oflag=append conv=fsync`): what any in-place update must write.")
        add("- *deflating the table*: the archive's inflated table deflated by zlib at the format's level 6, "
            "timed in the benchmark's own process. The format asks for exactly this stream, so any writer of it "
            "pays this on top of the lower bound.")
        add("- `zip -0 -u`, `7z u -mx0`: both write a new archive. `tar --append`: appends the new versions and "
            "leaves the old ones in the archive.\n")
        if "deflate" in runs:
            # What a writer of this format cannot avoid: the bound's writing
            # and flushing, and deflating a new table of the archive's size.
            runs["boundDeflate"] = [dict(seconds=b["seconds"] + z["seconds"], durable=b["durable"] + z["durable"],
                                         rss_kib=None) for b, z in zip(runs["bound"], runs["deflate"])]
        rows = [("hvrupdate", "hvrupdate"), ("bound", "lower bound"),
                ("deflate", "deflating the table alone, in memory"), ("boundDeflate", "lower bound + that deflate"),
                ("zip", "zip -0 -u"), ("7z", "7z u -mx0"), ("tar", "tar --append")]
        rows = [(k, label) for k, label in rows if k in runs]
        add("| case | to disk: median (min–max) | command alone | peak memory | ratio to hvrupdate |")
        add("|---|---|---|---|---|")
        for key, label in rows:
            r = runs[key]
            memory = size(peak(r)) if peak(r) else "–"
            add(f"| {label} | {seconds(summary(durable(r)))} | {summary([x['seconds'] for x in r])['median']:.3f} s "
                f"| {memory} | {ratio_text(ratios(r, runs['hvrupdate']))} |")
        add("")
        targets.check("patch in place: hvrupdate / lower bound", ratios(runs["hvrupdate"], runs["bound"]), "≤", 2)
        if "boundDeflate" in runs:
            targets.check("patch in place: hvrupdate / (lower bound + zlib's single-threaded deflate)",
                          ratios(runs["hvrupdate"], runs["boundDeflate"]), "≤", 1)
        targets.check("patch in place: zip -u / hvrupdate", ratios(runs["zip"], runs["hvrupdate"]), "≥", 8)
        in_place = all(r["inPlace"] for r in runs["hvrupdate"])
        add(f"hvrupdate {'kept data.hvr in place in every round' if in_place else 'rebuilt data.hvr in some rounds'}.\n")
        bar_plot(out / "bench-in-place.png", f"Replacing {s['files']:,} files in a {size(d['fileSize'])} archive",
                 [label for _, label in rows], [runs[k] for k, _ in rows], "hvrupdate")
        add("![patch in place](bench-in-place.png)\n")

    # --- rebuild and conversion ----------------------------------------------
    rb = results.get("rebuild")
    if rb:
        runs = rb["runs"]
        add("## Rebuild and conversion\n")
        add(f"A patch replacing {rb['patch']['files']:,} files ({size(rb['patch']['stored'])}, "
            f"{rb['patch']['stored'] / rb['data']['stored']:.0%} of the stored bytes) leaves too little of the file "
            "live, so hvrupdate writes a new archive and replaces the old one. hvrconv converts the same content "
            "both ways: from 0x0200 to 0x0103, which rebuilds and encodes every uncoded entry; and from a 0x0103 "
            "archive of the same content to 0x0200. That direction keeps coded entries as they lie and writes a "
            "new table in place, unless dead space forces a rebuild, which decodes every coded entry: shown with "
            f"a 0x0103 archive whose data area is 30% dead bytes ({size(rb['v1Dead']['fileSize'])}) and with one "
            "without. The limit is copying the archive with `cp` and flushing the copy.\n")
        rows = [("cp", "cp + fsync of the copy"),
                ("replace", "cp + fsync, then mv over an old copy"),
                ("rebuild", "hvrupdate, 30% replaced (rebuild)"),
                ("to0103", "hvrconv 0x0200 → 0x0103 (rebuild, encodes)"),
                ("to0200", "hvrconv 0x0103 → 0x0200, 30% dead (rebuild, decodes)"),
                ("to0200table", "hvrconv 0x0103 → 0x0200, no dead space (new table only)")]
        rows = [(k, label) for k, label in rows if k in runs]
        add("| case | to disk: median (min–max) | peak memory | ratio to cp + fsync | ratio to cp, fsync, mv |")
        add("|---|---|---|---|---|")
        for key, label in rows:
            r = runs[key]
            memory = size(peak(r)) if peak(r) else "–"
            versus_replace = ratio_text(ratios(r, runs["replace"])) if "replace" in runs else "–"
            add(f"| {label} | {seconds(summary(durable(r)))} | {memory} | {ratio_text(ratios(r, runs['cp']))} "
                f"| {versus_replace} |")
        add("")
        add("A rebuilt archive replaces the old one, and the file system must then free the old file's blocks and "
            "cached pages; the second limit includes that step (`mv` over a flushed copy of the same size).\n")
        targets.check("rebuild / (cp + fsync)", ratios(runs["rebuild"], runs["cp"]), "≤", 1.5)
        targets.check("conversion 0x0200 → 0x0103 / rebuild", ratios(runs["to0103"], runs["rebuild"]), "≤", 1.5)
        targets.check("conversion 0x0103 → 0x0200 / rebuild", ratios(runs["to0200"], runs["rebuild"]), "≤", 1.5)
        bar_plot(out / "bench-rebuild.png", f"Rewriting a {size(rb['data']['fileSize'])} archive",
                 [label for _, label in rows], [runs[k] for k, _ in rows], "hvrupdate, 30% replaced (rebuild)")
        add("![rebuild and conversion](bench-rebuild.png)\n")

    # --- patch making -------------------------------------------------------------
    df = results.get("diff")
    if df:
        runs = df["runs"]
        entries = runs["hvrdiff"][0].get("entries", 0)
        add("## Making a patch\n")
        add(f"hvrdiff compares two versions of the {size(df['old']['fileSize'])} archive of "
            f"{df['old']['entries']:,} entries that differ in {entries:,} of their {df['old']['files']:,} files "
            "(a third of those with unchanged sizes, so that only their bytes tell) and writes the patch. "
            "The limit is `cmp` of the newer version against an equal copy: reading and comparing two files of "
            "this size in full, which hvrdiff has to do for every pair of entries whose sizes agree. (`cmp` of "
            "the two versions themselves stops at their first difference, in the first megabytes.)\n")
        add("| case | median (min–max) | peak memory | ratio to cmp |")
        add("|---|---|---|---|")
        for key, label in (("hvrdiff", f"hvrdiff, a patch of {entries:,} entries"),
                           ("cmp", "cmp of two equal files of this size")):
            r = runs[key]
            memory = size(peak(r)) if peak(r) else "–"
            add(f"| {label} | {seconds(summary(durable(r)))} | {memory} | {ratio_text(ratios(r, runs['cmp']))} |")
        add("")

    # --- scaling ------------------------------------------------------------------
    points = results.get("scaling")
    if points:
        by_entries = [p for p in points if p["kind"] == "entries"]
        by_share = [p for p in points if p["kind"] == "share"]
        add("## Scaling\n")
        add(f"The archive grows at about {size(config['scale_bytes_per_entry'])} per entry (so that "
            f"{config['scale_entries'][-1]:,} entries stay within the format's 4 GiB) while the patch "
            f"stays at {config['scale_patch']} replaced files; then the archive stays at "
            f"{config['entries']:,} entries while the patch grows. Each point also shows its lower bound "
            "(appending that patch's bytes and a table of the archive's size, then flushing).\n")
        add("| archive | archive size | table (file / inflated) | patch | hvrupdate | lower bound | ratio | "
            "peak memory | memory budget | in place |")
        add("|---|---|---|---|---|---|---|---|---|---|")
        for p in by_entries + by_share:
            label = f"{p['data']['entries']:,} entries" if p["kind"] == "entries" else \
                f"{p['key'] / 10:g}% replaced"
            add(f"| {label} | {size(p['data']['fileSize'])} | {size(p['data']['table'])} / "
                f"{size(p['data']['plainTable'])} | {p['patch']['files']:,} files, {size(p['patch']['stored'])} | "
                f"{seconds(summary(durable(p['runs'])))} | {summary(durable(p['bound']))['median']:.3f} s | "
                f"{ratio_text(ratios(p['runs'], p['bound']))} | {size(peak(p['runs']))} | {size(p['budget'])} | "
                f"{'yes' if all(r['inPlace'] for r in p['runs']) else 'no'} |")
        add("")
        scaling_plot(out / "bench-scaling-archive.png", by_entries, lambda p: p["data"]["entries"],
                     "entries in the archive", f"A patch of {config['scale_patch']} files into a growing archive")
        scaling_plot(out / "bench-scaling-patch.png", by_share, lambda p: p["patch"]["stored"] / MiB,
                     "patch bytes (MiB)", f"A growing patch into a {config['entries']:,}-entry archive")
        largest = by_entries[-1]
        median = summary(durable(largest["runs"]))["median"]
        targets.rows.append((f"patch in place, {largest['data']['entries']:,} entries",
                             seconds(summary(durable(largest["runs"]))), "< 0.8 s",
                             "yes" if median < 0.8 else "**no**"))
        first, last = by_entries[0], by_entries[-1]
        grow_bytes = last["data"]["fileSize"] / first["data"]["fileSize"]
        grow_table = last["data"]["plainTable"] / first["data"]["plainTable"]
        grow_time = summary(durable(last["runs"]))["median"] / summary(durable(first["runs"]))["median"]
        add(f"From {first['data']['entries']:,} to {last['data']['entries']:,} entries the archive grows "
            f"{grow_bytes:.0f}-fold in bytes and its table {grow_table:.0f}-fold, while the in-place patch's time "
            f"grows {grow_time:.1f}-fold: it does not read or move the archive's data, and what grows with the "
            "archive is the work on its table (reading and inflating it, then deflating and writing the new one). "
            "With the archive fixed, the time follows the patch's bytes.\n")
        add("![scaling with the archive](bench-scaling-archive.png)\n")
        add("![scaling with the patch](bench-scaling-patch.png)\n")

    # --- name matching and micro-benchmarks -----------------------------------
    micro = results.get("micro")
    if micro:
        match = micro_rows(micro["match_bench"])
        add("## Name matching\n")
        add("Matching every patch name against the archive's names, letter case ignored (`match_bench`, lists built "
            "in memory):\n")
        add("| case | median time |")
        add("|---|---|")
        for name, row in sorted(match.items()):
            add(f"| {name} | {row['seconds'] * 1000:.1f} ms |")
        full = match.get("BM_ApplyPatchList/patch:20000/data:400000")
        if full:
            met = full["seconds"] < 0.2
            targets.rows.append(("name matching, 20,000 against 400,000 names", f"{full['seconds'] * 1000:.1f} ms",
                                 "< 200 ms", "yes" if met else "**no**"))
        add("")

    # --- memory ---------------------------------------------------------------
    memory_rows = []
    if ip:
        memory_rows.append(("hvrupdate, patch in place", peak(ip["runs"]["hvrupdate"]), ip["budget"]))
    if rb:
        for key, label in (("rebuild", "hvrupdate, rebuild"), ("to0103", "hvrconv → 0x0103"),
                           ("to0200", "hvrconv → 0x0200, rebuild"), ("to0200table", "hvrconv → 0x0200, new table")):
            if key in rb["runs"]:
                memory_rows.append((label, peak(rb["runs"][key]), rb["budgets"][key]))
    if df:
        memory_rows.append(("hvrdiff, two versions", peak(df["runs"]["hvrdiff"]), df["budget"]))
    if points:
        for p in points:
            label = f"hvrupdate, {p['data']['entries']:,} entries" if p["kind"] == "entries" else \
                f"hvrupdate, {p['key'] / 10:g}% replaced"
            memory_rows.append((label, peak(p["runs"]), p["budget"]))
    if memory_rows:
        add("## Peak memory\n")
        add("Budget of a run: the inflated tables it holds (the archive's, and the patch's for hvrupdate; both "
            "versions' for hvrdiff) + the largest entry + 64 MiB.\n")
        add("| program run | peak memory | budget | within |")
        add("|---|---|---|---|")
        within_all = True
        for label, used, budget in memory_rows:
            within = used <= budget
            within_all &= within
            add(f"| {label} | {size(used)} | {size(budget)} | {'yes' if within else '**no**'} |")
        add("")
        targets.rows.append(("peak memory of every program run ≤ budget",
                             f"{max(u / b for _, u, b in memory_rows):.0%} of its budget at most", "≤ 100%",
                             "yes" if within_all else "**no**"))

    if micro:
        add("## Micro-benchmarks\n")
        cipher = micro_rows(micro["cipher_bench"])
        add("Cipher kernels against `memcpy` of the same buffer (`cipher_bench`):\n")
        add("| benchmark | throughput | ratio to memcpy |")
        add("|---|---|---|")
        for name, row in sorted(cipher.items()):
            # Cycle 0 codes only an entry's first 160 bytes: no throughput.
            if not row["bytes_per_second"] or "cycle:0" in name:
                continue
            length = name.split("bytes:")[1].split("/")[0]
            base = cipher.get(f"BM_Memcpy/bytes:{length}")
            ratio = row["bytes_per_second"] / base["bytes_per_second"] if base else float("nan")
            add(f"| {name} | {row['bytes_per_second'] / 1e9:.2f} GB/s | {ratio:.2f} |")
        add("")
        packer = micro.get("exact_deflate_bench")
        if packer:
            add("The table packer against zlib's deflate at level 6 (`exact_deflate_bench`): the plain 0x02xx "
                "table of an hvrgen archive, deflated to the same bytes. Best of seven runs each, interleaved; "
                "*1 core* is what a one-core machine runs (zlib itself), *own, 1 thread* the parallel path forced "
                "onto one thread.\n")
            add("| table | plain size | zlib | 1 core | 2 threads | all cores | own, 1 thread | ratio, 2 threads |")
            add("|---|---|---|---|---|---|---|---|")
            # One row per table: the median over repetitions when there were
            # several, else the one run.
            chosen = {}
            for b in packer:
                if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                    continue
                name = b.get("run_name", b["name"])
                if b.get("run_type") == "aggregate" or name not in chosen:
                    chosen[name] = b
            for name, b in chosen.items():
                entries = name.split("/")[1]
                add(f"| {int(entries):,} entries | {b['plain_MB']:.1f} MB | {b['zlib_ms']:.1f} ms | {b['t1_ms']:.1f} ms "
                    f"| {b['t2_ms']:.1f} ms | {b['all_ms']:.1f} ms | {b['own1_ms']:.1f} ms | {b['t2_ratio']:.2f}× |")
                if b["plain_MB"] > 10:
                    met = b["t2_ratio"] >= 1.7
                    targets.rows.append((f"table packer, {b['plain_MB']:.0f} MB table, 2 threads / zlib",
                                         f"{b['t2_ratio']:.2f}×", "≥ 1.7×", "yes" if met else "**no**"))
            add("")
        add("Opening and writing tables (`open_bench`, `table_bench`):\n")
        add("| benchmark | median time |")
        add("|---|---|")
        for bench in ("open_bench", "table_bench"):
            for name, row in sorted(micro_rows(micro[bench]).items()):
                add(f"| {name} | {row['seconds'] * 1000:.1f} ms |")
        add("")

    # --- profile ----------------------------------------------------------------
    profile = results.get("profile")
    # "profile" also names the data set (full, quick); only perf's results
    # are a table of runs.
    if isinstance(profile, dict):
        add("## Where the time goes\n")
        if "error" in profile:
            add(f"No profile: {profile['error']}\n")
        else:
            add("`perf record --call-graph dwarf` of one hvrupdate run of each case: the share of the samples "
                "(time on a processor; waiting for the disk is not sampled) spent in a function and what it "
                "calls, and in the function itself.\n")
            wanted = ["patchWorker", "openArchive", "applyPatchList", "compactInPlace", "rebuildArchive",
                      "EntryCopier::transfer", "EntryCopier::flush", "posixCopyAt", "writeTable", "deflate", "inflate",
                      "RollbackJournal::begin", "posixReadAt", "posixWriteAt", "calloc", "exc_page_fault", "__memmove",
                      "__memcpy"]
            titles = {"inPlace": "Patch in place", "rebuild": "Patch that rebuilds"}
            for name, rows in profile["runs"].items():
                add(f"{titles.get(name, name)}:\n")
                add("| function | with callees | itself |")
                add("|---|---|---|")
                shown = set()
                for row in rows:
                    # Template arguments and namespaces say nothing here.
                    symbol = re.sub(r"<.*", "", row["symbol"]).replace("(anonymous namespace)::", "")
                    symbol = symbol.replace(" (inlined)", "").strip()
                    if any(w in symbol for w in wanted) and symbol not in shown and row["children"] >= 1:
                        shown.add(symbol)
                        add(f"| `{symbol}` | {row['children']:.1f}% | {row['self']:.1f}% |")
                add("")

    add("## Targets\n")
    add(targets.table())
    add("")
    notes = Path(__file__).with_name("notes.md")
    if notes.exists():
        add(notes.read_text())
    (out / "BENCHMARKS.md").write_text("\n".join(text))
