"""Turns the figures of every pair into the printed tables: the peers
beside ours, each peer as a share of ours, our own run, and the design
measurements (a) to (d)."""

import hashlib
import json

import common

KIB = 1024
MIB = 1024 * 1024
# what a client reads besides its file list when it uses deltas: the signed
# top level (about one KiB for a few versions) and its delta index header
TOP_LEVEL_BYTES = 1024
DELTA_INDEX_HEADER, DELTA_INDEX_ENTRY = 12, 72


def kib(n):
    return "-" if n is None else "{:,}".format(round(n / KIB))


def share(n, ours):
    return "-" if n is None or not ours else "%.2f" % (n / ours)


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(str(c).rjust(w) if i > 1 else str(c).ljust(w)
                       for i, (c, w) in enumerate(zip(header, widths)))]
    lines.append("  ".join("-" * w for w in widths))
    for r in rows:
        lines.append("  ".join(str(c).rjust(w) if i > 1 else str(c).ljust(w)
                               for i, (c, w) in enumerate(zip(r, widths))))
    return lines


def change(value, reference):
    return "%+.1f %%" % (100.0 * (value / reference - 1)) if reference else "-"


def best_delta(record, with_x86=False):
    """Cheapest of the file's deltas and its compressed object."""
    options = [record["whole"]]
    options += [record[k] for k in ("bsdiff", "patch") if k in record]
    if with_x86 and "bsdiff_x86" in record:
        options.append(record["bsdiff_x86"])
    return min(options)


