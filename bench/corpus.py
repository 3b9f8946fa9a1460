#!/usr/bin/env python3
"""Writes the benchmark's input trees: the same bytes on every run of the same machine.

  mixed/   source text, documentation, shared libraries, one large log, one incompressible file
  small/   many files of 1 to 4 KiB in nested folders
  system/  binaries, documentation and C++ headers copied from the system
  big/     about 2 GiB for the peak-memory check (only with --big)
  many/    --many tiny files, for the memory the file records take (only with --many)

Everything but the system's files comes from fixed random streams; those are copied in sorted
order, so a machine with the same packages gets the same tree. A stamp file records what was generated, and a tree whose stamp matches is kept.
"""

import argparse
import json
import os
import random
import shutil
import sys

FORMAT_VERSION = 4

# Sizes per scale. "full" is the measured run, "quick" the short mode of the test command.
SCALES = {
    "full": dict(src_bytes=46_000_000, src_files=4600, doc_bytes=22_000_000, doc_files=1600,
                 lib_bytes=52_000_000, log_bytes=50_000_000, blob_bytes=30_000_000,
                 small_files=20_000,
                 system=(("lib", "/usr/lib/x86_64-linux-gnu", 55_000_000),
                         ("doc", "/usr/share/doc", 30_000_000),
                         ("include", "/usr/include/c++", 15_000_000))),
    "quick": dict(src_bytes=1_500_000, src_files=150, doc_bytes=600_000, doc_files=50,
                  lib_bytes=1_200_000, log_bytes=1_000_000, blob_bytes=600_000,
                  small_files=300,
                  system=(("lib", "/usr/lib/x86_64-linux-gnu", 2_000_000),
                          ("doc", "/usr/share/doc", 600_000),
                          ("include", "/usr/include/c++", 1_000_000))),
}

LIB_DIRS = ["/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib"]


