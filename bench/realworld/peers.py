"""What the field's tools transfer for one version pair, on whole trees:
xz -9 and zstd -19 --long=31 of a tar of the new tree, zstd --patch-from of
the old tar, bsdiff of the two tars (when the tars are small enough for it
to finish in reasonable time), casync with the old tree as seed and zchunk
with the old file. The per-file bsdiff column comes from perfile.py."""

import concurrent.futures
import os
import re
import subprocess

import common


def casync_bytes(old_tree, new_tree, work):
    """A client that seeds casync with the old tree fetches the new index
    and every chunk of the new store that the old tree's chunks lack."""
    stores = {}
    for name, tree in (("old", old_tree), ("new", new_tree)):
        store = os.path.join(work, name + ".castr")
        index = os.path.join(work, name + ".caidx")
        common.run(["casync", "make", "--store=" + store, index, tree],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        chunks = {}
        for folder, _, names in os.walk(store):
            for chunk in names:
                if chunk.endswith(".cacnk"):
                    chunks[chunk] = os.path.getsize(os.path.join(folder, chunk))
        stores[name] = (index, chunks)
    index, chunks = stores["new"]
    seed = stores["old"][1]
    missing = [size for chunk, size in chunks.items() if chunk not in seed]
    return {"bytes": os.path.getsize(index) + sum(missing), "chunks": len(chunks),
            "missing_chunks": len(missing)}


def zchunk_bytes(old_tar, new_tar, work):
    """zck_delta_size: the header and the chunks of the new file that the
    old one lacks, which is what zckdl fetches."""
    files = []
    for name, tar in (("old", old_tar), ("new", new_tar)):
        out = os.path.join(work, name + ".zck")
        common.run(["zck", "-o", out, tar], stdout=subprocess.DEVNULL)
        files.append(out)
    text = subprocess.run(["zck_delta_size"] + files, capture_output=True, text=True,
                          check=True).stdout
    found = re.search(r"Would download (\d+) of (\d+) bytes", text)
    chunks = re.search(r"Matched (\d+) of (\d+) chunks", text)
    return {"bytes": int(found.group(1)), "file": int(found.group(2)),
            "matched_chunks": int(chunks.group(1)) if chunks else None,
            "chunks": int(chunks.group(2)) if chunks else None}


def bsdiff_tars(old_tar, new_tar, work, limit, timeout):
    """bsdiff needs about 17 times the file in memory and its time grows
    faster than the size, so it runs on tars up to `limit` bytes and for
    at most `timeout` seconds."""
    if max(os.path.getsize(old_tar), os.path.getsize(new_tar)) > limit:
        return {"skipped": "tars over %d MiB" % (limit >> 20)}
    patch = os.path.join(work, "tars.bsdiff")
    cost = common.run_measured(["bsdiff", old_tar, new_tar, patch], timeout=timeout)
    if cost.timed_out:
        return {"skipped": "not done in %d min" % (timeout // 60)}
    if cost.status != 0:
        return {"skipped": "bsdiff failed (%d)" % cost.status}
    return {"bytes": os.path.getsize(patch), "wall": cost.wall, "cpu": cost.cpu,
            "peak_rss": cost.peak_rss}


def measure(old_tree, new_tree, work, jobs, tar_bsdiff_limit, tar_bsdiff_timeout):
    common.fresh_folder(work)
    old_tar = common.make_tar(old_tree, os.path.join(work, "old.tar"))
    new_tar = common.make_tar(new_tree, os.path.join(work, "new.tar"))
    tasks = {
        "xz": lambda: common.output_size(["xz", "-9", "-T1", "-c", new_tar]),
        "zstd": lambda: common.output_size(["zstd", "-q", "-19", "--long=31",
                                            "--single-thread", "-c", new_tar]),
        "patch_from": lambda: common.output_size(
            ["zstd", "-q", "-19", "--long=31", "--single-thread",
             "--patch-from=" + old_tar, new_tar, "-c"]),
        "bsdiff_tar": lambda: bsdiff_tars(old_tar, new_tar, work, tar_bsdiff_limit,
                                          tar_bsdiff_timeout),
        "casync": lambda: casync_bytes(old_tree, new_tree, work),
        "zchunk": lambda: zchunk_bytes(old_tar, new_tar, work),
    }
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        running = {name: pool.submit(task) for name, task in tasks.items()}
        figures = {name: job.result() for name, job in running.items()}
    figures["tar_bytes"] = os.path.getsize(new_tar)
    common.run(["rm", "-rf", work])
    return figures
