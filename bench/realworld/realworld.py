#!/usr/bin/env python3
"""Real software updates: the field's tools and ours on the same version
pairs of real release trees (see README.md).

    realworld.py --build BUILD_DIR [--quick] [--cache DIR] [--jobs N] [--recompute]
                 [--no-ours | --ours-only] [--publisher PATH] [--library PATH] [--client PATH]
                 [--publish-options "OPTIONS"] [--tar-bsdiff-max-mib N]
                 [--tar-bsdiff-minutes N] [--installer RELEASE] [RELEASE...]

Peer and design figures depend on the release trees only and are kept in
CACHE/figures (--recompute computes them again); ours is measured on every
run. The printed tables are also written to CACHE/results/."""

import argparse
import json
import os
import shlex
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import fetch  # noqa: E402
import ours  # noqa: E402
import peers  # noqa: E402
import perfile  # noqa: E402
import report  # noqa: E402

# a fast check: one Debian and one npm release, small ones
QUICK = ("openssl", "esbuild")
# the largest release tree of releases.json (about 280 MiB a version): its
# publishing cost is the one the publisher's budget speaks of
LARGEST = "firefox-esr"
TOOLS = ("time", "apt-get", "dpkg-deb", "npm", "tar", "xz", "zstd", "bsdiff", "casync", "zck",
         "zck_delta_size", "nginx")


def key_of(release, old, new):
    safe = lambda text: text.replace(":", "_").replace("/", "_")  # noqa: E731
    return "%s--%s--%s" % (release.name, safe(old.number), safe(new.number))


def timed(what, compute):
    def run():
        started = time.monotonic()
        common.log("%s ..." % what)
        value = compute()
        common.log("%s: %.0f s" % (what, time.monotonic() - started))
        return value
    return run


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true",
                        help="only %s (also QOR_BENCH_QUICK=1)" % ", ".join(QUICK))
    parser.add_argument("--cache", default=os.environ.get("QOR_BENCH_REALWORLD_CACHE")
                        or common.default_cache())
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("QOR_BENCH_JOBS", "2")))
    parser.add_argument("--recompute", action="store_true")
    parser.add_argument("--no-ours", action="store_true")
    parser.add_argument("--ours-only", action="store_true",
                        help="only our update's figures (bytes, requests, time, memory): no "
                        "peers, no per-file figures, so also for releases whose peer "
                        "figures would take hours")
    parser.add_argument("--publisher", default=os.environ.get("QOR_BENCH_PUBLISHER"),
                        help="qor-publish to measure (default BUILD/bin/qor-publish)")
    parser.add_argument("--library", default=os.environ.get("QOR_BENCH_LIBRARY"),
                        help="libPelvane.so to measure (default BUILD/bin/libPelvane.so)")
    parser.add_argument("--client", default=os.environ.get("QOR_BENCH_CLIENT"),
                        help="driver of the library (default BUILD/bench/chunks/chunk_bench)")
    parser.add_argument("--publish-options", default=os.environ.get("QOR_BENCH_PUBLISH_OPTIONS"),
                        help="options for every publish (default: --complete and "
                        "--delta-from 3 where the publisher offers them)")
    parser.add_argument("--publish-largest", choices=("yes", "no", "only"),
                        default=os.environ.get("QOR_BENCH_PUBLISH_LARGEST", "no"),
                        help="also publish every version of %s and print the publisher's time, "
                        "memory and objects (only: nothing else; default no: it takes "
                        "most of an hour on two cores)" % LARGEST)
    parser.add_argument("--installer", metavar="RELEASE",
                        default=os.environ.get("QOR_BENCH_INSTALLER"),
                        help="only this: the two newest versions of RELEASE published as "
                        "their trees and as one .tar.xz each, a client updated in both")
    parser.add_argument("--tar-bsdiff-max-mib", type=int, default=200)
    parser.add_argument("--tar-bsdiff-minutes", type=int, default=20)
    parser.add_argument("releases", nargs="*")
    args = parser.parse_args()
    args.quick = args.quick or os.environ.get("QOR_BENCH_QUICK") == "1"
    if args.quick and not args.releases:
        args.releases = list(QUICK)
    return args


def main():
    args = options()
    started = time.monotonic()
    missing = [t for t in TOOLS if shutil.which(t) is None and
               not os.path.exists("/usr/sbin/" + t)]
    if missing:
        raise SystemExit("missing tools: %s (bench/realworld/run.sh installs them)"
                         % " ".join(missing))
    cache = os.path.abspath(args.cache)
    # a folder of its own, so that two runs on one cache do not meet
    os.makedirs(os.path.join(cache, "work"), exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=os.path.join(cache, "work"))
    if args.installer:
        try:
            lines = report.installer_lines(measure_installer(args, cache, work))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        lines += ["", "ran in %.0f s" % (time.monotonic() - started)]
        print("\n".join(lines))
        save_results(cache, "installer", lines)
        return
    try:
        pairs = measure_all(args, cache, work) if args.publish_largest != "only" else []
        publishing = (measure_largest(args, cache, work)
                      if args.publish_largest != "no" and not args.no_ours else None)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report_all(pairs, publishing, cache, started)


