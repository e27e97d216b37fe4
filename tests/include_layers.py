#!/usr/bin/env python3
"""Checks that the project's includes run one way.

programs -> jobs -> archive -> platform, and jobs -> shell -> platform; tools
stand on the archive core. Neither job includes the other: what both need
lives in jobs/common. Tests, benchmarks and fuzzers may reach anything.
Prints each include that breaks the order and exits 1 when there is one.
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Which top-level folders each folder's code may include from.
ALLOWED = {
    "platform": {"platform"},
    "archive": {"archive", "platform"},
    "shell": {"shell", "platform"},
    "jobs": {"jobs", "archive", "shell", "platform"},
    "programs": {"programs", "jobs", "shell", "archive", "platform"},
    "tools": {"tools", "archive", "platform"},
}

# Within jobs/: the files of one job never include the other job.
JOB_OF = {
    "patch_job": "patch", "apply_patch_list": "patch",
    "convert_job": "convert",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def job_of(path: Path):
    return JOB_OF.get(path.stem)


def main() -> int:
    problems = []
    checked = 0
    for folder, allowed in ALLOWED.items():
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp") or path.stem.endswith("_test"):
                continue
            checked += 1
            for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
                top = included.split("/", 1)[0]
                if "/" in included and top not in allowed:
                    problems.append(f"{path.relative_to(ROOT)} includes {included}")
                mine, theirs = job_of(path), job_of(Path(included))
                if folder == "jobs" and top == "jobs" and mine and theirs and mine != theirs:
                    problems.append(f"{path.relative_to(ROOT)} includes the other job's {included}")
    for problem in problems:
        print(problem)
    print(f"{checked} files, {len(problems)} includes against the order")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