def list_estimate(files, zstd):
    """A file list of the new format for this tree, zstd -19: path, size,
    hash, and the compressed object's or chunk index's size and hash (the
    hashes stand-ins of the same entropy)."""
    entries = []
    for r in files:
        entry = {"path": r["path"], "size": r["size"], "sha256": r["sha256"]}
        stand_in = hashlib.sha256(r["path"].encode()).hexdigest()
        if r["whole"] < r["size"]:
            entry["zst"] = {"size": r["whole"], "sha256": stand_in}
        if r["size"] >= 16 * KIB:
            entry["cidx"] = {"size": 36 * (r["size"] // (64 * KIB) + 1) + 32,
                             "sha256": stand_in[::-1]}
        entries.append(entry)
    text = json.dumps({"format": 3, "files": entries}, separators=(",", ":")).encode()
    return len(zstd.compress(text))


def summarise(pair):
    """The per-file figures of a pair reduced to the columns and (a)-(d)."""
    files = pair["files"]["files"]
    count = {}
    for r in files:
        count[r["status"]] = count.get(r["status"], 0) + 1
    by_path = by_hash = with_x86 = 0
    bsdiff_trees = 0
    wins = {"bsdiff": 0, "patch": 0, "whole": 0}
    deltas = 0
    for r in files:
        status = r["status"]
        whole = r["whole"]
        if status == "unchanged":
            continue
        bsdiff_trees += r.get("bsdiff", whole) if status == "changed" else whole
        if status == "changed":
            best = best_delta(r)
            by_path += best
            winner = min(("bsdiff", "patch", "whole"), key=lambda k: r.get(k, whole + 1))
            wins[winner] += 1
        else:
            by_path += whole
        if status == "elsewhere":
            continue
        if status in ("changed", "renamed"):
            deltas += 1 if best_delta(r) < whole else 0
            by_hash += best_delta(r)
            with_x86 += best_delta(r, with_x86=True)
        else:
            by_hash += whole
            with_x86 += whole
    metadata = (TOP_LEVEL_BYTES + list_estimate(files, common.Zstd()) + DELTA_INDEX_HEADER
                + DELTA_INDEX_ENTRY * deltas)
    chunkable = [r for r in files if r.get("framed") is not None]
    elf = [r for r in files if "bsdiff_x86" in r]
    elf_objects = [r for r in files if "whole_x86" in r]
    largest = next((r for r in files if r.get("largest")), None)
    cpu = sum(r.get("bsdiff_cpu", 0) + r.get("patch_cpu", 0) for r in files)
    new_bytes = sum(r["size"] for r in files)
    return {
        "counts": count, "new_bytes": new_bytes, "bsdiff_trees": bsdiff_trees,
        "a_by_path": by_path, "a_by_hash": by_hash, "a_with_x86": with_x86,
        "a_metadata": metadata, "a_wins": wins,
        "b_whole": sum(r["whole"] for r in chunkable),
        "b_framed": sum(r["framed"] for r in chunkable),
        "b_bytes": sum(r["size"] for r in chunkable),
        "c_files": len(elf), "c_bsdiff": sum(r["bsdiff"] for r in elf),
        "c_x86": sum(r["bsdiff_x86"] for r in elf),
        "c_improved": sum(1 for r in elf if r["bsdiff_x86"] < r["bsdiff"]),
        "c_top": max(elf, key=lambda r: r["size"], default=None),
        "c_object_files": len(elf_objects),
        "c_object_bytes": sum(r["size"] for r in elf_objects),
        "c_object": sum(r["whole"] for r in elf_objects),
        "c_object_x86": sum(r["whole_x86"] for r in elf_objects),
        "d_largest": largest, "d_cpu": cpu,
        "d_rss": max((r.get("bsdiff_rss", 0) for r in files), default=0),
    }


def render(pairs):
    """pairs: list of dicts with release, what, label, old, new, peers,
    files, ours (or None). Returns the lines to print."""
    for p in pairs:
        p["sum"] = summarise(p)
    out = ["", "== Bytes a client transfers (KiB); ours = nginx's bytes sent, headers included",
           ""]
    header = ["release", "pair", "new tree", "package", "xz -9", "zstd -19", "patch-from",
              "bsdiff files", "bsdiff tar", "casync", "zchunk", "(a) estimate", "ours",
              "requests"]
    rows = []
    for p in pairs:
        peers, s, ours = p["peers"], p["sum"], p.get("ours")
        rows.append([p["release"], p["label"], kib(s["new_bytes"]), kib(p["package_bytes"]),
                     kib(peers["xz"]), kib(peers["zstd"]), kib(peers["patch_from"]),
                     kib(s["bsdiff_trees"]), kib(peers["bsdiff_tar"].get("bytes")),
                     kib(peers["casync"]["bytes"]), kib(peers["zchunk"]["bytes"]),
                     kib(s["a_by_path"]), kib(ours["wire"]) if ours else "-",
                     ours["requests"] if ours else "-"])
    out += table(header, rows)
    out += ["", "== The same as a share of ours (ours today = 1.00)", ""]
    rows = []
    for p in pairs:
        peers, s, ours = p["peers"], p["sum"], p.get("ours")
        wire = ours["wire"] if ours else None
        best = min(v for v in (peers["xz"], peers["zstd"], peers["patch_from"],
                               s["bsdiff_trees"], peers["bsdiff_tar"].get("bytes"),
                               peers["casync"]["bytes"], peers["zchunk"]["bytes"],
                               p["package_bytes"]) if v is not None)
        rows.append([p["release"], p["label"], share(p["package_bytes"], wire),
                     share(peers["xz"], wire), share(peers["zstd"], wire),
                     share(peers["patch_from"], wire), share(s["bsdiff_trees"], wire),
                     share(peers["bsdiff_tar"].get("bytes"), wire),
                     share(peers["casync"]["bytes"], wire), share(peers["zchunk"]["bytes"], wire),
                     share(s["a_by_path"], wire), kib(best)])
    out += table(header[:2] + header[3:12] + ["best peer KiB"], rows)
    out += ours_lines(pairs) + design_lines(pairs)
    return out


def ours_lines(pairs):
    measured = [p for p in pairs if p.get("ours")]
    if not measured:
        return ["", "(ours not measured)"]
    out = ["", "== Ours: the update through libPelvane.so from nginx, base store = old version",
           ""]
    header = ["release", "pair", "sent KiB", "requests", "top level", "lists, indexes",
              "ranges", "whole", "client s", "client RSS MiB", "anon MiB", "publish s",
              "publish RSS MiB", "published KiB"]
    rows = []
    for p in measured:
        o = p["ours"]
        kinds = o["kinds"]
        rows.append([p["release"], p["label"], kib(o["wire"]), o["requests"]] +
                    ["%s (%d)" % (kib(kinds[k][1]), kinds[k][0]) if k in kinds else "-"
                     for k in ("top level", "lists, indexes", "ranges", "whole")] +
                    ["%.2f" % o["wall"], "%.1f" % (o["peak_rss"] / MIB),
                     "%.1f" % (o.get("peak_anon", 0) / MIB),
                     "%.1f" % o["publish_wall"], "%.1f" % (o["publish_rss"] / MIB),
                     kib(o["published_bytes"])])
    out += table(header, rows)
    out += ["", "  the newest version's objects, KiB:", ""]
    kinds = ["files", "cidx", "zst", "zsf", "deltas", "small objects", "list"]
    out += table(["release"] + kinds,
                 [[p["release"]] + [kib(p["ours"]["objects"][k]) for k in kinds]
                  for p in measured if p["label"] == "1 behind" and "objects" in p["ours"]])
    options = measured[0]["ours"]["publish_options"]
    out.append("  (publish: the newest version, into a repository holding the older ones%s)"
               % ("; options " + " ".join(options) if options else ""))
    return out


def package_lines(pairs):
    """Ours beside the distribution's own compressed package, the one peer
    known without computing anything."""
    rows = [[p["release"], p["label"], kib(p["package_bytes"]), kib(p["ours"]["wire"]),
             share(p["ours"]["wire"], p["package_bytes"])]
            for p in pairs if p.get("ours") and p.get("package_bytes")]
    return ["", "== Ours beside the compressed package", ""] + table(
        ["release", "pair", "package KiB", "ours KiB", "ours / package"], rows) if rows else []


def publishing_lines(publishing):
    out = ["", "== Publishing every version of %s in order (options %s): the publisher's "
           "cost and the objects it wrote, KiB" % (publishing["release"],
                                                  " ".join(publishing["options"]) or "none"), ""]
    kinds = ["files", "cidx", "zst", "zsf", "deltas", "small objects", "list"]
    out += table(["version", "raw KiB", "wall s", "CPU s", "peak RSS MiB"] + kinds,
                 [[v["version"], kib(v["raw"]), "%.0f" % v["wall"], "%.0f" % v["cpu"],
                   "%.0f" % (v["peak_rss"] / MIB)] + [kib(v["objects"][k]) for k in kinds]
                  for v in publishing["versions"]])
    out.append("  (deltas: the bundle's delta sections; small objects: the compressed objects "
               "in the bundle; budget: 300 MiB with three sources in 15 min and 4 GiB on two "
               "cores)")
    return out


def installer_lines(figures):
    """The release published as its tree and as one .tar.xz per version."""
    name = figures["release"]
    out = ["", "== %s %s -> %s published as its tree and as one %s.tar.xz (options %s); "
           "a client one version behind updates, KiB" % (
               name, figures["old"], figures["new"], name,
               " ".join(figures["options"]) or "none"), ""]
    rows = []
    for way, what in (("tree", "tree (%s KiB raw)" % kib(figures["tree_bytes"])),
                      ("installer", "%s.tar.xz (%s KiB)" % (
                          name, kib(figures["installer_bytes"][figures["new"]])))):
        ours = figures[way]
        rows.append([what, kib(ours["wire"]), ours["requests"],
                     ", ".join("%s %d/%s" % (k, n, kib(b))
                               for k, (n, b) in sorted(ours["kinds"].items())),
                     kib(ours["published_bytes"]), "%.0f" % ours["publish_wall"]])
    out += table(["published as", "nginx sent", "requests", "requests/KiB by kind",
                  "published KiB", "publish s"], rows)
    tree, installer = figures["tree"]["wire"], figures["installer"]["wire"]
    out.append("  (the installer way costs %.1f times the tree way; the old %s.tar.xz is "
               "%s KiB)" % (installer / tree, name,
                            kib(figures["installer_bytes"][figures["old"]])))
    return out


def design_lines(pairs):
    out = ["", "== (a) per-file estimate: unchanged 0, changed = best of bsdiff, zstd "
           "--patch-from and its zstd -19 --long object, others as zstd -19 --long (KiB)", ""]
    header = ["release", "pair", "files", "unchanged", "changed", "elsewhere", "renamed",
              "new", "wins b/p/w", "by path", "+moved,renamed", "+x86 bsdiff", "metadata",
              "total", "best peer", "total/best"]
    rows = []
    for p in pairs:
        s, c = p["sum"], p["sum"]["counts"]
        w = s["a_wins"]
        total = s["a_with_x86"] + s["a_metadata"]
        peers = p["peers"]
        best = min(v for v in (peers["xz"], peers["zstd"], peers["patch_from"],
                               s["bsdiff_trees"], peers["bsdiff_tar"].get("bytes"),
                               peers["casync"]["bytes"], peers["zchunk"]["bytes"],
                               p["package_bytes"]) if v is not None)
        rows.append([p["release"], p["label"], sum(c.values())] +
                    [c.get(k, 0) for k in ("unchanged", "changed", "elsewhere", "renamed",
                                           "new")] +
                    ["%d/%d/%d" % (w["bsdiff"], w["patch"], w["whole"]), kib(s["a_by_path"]),
                     kib(s["a_by_hash"]), kib(s["a_with_x86"]), kib(s["a_metadata"]),
                     kib(total), kib(best), "%.2f" % (total / best)])
    out += table(header, rows)
    out.append("  (metadata: a zstd -19 file list of the new format for this tree, the top "
               "level and the delta index; total = +x86 bsdiff + metadata)")

    out += ["", "== (b) independent zstd -19 frames of 64 KiB pieces against one zstd -19 "
            "--long=31 frame per file (files >= 16 KiB)", ""]
    rows, seen = [], set()
    for p in pairs:
        key = (p["release"], p["new"])
        if key in seen:
            continue
        seen.add(key)
        s = p["sum"]
        rows.append([p["release"], p["new"], kib(s["b_bytes"]), kib(s["b_whole"]),
                     kib(s["b_framed"]), change(s["b_framed"], s["b_whole"])])
    out += table(["release", "version", "raw KiB", "one frame", "64 KiB frames", "loss"], rows)

    out += ["", "== (c) an x86 E8/E9 branch transform before bsdiff (changed x86-64 ELF files) "
            "and before zstd -19 --long (every x86-64 ELF file of the new tree), KiB", ""]
    rows = []
    for p in pairs:
        s = p["sum"]
        top = s["c_top"]
        rows.append([p["release"], p["label"], s["c_files"], kib(s["c_bsdiff"]),
                     kib(s["c_x86"]), change(s["c_x86"], s["c_bsdiff"]), s["c_improved"],
                     "%s %s -> %s" % (top["path"].rsplit("/", 1)[-1], kib(top["bsdiff"]),
                                      kib(top["bsdiff_x86"])) if top else "-",
                     s["c_object_files"], kib(s["c_object"]), kib(s["c_object_x86"]),
                     change(s["c_object_x86"], s["c_object"])])
    out += table(["release", "pair", "ELF files", "bsdiff", "transformed", "change",
                  "files smaller", "largest ELF: bsdiff -> transformed", "ELF objects",
                  "zstd", "transformed", "change"], rows)

    out += ["", "== (d) bsdiff on the largest changed file (alone), and the delta CPU of the "
            "whole pair", ""]
    rows = []
    for p in pairs:
        s = p["sum"]
        big = s["d_largest"]
        if big is None or "bsdiff_wall" not in big:
            rows.append([p["release"], p["label"], "-", "-", "-", "-", "-", "-", "-"])
            continue
        # both methods for every changed file, K = 3 source versions, two cores,
        # scaled to a 300 MiB release
        minutes = s["d_cpu"] * 3 / 2 * (300 * MIB / s["new_bytes"]) / 60
        rows.append([p["release"], p["label"],
                     "%s (%.1f MiB)" % (big["path"].rsplit("/", 1)[-1], big["size"] / MIB),
                     "%.1f / %.1f" % (big["bsdiff_cpu"], big["bsdiff_wall"]),
                     "%.0f" % (big["bsdiff_rss"] / MIB),
                     "%.1f / %.1f" % (big["patch_cpu"], big["patch_wall"]),
                     "%.0f" % (big["patch_rss"] / MIB),
                     "%.0f" % s["d_cpu"], "%.1f" % minutes])
    out += table(["release", "pair", "largest changed file", "bsdiff CPU/wall s",
                  "bsdiff MiB", "patch-from CPU/wall s", "patch-from MiB", "pair CPU s",
                  "300 MiB K=3 min"], rows)
    out.append("  (pair CPU: bsdiff and zstd --patch-from of every changed file; the last "
               "column scales it to 300 MiB, three source versions, two cores)")
    return out
