#!/usr/bin/env python3
"""fpack against the tools it is measured by, in one run (`make bench`).

    bench/fpack_bench.py --fpack F --bench-io B [--other-fpack F2] [--runs N]

Packing a ~200 MB tree through a pipe against GNU tar; installing it into an
empty directory and again over itself against `tar -xf` and `tar -xf
--overwrite`, and uninstalling it against `rm -rf`, on a tmpfs and on an
ext4 file system (a loop-mounted image on that tmpfs, so that the shared
disk of the machine does not set the pace); a checksummed pack against a
plain pack plus md5sum over the block; the record compressor and its
decoder (bench_io) against `lz4 -1`; and fpack's peak resident size.

Every comparison runs once per round, the tool and fpack one after the
other, for N rounds (default 5); the figures are medians. Wall time sets
the ratios; CPU time (user plus system, which other work on a shared
machine disturbs less) is printed beside it, and beside each ratio of two
timings the ratio of their CPU times and the range of its round-by-round
values. A second fpack (an earlier build) is timed in the same rounds.
Each install is checked against the source tree once, and the second
fpack installs the block of the first.

Needs root: the tmpfs, the loop device and the ext4 image are made here
and removed at the end, also after a failure or a signal.
"""

import argparse
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TREE_SEED = 1234
TMPFS_SIZE = "4g"
EXT4_IMAGE_MB = 1536
CORPUS_BYTES = 32 << 20
RSS_LIMIT_KB = 32 * 1024


def make_tree(root):
    """3,000 files of 1 KiB to 64 KiB in 60 directories, plus four of 24 MiB:
    about 200 MB of incompressible bytes, fixed by the seed."""
    rnd = random.Random(TREE_SEED)
    block = rnd.randbytes(1 << 20)

    def body(n):
        out = bytearray()
        while len(out) < n:
            off = rnd.randrange(len(block))
            out += block[off:off + n - len(out)]
        return bytes(out)

    for d in range(30):
        path = os.path.join(root, "d%02d" % d, "sub")
        os.makedirs(path)
        for f in range(100):
            where = path if f % 2 else os.path.dirname(path)
            with open(os.path.join(where, "f%03d" % f), "wb") as fh:
                fh.write(body(rnd.randrange(1024, 65536)))
    for b in range(4):
        with open(os.path.join(root, "big%d" % b), "wb") as fh:
            for _ in range(24):
                fh.write(body(1 << 20))


def make_wide_tree(root):
    """Many small entries: 40,000 files and 4,000 directories, some of the
    files with a second name (the tables an install keeps grow with these)."""
    n = 0
    for a in range(40):
        for b in range(100):
            path = os.path.join(root, "w%02d" % a, "x%03d" % b)
            os.makedirs(path)
            for f in range(10):
                name = os.path.join(path, "f%d" % f)
                with open(name, "wb") as fh:
                    fh.write(b"%d\n" % n)
                n += 1
                if f == 9:
                    os.link(name, os.path.join(path, "l%d" % f))


def gather(top, limit, out, want):
    """The first `limit` bytes of the sorted regular files under top."""
    with open(out, "wb") as dst:
        left = limit
        for dirpath, dirs, files in sorted(os.walk(top)):
            dirs.sort()
            for f in sorted(files):
                path = os.path.join(dirpath, f)
                if not want(f) or os.path.islink(path) or not os.path.isfile(path):
                    continue
                try:
                    with open(path, "rb") as src:
                        data = src.read(left)
                except OSError:
                    continue
                dst.write(data)
                left -= len(data)
                if left <= 0:
                    return


class Failed(Exception):
    pass


