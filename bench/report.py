#!/usr/bin/env python3
"""Turns the benchmark's raw measurements into the results table (Markdown, also printed) and
the throughput chart (SVG, drawn by hand: no libraries)."""

import argparse
import csv
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

OURS = "cabmgr"
LZX = "cabmgr-lzx21"
LZX_THOROUGH = "cabmgr-lzx21-thorough"
TREES = ("mixed", "small", "system")
TREE_TITLES = {"mixed": "mixed tree", "small": "small files", "system": "system files"}
PACKERS = ("cabmgr", "cabmgr-mszip1", "cabmgr-mszip6", "cabmgr-mszip9", LZX, LZX_THOROUGH, "gcab",
           "tar-pigz", "tar-xz")
UNPACKERS = ("cabmgr", "gcab", "cabextract", "7zip", "bsdtar")
LZX_UNPACKERS = ("cabmgr", "cabextract", "7zip")
PHASES = (("pack", PACKERS), ("unpack", UNPACKERS), ("unpack-lzx", LZX_UNPACKERS))
TOOL_TITLES = {"cabmgr": "cabmgr (mszip:4)", "cabmgr-mszip1": "cabmgr -m mszip:1",
               "cabmgr-mszip6": "cabmgr -m mszip:6", "cabmgr-mszip9": "cabmgr -m mszip:9",
               LZX: "cabmgr -m lzx:21", LZX_THOROUGH: "cabmgr -m lzx:21:thorough",
               "tar-pigz": "tar \\| pigz -6", "tar-xz": "tar \\| xz -6"}
PHASE_TITLES = {"pack": "pack", "unpack": "unpack", "unpack-lzx": "unpack LZX"}
MSZIP_LEVELS = ("MSZIP levels: 1 is ISA-L's deflate primed with the 32 KiB history; 2 to 9 are "
                "cabmgr's own deflater over the history and the block, greedy (2 to 4), lazy "
                "(5 to 7) or two-step lazy (8, 9), with hash chains of 2, 4, 8, 16, 32, 64, 64 "
                "and 96 entries; 2 to 6 step over stretches where nothing matches. 9 is the "
                "best size for its time: deeper chains cost more time than they save in size. The default is 4; N = 1, 6 and 9 are measured.")
COMMANDS = {
    ("pack", "cabmgr"): "cabmgr c TREE out.cab",
    ("pack", "cabmgr-mszip1"): "cabmgr -m mszip:N c TREE out.cab",
    ("pack", LZX): "cabmgr -m lzx:21 c TREE out.cab",
    ("pack", LZX_THOROUGH): "cabmgr -m lzx:21:thorough c TREE out.cab",
    ("pack", "gcab"): "gcab -c -z out.cab FILES...",
    ("pack", "tar-pigz"): "tar -cf - -C TREE . | pigz -p 2 -6",
    ("pack", "tar-xz"): "tar -cf - -C TREE . | xz -6",
    ("unpack", "cabmgr"): "cabmgr d in.cab DEST",
    ("unpack", "gcab"): "gcab -x -C DEST in.cab",
    ("unpack", "cabextract"): "cabextract -q -d DEST in.cab",
    ("unpack", "7zip"): "7zz x -oDEST -y in.cab",
    ("unpack", "bsdtar"): "bsdtar -xf in.cab -C DEST",
}
MEMORY_BEGIN = "<!-- memory check: begin -->"
MEMORY_END = "<!-- memory check: end -->"
MIB = 1024 * 1024