class Text:
    """Word-based text with a Zipf-like word frequency, so it compresses like real text."""

    def __init__(self, rng):
        self.rng = rng
        consonants = "bcdfghklmnprstvwz"
        vowels = "aeiou"
        vocab = set()
        while len(vocab) < 6000:
            n = rng.choice((1, 2, 2, 3, 3, 4))
            vocab.add("".join(rng.choice(consonants) + rng.choice(vowels) for _ in range(n)))
        self.vocab = sorted(vocab)
        rng.shuffle(self.vocab)
        total = 0.0
        self.cum = []
        for i in range(len(self.vocab)):
            total += 1.0 / (i + 1)
            self.cum.append(total)

    def words(self, n):
        return self.rng.choices(self.vocab, cum_weights=self.cum, k=n)

    def ident(self):
        w = self.words(self.rng.choice((1, 2, 2, 3)))
        return "_".join(w)

    def prose(self, nbytes, width=12):
        out = []
        size = 0
        while size < nbytes:
            ws = self.words(max(64, (nbytes - size) // 6 + 1))
            for i in range(0, len(ws), width):
                line = " ".join(ws[i:i + width])
                line = line[:1].upper() + line[1:] + "."
                out.append(line)
                size += len(line) + 1
                if size >= nbytes:
                    break
        return ("\n".join(out) + "\n").encode()

    def source(self, nbytes, lang):
        rng = self.rng
        comment = "#" if lang == "py" else "//"
        lines = []
        size = 0
        while size < nbytes:
            name = self.ident()
            args = ", ".join(
                ("int " if lang != "py" else "") + self.ident() for _ in range(rng.randint(0, 3)))
            block = [f"{comment} {' '.join(self.words(rng.randint(4, 14)))}"]
            if lang == "py":
                block.append(f"def {name}({args}):")
                for _ in range(rng.randint(2, 12)):
                    block.append(f"    {self.ident()} = {self.ident()}({rng.randint(0, 4096)})")
                block.append(f"    return {self.ident()}")
            else:
                block.append(f"static int {name}({args})")
                block.append("{")
                for _ in range(rng.randint(2, 12)):
                    kind = rng.randint(0, 3)
                    a, b = self.ident(), self.ident()
                    if kind == 0:
                        block.append(f"    int {a} = {b} + {rng.randint(0, 255)};")
                    elif kind == 1:
                        block.append(f"    if ({a} != {b}) {{\n        return -{rng.randint(1, 99)};\n    }}")
                    elif kind == 2:
                        block.append(f"    for (int i = 0; i < {a}; ++i) {{\n        {b}[i] = {self.ident()}(i);\n    }}")
                    else:
                        block.append(f"    {a}({b}, \"{' '.join(self.words(3))}\");")
                block.append(f"    return {self.ident()};")
                block.append("}")
            block.append("")
            text = "\n".join(block)
            lines.append(text)
            size += len(text) + 1
        return ("\n".join(lines)).encode()[:max(nbytes, 1)]

    def markdown(self, nbytes):
        rng = self.rng
        parts = []
        size = 0
        while size < nbytes:
            kind = rng.randint(0, 5)
            if kind == 0:
                part = "## " + " ".join(self.words(rng.randint(2, 6))).title() + "\n"
            elif kind == 1:
                part = "".join(f"- {' '.join(self.words(rng.randint(3, 12)))}\n"
                               for _ in range(rng.randint(2, 6)))
            elif kind == 2:
                part = "```\n" + self.source(rng.randint(100, 600), "c").decode() + "\n```\n"
            else:
                part = self.prose(rng.randint(200, 1500)).decode()
            parts.append(part)
            size += len(part) + 1
        return "\n".join(parts).encode()[:max(nbytes, 1)]

    def log(self, nbytes):
        rng = self.rng
        levels = ("INFO", "INFO", "INFO", "DEBUG", "WARN", "ERROR")
        out = []
        size = 0
        t = 1_700_000_000
        while size < nbytes:
            ws = self.words(4000)
            for i in range(0, len(ws), 8):
                t += rng.randint(0, 3)
                line = (f"{t}.{rng.randint(0, 999):03d} {rng.choice(levels)} "
                        f"[{ws[i]}:{rng.randint(1, 64)}] {' '.join(ws[i + 1:i + 8])} "
                        f"id={rng.getrandbits(32):08x}\n")
                out.append(line)
                size += len(line)
                if size >= nbytes:
                    break
        return "".join(out).encode()[:nbytes]


def spread(rng, total, count, low, high):
    """Splits total into count sizes between low and high (roughly), summing to total."""
    raw = [rng.lognormvariate(0, 0.9) for _ in range(count)]
    scale = total / sum(raw)
    sizes = [min(high, max(low, int(r * scale))) for r in raw]
    sizes[-1] += total - sum(sizes)
    sizes[-1] = max(low, sizes[-1])
    return sizes


def folder_pool(rng, words, count, depth_max):
    """count folder paths 1 to depth_max levels deep under a dozen top folders, so that files
    drawn from the pool share folders about as they do in a real tree."""
    pool = []
    for _ in range(count):
        depth = rng.randint(1, depth_max)
        pool.append("/".join([rng.choice(words[:12])] + [rng.choice(words) for _ in range(depth - 1)]))
    return pool


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def random_bytes(rng, nbytes, out):
    chunk = 1 << 22
    while nbytes > 0:
        n = min(chunk, nbytes)
        out.write(rng.randbytes(n))
        nbytes -= n


def find_libraries(budget):
    """Regular shared-library files, sorted by path, until the budget is spent."""
    picked = []
    total = 0
    for d in LIB_DIRS:
        if not os.path.isdir(d):
            continue
        for name in sorted(os.listdir(d)):
            path = os.path.join(d, name)
            if ".so" not in name or os.path.islink(path) or not os.path.isfile(path):
                continue
            size = os.path.getsize(path)
            if size < 16_384 or size > 4_000_000 or total + size > budget:
                continue
            picked.append(path)
            total += size
            if total > budget * 0.98:
                return picked, total
        if picked:
            break
    return picked, total


def binary_like(rng, text, nbytes):
    """Stand-in for machine code when the system has too few libraries: runs of random bytes
    between string tables and repetitive records, compressing about as well as libraries."""
    parts = []
    size = 0
    while size < nbytes:
        kind = rng.randint(0, 2)
        if kind == 0:
            part = rng.randbytes(rng.randint(256, 2048))
        elif kind == 1:
            part = b"\0".join(w.encode() for w in text.words(rng.randint(20, 200)))
        else:
            rec = rng.randbytes(rng.randint(4, 16))
            part = b"".join(rec[:-1] + bytes([i & 0xFF]) for i in range(rng.randint(16, 128)))
        parts.append(part)
        size += len(part)
    return b"".join(parts)[:nbytes]


def make_mixed(root, p):
    rng = random.Random(20261206)
    text = Text(rng)
    dirs = [text.ident() for _ in range(60)]
    info = {}

    langs = ("c", "c", "h", "cpp", "py")
    src_dirs = folder_pool(rng, dirs, max(1, p["src_files"] // 12), 4)
    doc_dirs = folder_pool(rng, dirs, max(1, p["doc_files"] // 12), 3)
    for i, size in enumerate(spread(rng, p["src_bytes"], p["src_files"], 200, 400_000)):
        lang = rng.choice(langs)
        ext = lang
        name = f"src/{rng.choice(src_dirs)}/{text.ident()}_{i}.{ext}"
        write(os.path.join(root, name), text.source(size, "py" if lang == "py" else "c"))
    for extra in (".gitignore", "src/.clang-format"):
        write(os.path.join(root, extra), text.prose(300))

    for i, size in enumerate(spread(rng, p["doc_bytes"], p["doc_files"], 200, 600_000)):
        kind = rng.randint(0, 4)
        base = f"doc/{rng.choice(doc_dirs)}/{text.ident()}_{i}"
        if kind == 0:
            body = text.prose(size)
            body = (b"<html><body>\n<p>" + body.replace(b"\n", b"</p>\n<p>") + b"</p>\n</body></html>\n")
            write(os.path.join(root, base + ".html"), body)
        elif kind == 1:
            write(os.path.join(root, base + ".txt"), text.prose(size))
        else:
            write(os.path.join(root, base + ".md"), text.markdown(size))

    libs, lib_total = find_libraries(p["lib_bytes"])
    for path in libs:
        dst = os.path.join(root, "lib", os.path.basename(path))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(path, dst)
    info["libraries"] = {"count": len(libs), "bytes": lib_total,
                         "from": os.path.dirname(libs[0]) if libs else None}
    if lib_total < p["lib_bytes"] * 0.9:
        # Too few libraries on this machine: fill up with generated binary-like files.
        missing = p["lib_bytes"] - lib_total
        for i, size in enumerate(spread(rng, missing, max(1, missing // 300_000), 16_384, 2_000_000)):
            write(os.path.join(root, "lib", f"libgen{i}.so"), binary_like(rng, text, size))
        info["libraries"]["generated_bytes"] = missing

    write(os.path.join(root, "data/server.log"), text.log(p["log_bytes"]))
    os.makedirs(os.path.join(root, "data/blobs"), exist_ok=True)
    with open(os.path.join(root, "data/blobs/random.bin"), "wb") as f:
        random_bytes(rng, p["blob_bytes"], f)
    return info


def make_small(root, p):
    rng = random.Random(4242)
    text = Text(rng)
    top = [f"{w}{i}" for i, w in enumerate(text.words(12))]
    mid = [f"{w}{i}" for i, w in enumerate(text.words(15))]
    for i in range(p["small_files"]):
        size = rng.randint(1024, 4096)
        folder = f"{rng.choice(top)}/{rng.choice(mid)}"
        if rng.random() < 0.5:
            folder += f"/part{rng.randint(0, 5)}"
        kind = rng.randint(0, 2)
        if kind == 0:
            data, ext = text.source(size, "c"), "c"
        elif kind == 1:
            data, ext = text.prose(size)[:size], "txt"
        else:
            data, ext = text.markdown(size), "md"
        write(os.path.join(root, folder, f"f{i:05d}.{ext}"), data)
    return {}


def make_big(root, total):
    """About total bytes in 8 files: six of text, two incompressible; deflate sees no repetition
    because every piece is copied from a random place of a pool far larger than its window."""
    rng = random.Random(777)
    text = Text(rng)
    pool = text.log(8 << 20) + text.source(8 << 20, "c")
    per_file = total // 8
    for i in range(8):
        path = os.path.join(root, f"part{i}.{'bin' if i % 4 == 3 else 'txt'}")
        os.makedirs(root, exist_ok=True)
        with open(path, "wb") as f:
            if i % 4 == 3:
                random_bytes(rng, per_file, f)
                continue
            left = per_file
            while left > 0:
                n = min(left, rng.randint(64 << 10, 1 << 20))
                start = rng.randrange(0, len(pool) - n)
                f.write(pool[start:start + n])
                left -= n
    return {}


def make_system(root, sources):
    """Regular files of each source folder, walked in sorted order, until its budget is spent;
    a file larger than an eighth of the budget or than what is left is passed over."""
    info = []
    for top, src, budget in sources:
        total = count = 0
        if os.path.isdir(src):
            dst_top = os.path.join(root, top)
            for dirpath, dirs, names in os.walk(src):
                dirs.sort()
                for name in sorted(names):
                    path = os.path.join(dirpath, name)
                    if os.path.islink(path) or not os.path.isfile(path):
                        continue
                    size = os.path.getsize(path)
                    if size > budget // 8 or total + size > budget:
                        continue
                    dst = os.path.join(dst_top, os.path.relpath(path, src))
                    try:
                        os.makedirs(os.path.dirname(dst), exist_ok=True)
                        shutil.copyfile(path, dst)
                    except OSError:
                        continue
                    total += size
                    count += 1
        info.append({"from": src, "count": count, "bytes": total})
    return {"sources": info}


def make_many(root, count):
    """count files of 16 to 512 bytes, 100 to a folder."""
    rng = random.Random(9001)
    text = Text(rng)
    for i in range(count):
        folder = os.path.join(root, f"d{i // 100:04d}")
        if i % 100 == 0:
            os.makedirs(folder)
        with open(os.path.join(folder, f"f{i:06d}.txt"), "wb") as f:
            f.write(text.prose(rng.randint(16, 512))[:512])
    return {}


def tree_stats(root):
    files = 0
    size = 0
    for dirpath, _, names in os.walk(root):
        for n in names:
            files += 1
            size += os.path.getsize(os.path.join(dirpath, n))
    return files, size


def build(out, name, scale, maker, *args):
    root = os.path.join(out, name)
    stamp_path = os.path.join(out, f".{name}.stamp")
    want = {"version": FORMAT_VERSION, "scale": scale}
    if os.path.isdir(root) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            stamp = json.load(f)
        if all(stamp.get(k) == v for k, v in want.items()):
            print(f"corpus {name}: kept ({stamp['files']} files, {stamp['bytes']} bytes)", file=sys.stderr)
            return stamp
    shutil.rmtree(root, ignore_errors=True)
    info = maker(root, *args)
    files, size = tree_stats(root)
    stamp = dict(want, files=files, bytes=size, **info)
    with open(stamp_path, "w") as f:
        json.dump(stamp, f)
    print(f"corpus {name}: generated ({files} files, {size} bytes)", file=sys.stderr)
    return stamp


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True, help="folder that receives the trees")
    ap.add_argument("--scale", choices=sorted(SCALES), default="full")
    ap.add_argument("--big", type=int, default=0, help="also write big/ of this many bytes")
    ap.add_argument("--many", type=int, default=0, help="also write many/ of this many files")
    ap.add_argument("--only-big", action="store_true", help="write big/ and many/ alone")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    p = SCALES[args.scale]
    result = {}
    if not args.only_big:
        result["mixed"] = build(args.out, "mixed", args.scale, make_mixed, p)
        result["small"] = build(args.out, "small", args.scale, make_small, p)
        result["system"] = build(args.out, "system", args.scale, make_system, p["system"])
    if args.big:
        result["big"] = build(args.out, "big", f"big{args.big}", make_big, args.big)
    if args.many:
        result["many"] = build(args.out, "many", f"many{args.many}", make_many, args.many)
    json.dump(result, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