def measure_all(args, cache, work):
    figures = common.Figures(os.path.join(cache, "figures"), args.recompute)
    file_figures = common.Figures(os.path.join(cache, "figures", "files"), args.recompute)
    tools = tools_of(args)

    pairs = []
    for release in fetch.load_releases(args.releases):
        timed("fetching %s" % release.name, lambda: fetch.fetch(release, cache))()
        common.log("%s: %s" % (release.name, ", ".join(v.number for v in release.versions)))
        measured = {}
        if not args.no_ours and release.pairs():
            measured = timed("ours, %s" % release.name,
                             lambda: ours.measure(tools, release,
                                                  os.path.join(work, "ours")))()
        for label, old, new in release.pairs():
            if args.ours_only:
                pairs.append({"release": release.name, "label": label, "old": old.number,
                              "new": new.number, "what": release.what,
                              "package_bytes": new.package_bytes,
                              "ours": measured.get(label)})
                continue
            key = key_of(release, old, new)
            what = "%s %s -> %s" % (release.name, old.number, new.number)
            peer = figures.get(key + "-peers", timed(
                "peers, " + what, lambda: peers.measure(old.tree, new.tree,
                                                         os.path.join(work, "peers"),
                                                         args.jobs,
                                                         args.tar_bsdiff_max_mib << 20,
                                                         args.tar_bsdiff_minutes * 60)))
            files = figures.get(key + "-files", timed(
                "per-file figures, " + what,
                lambda: perfile.PairAnalysis(old.tree, new.tree, os.path.join(work, "files"),
                                             args.jobs, file_figures).run()))
            pairs.append({"release": release.name, "what": release.what, "label": label,
                          "old": old.number, "new": new.number,
                          "package_bytes": new.package_bytes, "peers": peer, "files": files,
                          "ours": measured.get(label)})
    return pairs


def tools_of(args):
    tools = ours.Tools(os.path.abspath(args.build), args.publisher, args.library, args.client,
                       None if args.publish_options is None
                       else shlex.split(args.publish_options))
    if tools.missing and not args.no_ours:
        raise SystemExit("missing %s (build the project first)" % ", ".join(tools.missing))
    return tools


def measure_installer(args, cache, work):
    release = fetch.load_releases([args.installer])[0]
    timed("fetching %s" % release.name, lambda: fetch.fetch(release, cache))()
    if len(release.versions) < 2:
        raise SystemExit("%s: fewer than two versions to update between" % release.name)
    return timed("tree against installer, %s" % release.name,
                 lambda: ours.measure_installer(tools_of(args), release,
                                                os.path.join(work, "installer")))()


def measure_largest(args, cache, work):
    tools = tools_of(args)
    release = fetch.load_releases([LARGEST])[0]
    timed("fetching %s" % release.name, lambda: fetch.fetch(release, cache))()
    rows = timed("publishing every version of %s" % release.name,
                 lambda: ours.measure_publishing(tools, release, os.path.join(work, "publish")))()
    return {"release": release.name, "options": tools.publish_options, "versions": rows}


def report_all(pairs, publishing, cache, started):
    lines = ["Real release trees (cache %s, %.1f GiB on disk)" % (
        cache, common.disk_usage(cache) / 2**30)]
    for p in pairs:
        lines.append("  %-17s %-8s %s -> %s  (%s)" % (p["release"], p["label"], p["old"],
                                                      p["new"], p["what"]))
    if pairs and "peers" not in pairs[0]:
        lines += report.ours_lines(pairs) + report.package_lines(pairs)
    elif pairs:
        lines += report.render(pairs)
    lines += report.publishing_lines(publishing) if publishing else []
    lines += ["", "ran in %.0f s" % (time.monotonic() - started)]
    print("\n".join(lines))
    results, stamp = save_results(cache, "realworld", lines)
    with open(os.path.join(results, "realworld-%s.json" % stamp), "w") as f:
        json.dump([{k: v for k, v in p.items() if k not in ("files", "sum")} |
                   {"summary": {k: v for k, v in p.get("sum", {}).items()
                                if k not in ("c_top", "d_largest")}} for p in pairs],
                  f, indent=1)
    if publishing:
        with open(os.path.join(results, "realworld-%s-publish.json" % stamp), "w") as f:
            json.dump(publishing, f, indent=1)
    print("results: %s/realworld-%s.{txt,json}" % (results, stamp))


def save_results(cache, name, lines):
    """The printed lines in CACHE/results/NAME-STAMP.txt."""
    results = os.path.join(cache, "results")
    os.makedirs(results, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(results, "%s-%s.txt" % (name, stamp)), "w") as f:
        f.write("\n".join(lines) + "\n")
    return results, stamp


if __name__ == "__main__":
    main()