def load_raw(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def summarize(rows):
    """Median wall, CPU and memory per (phase, tree, tool), over the runs whose output was right."""
    groups = {}
    for r in rows:
        groups.setdefault((r["phase"], r["tree"], r["tool"]), []).append(r)
    out = {}
    for key, runs in groups.items():
        good = [r for r in runs if r["ok"] == "1"]
        use = good or runs
        out[key] = {
            "wall": statistics.median(float(r["wall"]) for r in use),
            "cpu": statistics.median(float(r["user"]) + float(r["sys"]) for r in use),
            "rss": max(int(r["rss_kb"]) for r in use) * 1024,
            "size": statistics.median(int(r["size"]) for r in use),
            "runs": len(runs),
            "failed": len(runs) - len(good),
        }
    return out


def ratio(theirs, ours):
    if not theirs or not ours or ours <= 0:
        return None
    return theirs / ours


def fmt_ratio(x):
    return "n/a" if x is None else f"{x:.2f}"


def fmt_mb(n):
    return f"{n / 1e6:.1f}"


def command_output(cmd):
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
        return (p.stdout + p.stderr).strip()
    except (OSError, subprocess.SubprocessError):
        return ""


def machine():
    info = {"nproc": str(os.cpu_count())}
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            info["cpu"] = m.group(1).strip() if m else platform.processor()
    except OSError:
        info["cpu"] = platform.processor() or "unknown"
    try:
        with open("/proc/meminfo") as f:
            kb = int(re.search(r"MemTotal:\s*(\d+)", f.read()).group(1))
            info["memory"] = f"{kb / 1024 / 1024:.1f} GiB"
    except (OSError, AttributeError):
        info["memory"] = "unknown"
    info["kernel"] = f"{platform.system()} {platform.release()}"
    try:
        with open("/etc/os-release") as f:
            m = re.search(r'^PRETTY_NAME="?([^"\n]+)', f.read(), re.M)
            info["system"] = m.group(1) if m else "unknown"
    except OSError:
        info["system"] = "unknown"
    return info


def tool_versions():
    first = lambda s: s.splitlines()[0] if s else "not installed"
    sevenzip = os.environ.get("BENCH_SEVENZIP") or "7zz"
    seven = command_output([sevenzip])
    seven = next((l for l in seven.splitlines() if "7-Zip" in l), "")
    return {
        "cabmgr": f"commit {os.environ.get('BENCH_COMMIT', 'unknown')}, "
                  f"{os.environ.get('BENCH_BUILD_TYPE', 'unknown')} build",
        "gcab": first(command_output(["gcab", "--version"])),
        "cabextract": first(command_output(["cabextract", "--version"])),
        "7zip": seven.split(":")[0].strip() or "not installed",
        "bsdtar": first(command_output(["bsdtar", "--version"])),
        "pigz": first(command_output(["pigz", "--version"])),
        "tar": first(command_output(["tar", "--version"])),
        "strace": first(command_output(["strace", "--version"])),
    }


def parse_strace(path):
    """Total calls and the count of each system call from an `strace -c` summary."""
    calls = {}
    total = None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 5 or not re.match(r"^[\d.]+$", fields[0]):
                continue
            name = fields[-1]
            count = int(fields[3])
            if name == "total":
                total = count
            else:
                calls[name] = count
    if total is None:
        total = sum(calls.values())
    return total, calls


def section_results(summary, corpus, reps):
    lines = []
    lines.append(f"Medians of {reps} run(s) per cell (`tar | xz` runs once: it is there for its "
                 "size), tools taking turns. *Time x* is the row's wall time over cabmgr's at its "
                 "default (above 1: cabmgr's default is faster); *CPU x*, *memory x* and *size x* "
                 "likewise. Throughput is the tree's size over wall time. *unpack* reads the "
                 "cabinet cabmgr wrote at its default, *unpack LZX* the one it wrote with "
                 "`-m lzx:21`, and their ratios are against `cabmgr d` of the same cabinet.")
    lines.append("")
    lines.append("| operation | tree | tool | wall s | CPU s | peak MiB | output MB | MB/s "
                 "| time x | CPU x | memory x | size x |")
    lines.append("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for phase, tools in PHASES:
        for tree in TREES:
            ours = summary.get((phase, tree, OURS))
            nbytes = corpus.get(tree, {}).get("bytes", 0)
            for tool in tools:
                s = summary.get((phase, tree, tool))
                if not s:
                    continue
                mbs = nbytes / 1e6 / s["wall"] if s["wall"] > 0 else 0
                size = fmt_mb(s["size"]) if phase == "pack" else ""
                size_x = ""
                if phase == "pack" and ours:
                    size_x = fmt_ratio(ratio(s["size"], ours["size"]))
                note = f" ({s['failed']} failed)" if s["failed"] else ""
                lines.append(
                    f"| {PHASE_TITLES[phase]} | {TREE_TITLES[tree]} "
                    f"| {TOOL_TITLES.get(tool, tool) if phase == 'pack' else tool}{note} "
                    f"| {s['wall']:.3f} "
                    f"| {s['cpu']:.2f} | {s['rss'] / MIB:.1f} | {size} | {mbs:.1f} "
                    f"| {fmt_ratio(ratio(s['wall'], ours['wall'])) if ours else 'n/a'} "
                    f"| {fmt_ratio(ratio(s['cpu'], ours['cpu'])) if ours else 'n/a'} "
                    f"| {fmt_ratio(ratio(s['rss'], ours['rss'])) if ours else 'n/a'} "
                    f"| {size_x} |")
    return lines


RECORD_BYTES = 520  # the manager keeps one record of about this size per file, by design


def section_targets(summary):
    def get(phase, tree, tool):
        return summary.get((phase, tree, tool))

    rows = []

    def add(name, value, goal, met):
        rows.append(f"| {name} | {value} | {goal} | {'met' if met else 'missed'} |")

    def faster(name, theirs, ours, goal):
        if theirs and ours:
            r = theirs["wall"] / ours["wall"]
            add(name, f"{r:.2f}x", f">= {goal:g}x", r >= goal)

    def size_vs(name, ours, theirs, goal, limit):
        if ours and theirs:
            r = ours["size"] / theirs["size"]
            add(name, f"{fmt_mb(ours['size'])} MB vs {fmt_mb(theirs['size'])} MB ({r:.2f})", goal,
                r <= limit)

    for tree in TREES:
        title = f"packing the {TREE_TITLES[tree]}"
        ours, gcab = get("pack", tree, OURS), get("pack", tree, "gcab")
        faster(f"{title}: throughput over gcab's", gcab, ours, 4)
        faster(f"{title}: throughput over tar \\| pigz's", get("pack", tree, "tar-pigz"), ours, 1.8)
        size_vs(f"{title}: cabinet size vs gcab's", ours, gcab, "<= gcab's", 1.0)
        size_vs(f"{title} at mszip:9: size vs gcab's", get("pack", tree, "cabmgr-mszip9"), gcab,
                "< gcab's", 0.9999)
    for tree in TREES:
        ours = get("unpack", tree, OURS)
        peers = [(get("unpack", tree, t), t) for t in UNPACKERS if t != OURS]
        peers = [(s["wall"], t, s) for s, t in peers if s]
        if ours and peers:
            _, name, best = min(peers)
            faster(f"unpacking the {TREE_TITLES[tree]}: throughput over the fastest peer ({name})",
                   best, ours, 2)
    for tree in TREES:
        title = f"LZX, the {TREE_TITLES[tree]}"
        lzx = get("pack", tree, LZX)
        limit = 0.85 if tree == "mixed" else 0.8
        for tool, how in ((LZX, ""), (LZX_THOROUGH, " (thorough)")):
            size_vs(f"{title}: size{how} vs MSZIP's", get("pack", tree, tool),
                    get("pack", tree, OURS), f"<= {limit}", limit)
            size_vs(f"{title}: size{how} vs tar \\| xz -6", get("pack", tree, tool),
                    get("pack", tree, "tar-xz"), "<= 1.2", 1.2)
        faster(f"{title}: packing throughput over gcab's (MSZIP)", get("pack", tree, "gcab"), lzx, 1)
        faster(f"{title}: reading, cabmgr d over cabextract", get("unpack-lzx", tree, "cabextract"),
               get("unpack-lzx", tree, OURS), 2)
    peaks = [(s["rss"], f"{ph} {tree}") for (ph, tree, tool), s in summary.items()
             if tool == OURS and ph in ("pack", "unpack")]
    if peaks:
        peak, where = max(peaks)
        add("peak memory of cabmgr, MSZIP", f"{peak / MIB:.1f} MiB ({where})", "< 64 MiB",
            peak < 64 * MIB)
    lzx_peaks = [(s["rss"], f"{ph} {tree}") for (ph, tree, tool), s in summary.items()
                 if (ph, tool) in (("pack", LZX), ("pack", LZX_THOROUGH), ("unpack-lzx", OURS))]
    if lzx_peaks:
        peak, where = max(lzx_peaks)
        add("peak memory of cabmgr, LZX", f"{peak / MIB:.1f} MiB ({where})", "< 256 MiB",
            peak < 256 * MIB)
    if not rows:
        return []
    return ["| target | measured | goal | |", "|---|---|---|---|"] + rows


def section_syscalls(strace_dir, corpus):
    lines = []
    for tree in TREES:
        files = corpus.get(tree, {}).get("files", 0)
        for tool in UNPACKERS:
            path = os.path.join(strace_dir, f"strace.{tree}.{tool}")
            if not os.path.exists(path) or not files:
                continue
            total, calls = parse_strace(path)
            top = sorted(calls.items(), key=lambda kv: (-kv[1], kv[0]))[:6]
            top_s = ", ".join(f"{name} {count / files:.2f}" for name, count in top)
            lines.append(f"| {TREE_TITLES[tree]} | {tool} | {total} | {total / files:.2f} "
                         f"| {top_s} |")
    if not lines:
        return []
    return ["| tree | tool | system calls | per file | most frequent (per file) |",
            "|---|---|---:|---:|---|"] + lines


def section_memory(memory_rows, corpus):
    big, many = corpus.get("big", {}), corpus.get("many", {})
    lines = [MEMORY_BEGIN, "## Peak memory", ""]
    lines.append(f"`bash bench/run.sh --memory-check` on {time.strftime('%Y-%m-%d')}: a tree "
                 f"of {big.get('files', '?')} files, {big.get('bytes', 0) / MIB:.0f} MiB "
                 f"(six of text, two incompressible), and {many.get('files', '?')} files of 16 to "
                 f"512 bytes ({many.get('bytes', 0) / MIB:.0f} MiB), more than one cabinet holds. "
                 f"The manager keeps a record of about {RECORD_BYTES} bytes for each file, by "
                 "design; that share is shown beside the peak and taken off it for the target.")
    lines.append("")
    lines.append("| command | wall s | CPU s | peak RSS MiB | file records MiB | peak less records "
                 "MiB | output | check |")
    lines.append("|---|---:|---:|---:|---:|---:|---|---|")
    worst = 0.0
    for r in memory_rows:
        cpu = float(r["user"]) + float(r["sys"])
        packing = r["tool"] == "cabmgr-c"
        tree = r["tree"]
        files = corpus.get(tree, {}).get("files", 0)
        records = files * RECORD_BYTES / MIB if tree == "many" else 0.0
        peak = int(r["rss_kb"]) / 1024
        worst = max(worst, peak - records)
        what = f"{int(r['size']) / MIB:.0f} MiB of cabinets" if packing else "tree"
        cmd = f"cabmgr c {tree}/ {tree}.cab" if packing else f"cabmgr d {tree}.cab dest/"
        lines.append(f"| `{cmd}` | {float(r['wall']):.1f} | {cpu:.1f} | {peak:.1f} "
                     f"| {records:.1f} | {peak - records:.1f} | {what} "
                     f"| {'right' if r['ok'] == '1' else 'WRONG'} |")
    if memory_rows:
        lines += ["", f"Largest peak, less the file records: {worst:.1f} MiB; target under 64 MiB: "
                  f"{'met' if worst < 64 else 'missed'}."]
    lines.append(MEMORY_END)
    return lines


def old_memory_block(md_path):
    try:
        with open(md_path) as f:
            text = f.read()
    except OSError:
        return None, ""
    m = re.search(re.escape(MEMORY_BEGIN) + r".*?" + re.escape(MEMORY_END), text, re.S)
    return (m.group(0) if m else None), text


def svg_chart(summary, corpus, path, subtitle):
    """Horizontal bars of throughput, one group per operation and tree, cabmgr in its own colour."""
    groups = []
    for phase, tools in PHASES:
        for tree in TREES:
            nbytes = corpus.get(tree, {}).get("bytes", 0)
            bars = []
            for tool in tools:
                s = summary.get((phase, tree, tool))
                if s and s["wall"] > 0 and nbytes:
                    label = re.sub(r"^cabmgr-([a-z]+)(\d+)$", r"cabmgr \1:\2", tool)
                    bars.append((label, nbytes / 1e6 / s["wall"]))
            if bars:
                groups.append((f"{PHASE_TITLES[phase]}, the {TREE_TITLES[tree]}", bars))
    if not groups:
        return
    bar_h, gap, left, width, right = 18, 26, 130, 760, 90
    top = 62
    height = top + sum(len(b) * bar_h + gap + 16 for _, b in groups) + 10
    plot_w = width - left - right
    esc = lambda s: s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15" font-weight="bold">'
           'Throughput, MB of input per second (higher is better)</text>',
           f'<text x="{width / 2}" y="40" text-anchor="middle" fill="#495057">{esc(subtitle)}</text>']
    y = top
    for title, bars in groups:
        scale = max(v for _, v in bars)
        out.append(f'<text x="10" y="{y + 10}" font-weight="bold">{esc(title)}</text>')
        y += 16
        for tool, v in bars:
            w = max(1.0, plot_w * v / scale)
            colour = "#d9480f" if tool.startswith(OURS) else "#868e96"
            out.append(f'<text x="{left - 8}" y="{y + bar_h - 5}" text-anchor="end">{esc(tool)}</text>')
            out.append(f'<rect x="{left}" y="{y + 2}" width="{w:.1f}" height="{bar_h - 4}" fill="{colour}"/>')
            out.append(f'<text x="{left + w + 6:.1f}" y="{y + bar_h - 5}">{v:.1f}</text>')
            y += bar_h
        y += gap
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mode", choices=("full", "quick", "memory"), required=True)
    ap.add_argument("--raw", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--strace-dir", required=True)
    ap.add_argument("--workdir", required=True, help="where the run took place, in words")
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--md", required=True)
    ap.add_argument("--svg", required=True)
    args = ap.parse_args()

    rows = load_raw(args.raw)
    with open(args.corpus) as f:
        corpus = json.load(f)
    old_block, old_text = old_memory_block(args.md)
    memory_rows = [r for r in rows if r["phase"] == "memcheck"]

    if args.mode == "memory":
        block = "\n".join(section_memory(memory_rows, corpus))
        print(block)
        if old_block:
            text = old_text.replace(old_block, block)
        else:
            text = (old_text.rstrip("\n") + "\n\n" if old_text else "# Benchmark results\n\n") + block + "\n"
        with open(args.md, "w") as f:
            f.write(text)
        return

    summary = summarize(rows)
    m = machine()
    versions = tool_versions()
    md = ["# Benchmark results", ""]
    md.append(f"Made by `bash bench/run.sh{' --quick' if args.mode == 'quick' else ''}` on "
              f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, working in {args.workdir}.")
    md.append("")
    md.append("## Machine")
    md.append("")
    md.append(f"- {m['nproc']} cores, {m['cpu']}, {m['memory']} of memory")
    md.append(f"- {m['kernel']}, {m['system']}")
    md.append(f"- load average (1, 5, 15 min): {os.environ.get('BENCH_LOAD', 'unknown')}; other "
              "work on the machine slows wall times, CPU times much less")
    for tool, v in versions.items():
        md.append(f"- {tool}: {v}")
    md.append("")
    md.append("## Inputs")
    md.append("")
    for tree in TREES:
        c = corpus.get(tree)
        if c:
            extra = ""
            libs = c.get("libraries")
            if libs:
                extra = (f"; {libs['count']} shared libraries ({libs['bytes'] / 1e6:.1f} MB) "
                         f"copied from {libs['from']} in sorted order")
                if libs.get("generated_bytes"):
                    extra += f", {libs['generated_bytes'] / 1e6:.1f} MB binary-like data generated"
            for src in c.get("sources", []):
                extra += (f"; {src['count']} files ({src['bytes'] / 1e6:.1f} MB) of {src['from']}")
            if c.get("sources"):
                extra += ", each walked in sorted order"
            md.append(f"- {TREE_TITLES[tree]}: {c['files']} files, {c['bytes'] / 1e6:.1f} MB{extra}")
    md.append("")
    md.append("Commands: " + "; ".join(f"`{c}`" for c in COMMANDS.values()) + ".")
    md.append("")
    md.append(MSZIP_LEVELS)
    md.append("")
    md.append("## Results")
    md.append("")
    md += section_results(summary, corpus, args.reps)
    targets = section_targets(summary)
    if targets:
        md += ["", "## Targets", ""] + targets
    sys_lines = section_syscalls(args.strace_dir, corpus)
    if sys_lines:
        md += ["", "## System calls per extracted file", "",
               "One unpacking of the same cabinet under `strace -c -f`; all calls of the "
               "process, start-up included, over the number of files in the tree.", ""]
        md += sys_lines
    md.append("")
    md.append(f"![throughput per tool]({os.path.relpath(args.svg, os.path.dirname(args.md))})")
    if args.mode == "full" and old_block:
        md += ["", old_block]
    text = "\n".join(md) + "\n"
    with open(args.md, "w") as f:
        f.write(text)
    where = "memory file system" if "memory file system" in args.workdir else "disk"
    svg_chart(summary, corpus, args.svg,
              f"{m['nproc']} cores, {m['cpu']}; median of {args.reps} run(s), {where}")
    print(text)


if __name__ == "__main__":
    main()
