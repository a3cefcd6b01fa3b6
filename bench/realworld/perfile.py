"""Per-file figures of one version pair, the raw material of the bsdiff
peer column and of the design measurements:

- every file of the new tree: unchanged (same bytes at the same path),
  elsewhere (same bytes at another path of the old tree), changed (the path
  is in both trees), renamed (a path that differs from an old one only in
  its digits, e.g. libvips-cpp.so.8.18.7 -> .8.18.8, when exactly one old
  file matches) or new;
- every file: its size as one zstd -19 long-window frame, and as independent
  zstd -19 frames of fixed 64 KiB pieces (files of 16 KiB and more, the
  ones a chunk index covers); x86-64 ELF files also as one frame after an
  E8/E9 branch transform;
- changed and renamed files: bsdiff and zstd --patch-from (-19, long
  window) sizes with their CPU time and peak memory; for x86-64 ELF files
  also bsdiff over both sides after an E8/E9 branch transform.

The largest changed file is diffed first and alone, so that its time and
memory are not shared with another job."""

import concurrent.futures
import os
import re
import shutil
import threading

import common

FRAME = 64 * 1024
CHUNKABLE = 16 * 1024
_BRANCH = re.compile(rb"[\xe8\xe9]")


def digit_key(path):
    return re.sub(r"[0-9]+", "#", path)


def is_x86_64_elf(path):
    with open(path, "rb") as f:
        head = f.read(20)
    return len(head) == 20 and head[:4] == b"\x7fELF" and head[18:20] == b"\x3e\x00"


def x86_branch_transform(data):
    """Rewrites the rel32 of every E8 (call) and E9 (jmp) whose top byte
    says it is a near target into an absolute address, as xz's BCJ filter
    does: all calls to one function then read the same. The address keeps
    25 bits, sign-extended, so its top byte stays 0x00 or 0xFF and a
    decoder finds the same places again (the transform can be undone)."""
    out = bytearray(data)
    limit = len(out) - 5
    position = 0
    while True:
        found = _BRANCH.search(out, position)
        if found is None or found.start() > limit:
            break
        at = found.start()
        if out[at + 4] in (0x00, 0xFF):
            target = (int.from_bytes(out[at + 1:at + 5], "little") + at + 5) & 0x1FFFFFF
            if target & 0x1000000:
                target |= 0xFE000000
            out[at + 1:at + 5] = target.to_bytes(4, "little")
            position = at + 5
        else:
            position = at + 1
    return bytes(out)


def classify(old_files, new_files, old_digests, new_digests):
    """path -> (status, old path or None)."""
    by_digest = {}
    for path, digest in old_digests.items():
        by_digest.setdefault(digest, path)
    gone = [p for p in old_files if p not in new_files]
    old_by_key = {}
    for path in gone:
        old_by_key.setdefault(digit_key(path), []).append(path)
    new_by_key = {}
    for path in new_files:
        if path not in old_files:
            new_by_key.setdefault(digit_key(path), []).append(path)
    status = {}
    for path in new_files:
        digest = new_digests[path]
        if path in old_files:
            status[path] = ("unchanged" if old_digests[path] == digest else "changed", path)
        elif digest in by_digest:
            status[path] = ("elsewhere", by_digest[digest])
        else:
            key = digit_key(path)
            if len(old_by_key.get(key, [])) == 1 and len(new_by_key[key]) == 1:
                status[path] = ("renamed", old_by_key[key][0])
            else:
                status[path] = ("new", None)
    return status