def sh(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


class Timer:
    """Runs pipelines and keeps wall time, CPU time and peak RSS per name."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.wall = {}
        self.cpu = {}
        self.rss = {}

    def run(self, name, *stages, cwd=None, sync=True, record=True):
        """Runs the stages as one pipeline (argv lists). Raises on failure.
        Each stage runs under GNU time for its peak RSS: a child forked
        from this interpreter would report the interpreter's size."""
        if sync:
            os.sync()
        err_path = os.path.join(self.logdir, "stderr")
        rss_paths = [os.path.join(self.logdir, "rss%d" % i) for i in range(len(stages))]
        with open(err_path, "wb") as err:
            t0 = time.perf_counter()
            procs = []
            prev = None
            for i, argv in enumerate(stages):
                last = i == len(stages) - 1
                p = subprocess.Popen(
                    ["/usr/bin/time", "-f", "%M", "-o", rss_paths[i]] + argv, cwd=cwd,
                    stdin=prev.stdout if prev else subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL if last else subprocess.PIPE, stderr=err)
                if prev:
                    prev.stdout.close()
                procs.append(p)
                prev = p
            cpu = 0.0
            bad = []
            for p, argv in zip(procs, stages):
                _, status, ru = os.wait4(p.pid, 0)
                p.returncode = os.waitstatus_to_exitcode(status)
                cpu += ru.ru_utime + ru.ru_stime
                if p.returncode != 0:
                    bad.append("%s: exit %d" % (" ".join(argv), p.returncode))
            wall = time.perf_counter() - t0
        if bad:
            with open(err_path, "rb") as err:
                text = err.read().decode(errors="replace")
            raise Failed("%s failed (%s)\n%s" % (name, "; ".join(bad), text))
        rss = {}
        for path, argv in zip(rss_paths, stages):
            with open(path) as f:
                rss[os.path.basename(argv[0])] = int(f.read().split()[-1])
        if record:
            self.wall.setdefault(name, []).append(wall)
            self.cpu.setdefault(name, []).append(cpu)
            self.rss.setdefault(name, []).append(rss)
        return wall

    def median(self, name):
        return statistics.median(self.wall[name])

    def median_cpu(self, name):
        return statistics.median(self.cpu[name])


def same_tree(a, b):
    return subprocess.run(["diff", "-r", "--no-dereference", a, b],
                          stdout=subprocess.DEVNULL).returncode == 0


class Mounts:
    """A private tmpfs with an ext4 image on a loop device inside it."""

    def __init__(self, work):
        self.ram = os.path.join(work, "ram")
        self.ext4 = os.path.join(work, "ext4")
        self.loop = None
        self.mounted = []

    def __enter__(self):
        try:
            self.setup()
        except BaseException:
            self.__exit__()
            raise
        return self

    def setup(self):
        os.mkdir(self.ram, 0o700)
        os.mkdir(self.ext4, 0o700)
        sh("mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % TMPFS_SIZE, "tmpfs", self.ram)
        self.mounted.append(self.ram)
        image = os.path.join(self.ram, "ext4.img")
        with open(image, "wb") as f:
            f.truncate(EXT4_IMAGE_MB << 20)
        self.loop = subprocess.run(["losetup", "--find", "--show", image], check=True,
                                   capture_output=True, text=True).stdout.strip()
        sh("mkfs.ext4", "-q", "-F", self.loop)
        sh("mount", "-t", "ext4", self.loop, self.ext4)
        self.mounted.append(self.ext4)

    def __exit__(self, *exc):
        # The ext4 first, then its loop device, which holds the image open
        # on the tmpfs.
        for m in reversed(self.mounted):
            # A detached loop device lets go of its image a moment later:
            # a few tries, then a lazy unmount.
            for _ in range(50):
                if subprocess.run(["umount", m], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                subprocess.run(["umount", "-l", m])
            if m == self.ext4 and self.loop:
                subprocess.run(["losetup", "-d", self.loop])
                self.loop = None
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop])
        self.mounted = []
        self.loop = None
        return False


def fpack_ids(args):
    """(tag, binary) of the fpacks timed."""
    ids = [("fp", args.fpack)]
    if args.other_fpack:
        ids.append(("old", args.other_fpack))
    return ids


def pack_rounds(t, args, src, block, desc):
    """Packing through a pipe; the checksummed pack and md5sum over the block."""
    cat = ["cat"]
    t.run("tar pack", ["tar", "-cf", "-", "tree"], cat, cwd=src)
    for tag, fp in fpack_ids(args):
        t.run(tag + " pack", [fp, "-C", src, desc], cat)
        t.run(tag + " pack cksum", [fp, "-C", src, "-D", "do_checksum=y", desc], cat)
    t.run("md5sum block", ["md5sum", block])


def unpack_rounds(t, args, fs, mnt, block, tarball, src, check):
    """Install, reinstall, uninstall on the file system `fs` mounted at mnt."""
    fp_dest = os.path.join(mnt, "fp")
    tar_dest = os.path.join(mnt, "tar")
    os.makedirs(tar_dest, exist_ok=True)
    t.run("tar install " + fs, ["tar", "-C", tar_dest, "-xf", tarball])
    t.run("tar reinstall " + fs, ["tar", "-C", tar_dest, "--overwrite", "-xf", tarball])
    t.run("rm uninstall " + fs, ["rm", "-rf", os.path.join(tar_dest, "tree")])
    for tag, fp in fpack_ids(args):
        os.makedirs(fp_dest, exist_ok=True)
        prefix = ["-D", "unix_platform_prefix=" + fp_dest]
        t.run("%s install %s" % (tag, fs), [fp, "-u"] + prefix + [block])
        if check and not same_tree(os.path.join(src, "tree"), os.path.join(fp_dest, "tree")):
            raise Failed("%s: the installed tree differs from the source" % fp)
        t.run("%s reinstall %s" % (tag, fs), [fp, "-u"] + prefix + [block])
        if check and not same_tree(os.path.join(src, "tree"), os.path.join(fp_dest, "tree")):
            raise Failed("%s: the reinstalled tree differs from the source" % fp)
        t.run("%s uninstall %s" % (tag, fs), [fp, "-u", "-r"] + prefix + [block])
        if os.path.exists(os.path.join(fp_dest, "tree")):
            raise Failed("%s: uninstall left %s/tree" % (fp, fp_dest))


def codec_rounds(t, args, corpora, results):
    """One run of bench_io's codec benchmarks and of lz4 -1 on each corpus."""
    for tag, bio in [("fp", args.bench_io)] + (
            [("old", args.other_bench_io)] if args.other_bench_io else []):
        out = subprocess.run(
            [bio, "--benchmark_filter=BM_Compress|BM_Decompress", "--benchmark_format=json"],
            check=True, capture_output=True, text=True,
            env=dict(os.environ, IO_BENCH_TEXT=corpora["text"],
                     IO_BENCH_BINARY=corpora["binary"])).stdout
        for b in json.loads(out)["benchmarks"]:
            kind = "text" if b["name"].endswith(":0") else "binary"
            op = "compress" if b["name"].startswith("BM_Compress") else "decompress"
            results.setdefault("%s %s %s" % (tag, op, kind), []).append(
                b["bytes_per_second"] / 1e6)
    for kind, path in corpora.items():
        t.run("lz4 " + kind, ["lz4", "-1", "-c", path], sync=False)


def rate_lz4(t, corpora, kind):
    """lz4 -1's MB per CPU second (the tool reads the page cache and writes
    to /dev/null; its start-up is negligible at this size)."""
    return os.path.getsize(corpora[kind]) / t.median_cpu("lz4 " + kind) / 1e6


def peak_rss(t, tag):
    """The largest resident size (KiB) of any fpack run of this tag."""
    return max([v for name, runs in t.rss.items() if name.split(" ")[0] == tag
                for r in runs for k, v in r.items() if k.startswith("fpack")] or [0])


def report(t, args, codec, corpora, fses, wide_rss, nbytes, nfiles):
    rows = []

    def ratio_row(label, num, den, target, le=True):
        """A row when both figures were measured (num and den are names of
        timings, or numbers). Two timings also give the ratio of their CPU
        times and the range of the ratios round by round: the two ran side
        by side, so a round that other work disturbed shows there."""
        extra = ""
        if isinstance(num, str) and isinstance(den, str) and num in t.wall and den in t.wall:
            rounds = [a / b for a, b in zip(t.wall[num], t.wall[den])]
            extra = "%7.2f %6.2f-%.2f" % (t.median_cpu(num) / t.median_cpu(den),
                                         min(rounds), max(rounds))
        if isinstance(num, str):
            if num not in t.wall:
                return
            num = t.median(num)
        if isinstance(den, str):
            if den not in t.wall:
                return
            den = t.median(den)
        r = num / den
        ok = r <= target if le else r >= target
        rows.append((label, r, ("<= " if le else ">= ") + "%.2f" % target, ok, extra))

    print("tree: %d files, %d bytes; medians of %d rounds" % (nfiles, nbytes, args.runs))
    print()
    print("%-44s %9s %9s %9s" % ("", "wall s", "cpu s", "RSS MB"))
    for name in t.wall:
        if name.startswith("lz4 "):
            continue
        rss = max(v for r in t.rss[name] for v in r.values()) / 1024
        print("%-44s %9.3f %9.3f %9.1f" % (name, t.median(name), t.median_cpu(name), rss))
    print()
    if codec:
        print("%-44s %9s" % ("", "MB/s"))
        for kind in ("text", "binary"):
            print("%-44s %9.1f" % ("lz4 -1 %s (per CPU second)" % kind,
                                   rate_lz4(t, corpora, kind)))
            for name in sorted(codec):
                if name.endswith(kind):
                    print("%-44s %9.1f" % (name, statistics.median(codec[name])))
        print()
    for tag, fp in fpack_ids(args):
        ratio_row("%s pack | cat / tar -cf - | cat" % tag, tag + " pack", "tar pack", 0.8)
        for fs in fses:
            ratio_row("%s install / tar -xf (%s)" % (tag, fs), "%s install %s" % (tag, fs),
                      "tar install " + fs, 0.8)
            ratio_row("%s reinstall / tar -xf --overwrite (%s)" % (tag, fs),
                      "%s reinstall %s" % (tag, fs), "tar reinstall " + fs, 1.0)
            ratio_row("%s uninstall / rm -rf (%s)" % (tag, fs), "%s uninstall %s" % (tag, fs),
                      "rm uninstall " + fs, 1.0)
        if tag + " pack" in t.wall:
            ratio_row("%s pack cksum / (pack + md5sum)" % tag, tag + " pack cksum",
                      t.median(tag + " pack") + t.median("md5sum block"), 1.1)
        if (tag + " compress text") in codec:
            for kind in ("text", "binary"):
                ratio_row("%s compress %s / lz4 -1" % (tag, kind),
                          statistics.median(codec["%s compress %s" % (tag, kind)]),
                          rate_lz4(t, corpora, kind), 1.0, le=False)
            ratio_row("%s decompress text, GB/s" % tag,
                      statistics.median(codec[tag + " decompress text"]), 1000, 1.0, le=False)
            ratio_row("%s decompress binary, GB/s" % tag,
                      statistics.median(codec[tag + " decompress binary"]), 1000, 0.8, le=False)
        rss = max(peak_rss(t, tag), wide_rss.get(tag, 0))
        if rss:
            ratio_row("%s peak RSS, MB" % tag, rss, 1024, RSS_LIMIT_KB / 1024)
    print("%-44s %7s %9s  %-6s %7s %-11s" % ("ratio", "", "target", "", "cpu", " rounds"))
    for label, r, target, ok, extra in rows:
        print("%-44s %7.2f %9s  %-6s %s" % (label, r, target, "met" if ok else "MISSED", extra))


def wide_tree_rss(t, args, ram):
    """Peak RSS of packing, installing and uninstalling many small entries."""
    src = os.path.join(ram, "wide-src")
    make_wide_tree(os.path.join(src, "tree"))
    desc = os.path.join(ram, "wide.fpd")
    with open(desc, "w") as f:
        f.write("#*KFP-v2.07\ndescend_dirs=y\n%\ntree\n%\n%\n")
    block = os.path.join(ram, "wide.fpb")
    dest = os.path.join(ram, "wide-dest")
    out = {}
    for tag, fp in fpack_ids(args):
        t.run(tag + "-wide pack", [fp, "-C", src, "-f", block, desc], sync=False)
        os.makedirs(dest, exist_ok=True)
        prefix = ["-D", "unix_platform_prefix=" + dest]
        t.run(tag + "-wide install", [fp, "-u"] + prefix + [block], sync=False)
        if not same_tree(os.path.join(src, "tree"), os.path.join(dest, "tree")):
            raise Failed("%s: the installed wide tree differs from the source" % fp)
        t.run(tag + "-wide uninstall", [fp, "-u", "-r"] + prefix + [block], sync=False)
        out[tag] = max(v for n, runs in t.rss.items() if n.startswith(tag + "-wide")
                       for r in runs for k, v in r.items() if k.startswith("fpack"))
    for n in [n for n in t.wall if "-wide " in n]:
        del t.wall[n], t.cpu[n], t.rss[n]
    subprocess.run(["rm", "-rf", src, dest, block, desc], check=True)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--fpack", required=True)
    ap.add_argument("--bench-io", required=True)
    ap.add_argument("--other-fpack")
    ap.add_argument("--other-bench-io")
    ap.add_argument("--runs", type=int, default=5)
    groups = ("pack", "tmpfs", "ext4", "codec", "wide")
    ap.add_argument("--only", default=",".join(groups),
                    help="comma-separated subset of " + ",".join(groups))
    args = ap.parse_args()
    only = set(args.only.split(","))
    if not only <= set(groups):
        sys.exit("--only: unknown group in %s" % args.only)
    for attr in ("fpack", "bench_io", "other_fpack", "other_bench_io"):
        if getattr(args, attr):
            setattr(args, attr, os.path.abspath(getattr(args, attr)))
            if not os.access(getattr(args, attr), os.X_OK):
                sys.exit("not an executable: %s" % getattr(args, attr))
    if os.geteuid() != 0:
        sys.exit("fpack_bench: run as root (it mounts a tmpfs and an ext4 image)")
    # A signal ends the run through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("fpack_bench: terminated"))

    work = tempfile.mkdtemp(prefix="fpack-bench-")
    try:
        with Mounts(work) as m:
            ram = m.ram
            t = Timer(ram)
            src = os.path.join(ram, "src")
            make_tree(os.path.join(src, "tree"))
            desc = os.path.join(ram, "tree.fpd")
            with open(desc, "w") as f:
                f.write("#*KFP-v2.07\ndescend_dirs=y\n%\ntree\n%\n%\n")
            block = os.path.join(ram, "tree.fpb")
            tarball = os.path.join(ram, "tree.tar")
            t.run("make block", [args.fpack, "-C", src, "-f", block, desc], record=False)
            t.run("make tar", ["tar", "-C", src, "-cf", tarball, "tree"], record=False)
            nbytes = sum(os.path.getsize(os.path.join(d, f))
                         for d, _, fs in os.walk(os.path.join(src, "tree")) for f in fs)
            nfiles = sum(len(fs) for _, _, fs in os.walk(os.path.join(src, "tree")))
            corpora = {"text": os.path.join(ram, "text"), "binary": os.path.join(ram, "binary")}
            gather("/usr/include", CORPUS_BYTES, corpora["text"], lambda f: f.endswith(".h"))
            gather("/usr/bin", CORPUS_BYTES, corpora["binary"], lambda f: True)
            fses = {"tmpfs": os.path.join(ram, "tmpfs"), "ext4": m.ext4}
            os.makedirs(fses["tmpfs"])
            fses = {fs: mnt for fs, mnt in fses.items() if fs in only}
            wide_rss = wide_tree_rss(t, args, ram) if "wide" in only else {}
            codec = {}
            for i in range(args.runs):
                print("round %d of %d" % (i + 1, args.runs), file=sys.stderr, flush=True)
                if "pack" in only:
                    pack_rounds(t, args, src, block, desc)
                for fs, mnt in fses.items():
                    unpack_rounds(t, args, fs, mnt, block, tarball, src, check=i == 0)
                if "codec" in only:
                    codec_rounds(t, args, corpora, codec)
            report(t, args, codec, corpora, fses, wide_rss, nbytes, nfiles)
    except Failed as e:
        sys.exit("fpack_bench: %s" % e)
    finally:
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
