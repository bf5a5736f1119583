#!/usr/bin/env python3
"""Where the instructions of a run go: sums callgrind's per-function (self)
counts into a few parts of the program, for the output files of
bench/callgrind.sh.  Usage: bench/callgrind_split.py BEFORE_DIR AFTER_DIR NAME...
(prints one markdown table per run name)."""
import re
import subprocess
import sys

PARTS = [
    ("libm (log, pow, exp)", r"e_log|w_log|e_pow|w_pow|e_exp|w_exp|math_config|log1p"),
    ("minimiser (frprmn, dlinmin, mnbrak, dbrent, line restriction)",
     r"dbrent|mnbrak|dlinmin|frprmn|Frprmn|LineRestriction|minimize"),
    ("free energy and gradient (feasibility test included)",
     r"FreeCalc|DerCalc|FreeDerCalc|Check|pieces|terms|free_energy|gradient|feasible|fak|Ligand|Visit|objective"),
    ("formatted output", r"printf|_IO_|mpn_|hack_digit|fileops|libio|stdio"),
    ("program start (dynamic linking)", r"/elf/|dl-|ld-linux|_dl_"),
]
OTHER = "other (Hessian, LU, tasks, simplex, libc)"


def split(path):
    out = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", path],
                         capture_output=True, text=True, check=True).stdout
    total, parts, started = 0, {}, False
    for line in out.splitlines():
        if "PROGRAM TOTALS" in line:
            total = int(line.split()[0].replace(",", ""))
        elif "file:function" in line:
            started = True
        elif started:
            m = re.match(r"\s*([\d,]+) \([ \d.]+%\)\s+(.*)", line)
            if not m:
                continue
            count, name = int(m.group(1).replace(",", "")), m.group(2)
            part = next((p for p, rx in PARTS if re.search(rx, name)), OTHER)
            parts[part] = parts.get(part, 0) + count
    return total, parts


def main():
    before_dir, after_dir, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    for name in names:
        tb, pb = split(f"{before_dir}/callgrind.out.{name}")
        ta, pa = split(f"{after_dir}/callgrind.out.{name}")
        print(f"\n{name}: {tb:,} -> {ta:,} instructions ({tb / ta:.2f}x)\n")
        print("| part | before | after |")
        print("|---|---:|---:|")
        for part in sorted(set(pb) | set(pa), key=lambda p: -pa.get(p, 0)):
            b, a = pb.get(part, 0), pa.get(part, 0)
            print(f"| {part} | {b:,} ({100 * b / tb:.0f}%) | {a:,} ({100 * a / ta:.0f}%) |")


if __name__ == "__main__":
    main()