class PairAnalysis:
    """The per-file figures of one pair. Each figure is kept in `store` under
    the digests of the bytes it was made from, so an interrupted run loses
    only the files in flight, and the pairs of one release share the
    compressed sizes of their common new version."""

    def __init__(self, old_tree, new_tree, work, jobs, store):
        self.old_tree, self.new_tree = old_tree, new_tree
        self.work, self.jobs, self.store = work, jobs, store
        self.zstd = common.Zstd()
        self._serial = 0
        self._lock = threading.Lock()

    def _scratch(self, name):
        with self._lock:
            self._serial += 1
            return os.path.join(self.work, "%d-%s" % (self._serial, name))

    def objects(self, path):
        """whole: one zstd -19 long-window frame; framed: independent
        frames of 64 KiB pieces (chunkable files); whole_x86: the whole
        frame after the branch transform (x86-64 ELF files)."""
        data = common.read(path)
        figures = {"whole": len(self.zstd.compress(data)) if data else 0, "framed": None}
        if len(data) >= CHUNKABLE:
            figures["framed"] = sum(len(self.zstd.compress(data[i:i + FRAME], long_window=False))
                                    for i in range(0, len(data), FRAME))
        if is_x86_64_elf(path):
            figures["whole_x86"] = len(self.zstd.compress(x86_branch_transform(data)))
        return figures

    def bsdiff(self, old, new):
        patch = self._scratch("bsdiff")
        cost = common.run_measured(["bsdiff", old, new, patch])
        if cost.status != 0:
            raise RuntimeError("bsdiff %s %s failed" % (old, new))
        size = os.path.getsize(patch)
        os.remove(patch)
        return size, cost

    def patch_from(self, old, new):
        out = self._scratch("patch.zst")
        with open(out, "wb") as sink:
            cost = common.run_measured(["zstd", "-q", "-19", "--long=31", "--single-thread",
                                        "--patch-from=" + old, new, "-c"], stdout=sink)
        if cost.status != 0:
            raise RuntimeError("zstd --patch-from %s %s failed" % (old, new))
        size = os.path.getsize(out)
        os.remove(out)
        return size, cost

    def bsdiff_x86(self, old, new):
        sides = []
        try:
            for name, path in (("old", old), ("new", new)):
                sides.append(self._scratch("x86-" + name))
                with open(sides[-1], "wb") as f:
                    f.write(x86_branch_transform(common.read(path)))
            return self.bsdiff(*sides)[0]
        finally:
            for side in sides:
                if os.path.exists(side):
                    os.remove(side)

    def deltas(self, old, new):
        record = {}
        if os.path.getsize(old) == 0 or os.path.getsize(new) == 0:
            return record
        record["bsdiff"], cost = self.bsdiff(old, new)
        record.update(bsdiff_cpu=cost.cpu, bsdiff_wall=cost.wall, bsdiff_rss=cost.peak_rss)
        record["patch"], cost = self.patch_from(old, new)
        record.update(patch_cpu=cost.cpu, patch_wall=cost.wall, patch_rss=cost.peak_rss)
        if is_x86_64_elf(old) and is_x86_64_elf(new):
            record["bsdiff_x86"] = self.bsdiff_x86(old, new)
        return record

    def run(self):
        common.fresh_folder(self.work)
        old_files = common.tree_files(self.old_tree)
        new_files = common.tree_files(self.new_tree)
        old_digests = {p: common.sha256_file(a) for p, a in old_files.items()}
        new_digests = {p: common.sha256_file(a) for p, a in new_files.items()}
        status = classify(old_files, new_files, old_digests, new_digests)
        records = {}
        for path, absolute in new_files.items():
            records[path] = {"path": path, "size": os.path.getsize(absolute),
                             "sha256": new_digests[path], "status": status[path][0],
                             "from": status[path][1]}
        to_diff = [p for p in new_files if status[p][0] in ("changed", "renamed")]
        to_diff.sort(key=lambda p: records[p]["size"], reverse=True)
        # one compression per distinct content, largest first
        contents = {}
        for path in sorted(new_files, key=lambda p: records[p]["size"], reverse=True):
            contents.setdefault(new_digests[path], path)

        def diff(path):
            old_path = status[path][1]
            key = "delta-%s-%s" % (old_digests[old_path][:32], new_digests[path][:32])
            records[path].update(self.store.get(
                key, lambda: self.deltas(old_files[old_path], new_files[path])))

        def compress(digest):
            return digest, self.store.get("object-" + digest[:32],
                                          lambda: self.objects(new_files[contents[digest]]))

        if to_diff:
            diff(to_diff[0])
            records[to_diff[0]]["largest"] = True
        with concurrent.futures.ThreadPoolExecutor(self.jobs) as pool:
            jobs = [pool.submit(diff, p) for p in to_diff[1:]]
            compressed = [pool.submit(compress, d) for d in contents]
            for job in jobs:
                job.result()
            objects = dict(job.result() for job in compressed)
        for path in new_files:
            records[path].update(objects[new_digests[path]])
        shutil.rmtree(self.work, ignore_errors=True)
        return {"files": [records[p] for p in sorted(records)],
                "old_files": len(old_files), "old_bytes":
                sum(os.path.getsize(a) for a in old_files.values())}
