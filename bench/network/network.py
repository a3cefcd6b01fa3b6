#!/usr/bin/env python3
"""Updates over an emulated real link (default 40 ms round trip, 50 Mbit/s):
tc netem on the loopback of a private network namespace where the kernel
has netem, else the relay of bench/support/relay.py in front of nginx.

1. A real release tree of about 1,800 files (bench/realworld's postgresql-15,
   fetched into its cache when missing) updated one version behind, the
   client's base store holding the old version: wall time against bytes /
   bandwidth + 10 round trips, requests, connections.
2. A small real tree (/usr/include/linux) published as 100 versions, pruning
   off: metadata per run (channel.qor and the file lists fetched) at 10 and
   at 100 versions against one version's list, and the bytes on the wire of
   a run when nothing is new (the conditional request's 304).

PELVANE_CONNECTIONS, when set, reaches the client; --connections 1,4 runs
the update once per value.

    network.py --build DIR [--rtt-ms 40] [--rate-mbit 50] [--connections LIST]
               [--versions 10,100] [--release postgresql-15] [--small-tree DIR]
               [--relay] [--quick]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "realworld"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import common  # noqa: E402
import fetch  # noqa: E402
import ours  # noqa: E402
import relay  # noqa: E402

INSIDE = "QOR_BENCH_NETNS"  # set in the private network namespace


def netem_available():
    """True when a private network namespace can get a netem qdisc."""
    if os.geteuid() != 0 or not shutil.which("tc") or not shutil.which("unshare"):
        return False
    probe = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up && "
                            "tc qdisc add dev lo root netem delay 1ms"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return probe.returncode == 0


class NetemLink:
    """The loopback of this (private) namespace delayed by half the round
    trip per packet and shaped to the rate while it is started. Both
    directions pass lo's one queue, so they share the rate."""

    kind = "tc netem"

    def __init__(self, server_port, rtt_ms, rate_mbit):
        self.port, self.rtt_ms, self.rate_mbit = server_port, rtt_ms, rate_mbit

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self):
        subprocess.run(["tc", "qdisc", "add", "dev", "lo", "root", "netem", "delay",
                        "%gms" % (self.rtt_ms / 2), "rate", "%gmbit" % self.rate_mbit,
                        "limit", "100000"], check=True)
        return self

    def stop(self):
        subprocess.run(["tc", "qdisc", "del", "dev", "lo", "root"], check=False)

    def counts(self):
        return None


class RelayLink(relay.Relay):
    kind = "relay"

    def __init__(self, server_port, rtt_ms, rate_mbit):
        super().__init__(("127.0.0.1", server_port), rtt_ms, rate_mbit)


def repository_folder(work, name):
    """Where a benchmark repository goes: tmpfs when it has room, so that
    publishing a hundred versions costs seconds, not the disk's flushes
    (what is measured is the client's traffic)."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        stat = os.statvfs(shm)
        if stat.f_bavail * stat.f_frsize > 4 << 30:
            return tempfile.mkdtemp(prefix="qor-network-%s-" % name, dir=shm)
    return os.path.join(work, name)


def client_folder(work, cleanups):
    """Where the update's clients go: a new ext4 of their own when we may
    make one (root, mkfs.ext4, a loop device), else the work folder. An
    ext4 that has freed many inodes finds room for new ones more slowly (it
    passes over recently freed groups), which showed as 0.1 to 0.3 s of
    noise in runs made on a long-used file system."""
    if os.geteuid() != 0 or not shutil.which("mkfs.ext4"):
        return work
    image = os.path.join(work, "clients.img")
    mount = os.path.join(work, "clients")
    os.makedirs(mount)
    with open(image, "wb") as f:
        f.truncate(4 << 30)
    made = subprocess.run(["mkfs.ext4", "-q", "-F", image], capture_output=True)
    if made.returncode != 0 or subprocess.run(["mount", "-o", "loop", image, mount],
                                              capture_output=True).returncode != 0:
        print("(no loop-mounted file system for the clients: they go to %s)" % work)
        return work
    cleanups.append(lambda: subprocess.run(["umount", mount], check=False))
    print("(clients on a new ext4, loop-mounted at %s)" % mount)
    return mount


def requests_by_kind(lines):
    """Requests and bytes sent (headers included) per kind of object, and
    the bytes of the requests themselves."""
    kinds = {}
    asked = 0
    for line in lines:
        found = ours.LOG_LINE.match(line)
        if not found:
            continue
        _, uri, status, _, wire, request, _ = found.groups()
        name = uri.rsplit("/", 1)[-1]
        if name == "channel.qor":
            kind = "channel.qor %s" % status
        elif name == "list.json.zst":
            kind = "file lists"
        elif "/history/" in uri:
            kind = "history"
        elif "/cidx/" in uri:
            kind = "chunk indexes"
        else:
            kind = "ranges" if status == "206" else "whole files"
        entry = kinds.setdefault(kind, [0, 0])
        entry[0] += 1
        entry[1] += int(wire)
        asked += int(request)
    return kinds, asked


class Measured:
    """nginx's log and the link's counts over one client run."""

    def __init__(self, web, link):
        self.web, self.link = web, link

    def __enter__(self):
        time.sleep(0.2)
        self.mark = len(self.web.access_lines())
        self.before = self.link.counts()
        return self

    def __exit__(self, *exc):
        time.sleep(0.3)  # nginx writes the last line after the body
        self.lines = self.web.access_lines()[self.mark:]
        self.traffic = ours.traffic(self.lines)
        self.kinds, self.asked = requests_by_kind(self.lines)
        after = self.link.counts()
        self.link_counts = (None if after is None else
                            {k: after[k] - self.before[k] for k in after})
        return False


def sanity(link, path, large_path, rtt_ms, rate_mbit):
    first, kept, size, seconds = relay.measure("127.0.0.1", int(link.url.rsplit(":", 1)[1]),
                                               path, large_path)
    print("== the link (%s), set to %g ms and %g Mbit/s" % (link.kind, rtt_ms, rate_mbit))
    print("   tiny request, new connection  %7.1f ms   (2 round trips: %g ms)"
          % (first, 2 * rtt_ms))
    print("   tiny request, kept connection %7.1f ms   (1 round trip: %g ms)" % (kept, rtt_ms))
    print("   one %.1f MiB answer            %7.1f Mbit/s (%.2f s)"
          % (size / 1048576, size * 8 / seconds / 1e6 if seconds else 0, seconds))


def client_env(client, connections):
    if connections:
        client.env["PELVANE_CONNECTIONS"] = connections
    else:
        client.env.pop("PELVANE_CONNECTIONS", None)


def update_bench(args, tools, cache, work, make_link, cleanups):
    release = fetch.fetch(fetch.load_releases([args.release])[0], cache)
    if len(release.versions) < 2:
        raise SystemExit("%s: fewer than two versions could be fetched" % args.release)
    old, new = release.versions[-2], release.versions[-1]
    files = len(common.tree_files(new.tree))
    print("== %s %s -> %s: %d files, %.1f MiB" % (release.name, old.number, new.number, files,
                                                   common.tree_bytes(new.tree) / 1048576))
    repository = ours.Repository(tools, repository_folder(work, "update"))
    cleanups.append(repository.work)
    clients_at = client_folder(work, cleanups)
    repository.publish("1.0.0", old.tree)
    web = ours.WireNginx(repository.root).start()
    rows = []
    try:
        clients = []
        # one client per setting over the link, and one straight from nginx: what
        # the update costs without the link
        runs = [(c, True) for c in args.connections] + [(args.connections[0], False)]
        for number, (connections, over_link) in enumerate(runs):
            client = ours.Client(tools, repository, os.path.join(clients_at, "update",
                                                                 "client-%d" % number), web.url)
            client_env(client, connections)
            client.update("")  # installs the old version straight from nginx
            client.forget_target()
            label = "%s%s" % (connections or "(default)", "" if over_link else ", loopback")
            clients.append((label, over_link, client, "1.0.0"))
        # and a first install of the new version over the link: nothing held
        first = ours.Client(tools, repository, os.path.join(clients_at, "update", "first"), web.url)
        client_env(first, args.connections[0])
        clients.append(("%s, first install" % (args.connections[0] or "(default)"), True, first, ""))
        repository.publish("2.0.0", new.tree)
        link = make_link(web.port).start()
        try:
            channel = "/%s/%s/channel.qor" % (ours.PRODUCT, ours.CHANNEL)
            largest = max(common.tree_files(new.tree).items(), key=lambda i: os.path.getsize(i[1]))
            sanity(link, channel, "/%s/%s/2.0.0/files/%s" % (ours.PRODUCT, ours.CHANNEL,
                                                             largest[0]),
                   args.rtt_ms, args.rate_mbit)
            for label, over_link, client, installed in clients:
                client.url = link.url if over_link else web.url
                # what the publish left dirty is not the client's to flush
                os.sync()
                with Measured(web, link) as seen:
                    cost = client.update(installed)
                wrong, _ = ours.same_files(client.target, new.tree)
                if wrong:
                    raise RuntimeError("Target differs from %s in %d files (%s)"
                                       % (new.number, len(wrong), wrong[0]))
                rows.append((label, over_link, cost, seen))
        finally:
            link.stop()
    finally:
        web.stop()
    rate = args.rate_mbit * 1e6 / 8
    print()
    print("%-20s %8s %9s %9s %8s %8s %9s %8s %11s %6s" % (
        "connections", "wall s", "KiB down", "KiB up", "requests", "conns", "link conns",
        "ideal s", "wall/ideal", "goal"))
    for label, over_link, cost, seen in rows:
        down = seen.traffic["wire"]
        up = seen.asked
        ideal = down / rate + 10 * args.rtt_ms / 1000
        link_conns = seen.link_counts["connections"] if seen.link_counts and over_link else "-"
        print("%-20s %8.2f %9.0f %9.0f %8d %8d %9s %8s %11s %6s" % (
            label, cost.wall, down / 1024, up / 1024, seen.traffic["requests"],
            seen.traffic["connections"], link_conns, "%.2f" % ideal if over_link else "-",
            "%.2f" % (cost.wall / ideal) if over_link else "-", "<=1.2" if over_link else ""))
    print("  (ideal: bytes nginx sent, headers included, / %g Mbit/s + 10 round trips of %g ms;"
          % (args.rate_mbit, args.rtt_ms))
    print("   requests one after another cost at least requests x round trip)")
    loopback = [cost.wall for _, over_link, cost, _ in rows if not over_link]
    for label, over_link, cost, seen in rows:
        if over_link and loopback and not label.endswith("first install"):
            extra = cost.wall - loopback[0]
            print("   %s: the link added %.1f s to the loopback run, %.1f ms per request" % (
                label, extra, 1000 * extra / max(1, seen.traffic["requests"])))
    for label, over_link, cost, seen in rows:
        parts = ", ".join("%s %d (%.0f KiB)" % (k, n, b / 1024)
                          for k, (n, b) in sorted(seen.kinds.items()))
        print("   %s: %s%s" % (label, parts, "; requests x round trip %.1f s" % (
            seen.traffic["requests"] * args.rtt_ms / 1000) if over_link else ""))


def listing_everything(channel_dir):
    """The bytes channel.qor would have if it listed every version, as it did
    before history objects: its own, plus the entries of the history chain
    it names (the same compact JSON), less its reference to the chain; and
    how many versions it lists and how many objects the chain has."""
    with open(os.path.join(channel_dir, "channel.qor"), "rb") as f:
        text = f.read()
    payload = json.loads(text.split(b"\n\n", 1)[1])
    size = len(text)
    objects = 0
    link = payload.get("history")
    if link:
        size -= len(('"history":%s,' % json.dumps(link, separators=(",", ":"))).encode())
    while link:
        path = os.path.join(channel_dir, "history", link["sha256"] + ".json.zst")
        history = json.loads(subprocess.run(["zstd", "-dc", path], check=True,
                                            stdout=subprocess.PIPE).stdout)
        for entry in history["versions"]:
            size += len(json.dumps(entry, separators=(",", ":"), ensure_ascii=False).encode()) + 1
        link = history.get("previous")
        objects += 1
    return size, len(payload["versions"]), objects


def change_one_file(tree, names, number):
    """One real file of the tree gets a line, as a small release changes it."""
    path = os.path.join(tree, names[number % len(names)])
    with open(path, "a") as f:
        f.write("/* release %d */\n" % number)


def metadata_bench(args, tools, work, make_link, cleanups):
    tree = os.path.join(work, "small-tree")
    shutil.copytree(args.small_tree, tree, symlinks=True)
    for folder, dirs, names in os.walk(tree):
        for name in names + dirs:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not (os.path.isfile(path) or os.path.isdir(path)):
                os.unlink(path)
    names = sorted(common.tree_files(tree))
    repository = ours.Repository(tools, repository_folder(work, "meta"))
    cleanups.append(repository.work)
    web = ours.WireNginx(repository.root).start()
    channel_dir = os.path.join(repository.root, ours.PRODUCT, *ours.CHANNEL.split("/"))
    print()
    print("== %s: %d files, %.1f MiB, published as %d versions (no pruning)" % (
        args.small_tree, len(names), common.tree_bytes(tree) / 1048576, max(args.versions)))
    client = ours.Client(tools, repository, os.path.join(work, "meta", "client"), web.url)
    client_env(client, args.connections[0])
    link = make_link(web.port).start()
    rows = []
    published = 0
    pruned = None
    began = time.monotonic()
    try:
        for checkpoint in sorted(args.versions):
            while published < checkpoint - 1:
                published += 1
                change_one_file(tree, names, published)
                repository.publish("%d.0.0" % published, tree)
            if published:
                client.url = web.url  # the previous version, installed straight from nginx
                client.update("")
                client.forget_target()
            published += 1
            change_one_file(tree, names, published)
            repository.publish("%d.0.0" % published, tree)
            # the bytes of a run one behind do not depend on the link: straight from nginx
            with Measured(web, link) as behind:
                client.update("%d.0.0" % (published - 1) if published > 1 else "")
            client.forget_target()
            with Measured(web, link) as nothing:
                check = common.run_measured([tools.driver, tools.library, link.url,
                                             os.path.join(client.work, "extract"), client.target,
                                             "%d.0.0" % published], env=client.env)
            if check.status != 0:
                raise RuntimeError("the check with nothing new failed (%d)" % check.status)
            # older than every version channel.qor lists: the history comes along
            with Measured(web, link) as far:
                client.update("1.0.0")
            client.forget_target()
            list_size = os.path.getsize(os.path.join(channel_dir, "%d.0.0" % published,
                                                     "list.json.zst"))
            channel_size = os.path.getsize(os.path.join(channel_dir, "channel.qor"))
            before = listing_everything(channel_dir)
            rows.append((published, channel_size, list_size, behind, check, nothing, far, before))
        keep = min(args.versions)
        common.run([tools.publish, "prune", "--repo", repository.root, "--product", ours.PRODUCT,
                    "--channel", ours.CHANNEL, "--key-file", repository.key, "--keep-versions",
                    str(keep)], stdout=subprocess.DEVNULL)
        pruned = keep, os.path.getsize(os.path.join(channel_dir, "channel.qor"))
    finally:
        link.stop()
        web.stop()
    print("   (published and measured in %.0f s; repository in %s)"
          % (time.monotonic() - began, os.path.dirname(repository.root)))
    print()
    print("%-9s %12s %10s %14s %9s %6s %16s" % ("versions", "channel.qor", "one list",
                                                "metadata/run", "x list", "goal",
                                                "listing all: x"))
    for versions, channel_size, list_size, behind, _, _, _, (before, _, _) in rows:
        metadata = sum(b for k, (n, b) in behind.kinds.items()
                       if k.startswith("channel.qor") or k == "file lists")
        print("%-9d %10d B %8d B %12d B %9.2f %6s %8d B %5.2f" % (
            versions, channel_size, list_size, metadata, metadata / list_size, "<1.5x", before,
            (metadata - channel_size + before) / list_size))
    print("  (metadata/run: channel.qor and the file lists a run one version behind fetched,")
    print("   bytes nginx sent with headers; one list: the newest version's list.json.zst;")
    print("   listing all: channel.qor and metadata/run if channel.qor listed every version, as")
    print("   before history objects)")
    for versions, _, _, _, _, _, _, (_, listed, objects) in rows:
        print("   %d versions published: channel.qor lists %d, %d history objects hold the rest"
              % (versions, listed, objects))
    if pruned is not None:
        print("   pruned to the newest %d (qor-publish prune --keep-versions): channel.qor %d B"
              % pruned)
    for versions, _, _, behind, _, _, _, _ in rows:
        print("   %d versions, one behind: %s" % (versions, ", ".join(
            "%s %d (%d B)" % (k, n, b) for k, (n, b) in sorted(behind.kinds.items()))))
    print()
    print("%-9s %14s %14s %14s %9s" % ("versions", "history", "file lists", "metadata/run",
                                         "x list"))
    for versions, _, list_size, _, _, _, far, _ in rows:
        history = far.kinds.get("history", [0, 0])
        lists = far.kinds.get("file lists", [0, 0])
        metadata = sum(b for k, (n, b) in far.kinds.items()
                       if k.startswith("channel.qor") or k in ("file lists", "history"))
        print("%-9d %5d, %6d B %5d, %6d B %12d B %9.2f" % (
            versions, history[0], history[1], lists[0], lists[1], metadata, metadata / list_size))
    print("  (a client at 1.0.0, older than every version channel.qor lists, updating to the")
    print("   newest: requests and bytes of the history objects and file lists, and all its")
    print("   metadata; its channel.qor was cached, so that request is a 304)")
    print()
    print("%-9s %10s %12s %14s %14s %9s %8s" % ("versions", "requests", "answers", "wire (nginx)",
                                                "wire (link)", "check s", "goal"))
    for versions, _, _, _, check, nothing, _, _ in rows:
        statuses = ",".join(sorted(k.split()[-1] for k in nothing.kinds))
        nginx_wire = nothing.traffic["wire"] + nothing.asked
        counts = nothing.link_counts
        link_wire = "%d B" % (counts["up"] + counts["down"]) if counts else "-"
        print("%-9d %10d %12s %12d B %14s %9.3f %8s" % (
            versions, nothing.traffic["requests"], statuses, nginx_wire, link_wire, check.wall,
            "<4 KiB"))
    print("  (a run when nothing is new: request and answer bytes, headers included; the link's")
    print("   count is every byte both ways on its TCP streams)")


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--rtt-ms", type=float, default=40.0)
    parser.add_argument("--rate-mbit", type=float, default=50.0)
    parser.add_argument("--connections", default=os.environ.get("PELVANE_CONNECTIONS", ""),
                        help="comma-separated PELVANE_CONNECTIONS values, one update each")
    parser.add_argument("--versions", default="10,100")
    parser.add_argument("--release", default="postgresql-15")
    parser.add_argument("--small-tree", default="/usr/include/linux")
    parser.add_argument("--cache", default=os.environ.get("QOR_BENCH_REALWORLD_CACHE")
                        or common.default_cache())
    parser.add_argument("--relay", action="store_true", help="the relay even where netem works")
    parser.add_argument("--quick", action="store_true", default=bool(os.environ.get(
        "QOR_BENCH_QUICK")), help="10 and 30 versions")
    parser.add_argument("--only", choices=("update", "metadata"))
    args = parser.parse_args()
    args.connections = [c.strip() for c in args.connections.split(",")] or [""]
    args.versions = [int(v) for v in ("10,30" if args.quick and args.versions == "10,100"
                                      else args.versions).split(",")]
    return args


def main():
    args = options()
    if (not args.relay and not os.environ.get(INSIDE) and netem_available()):
        # the trees are fetched first, while the network is there
        if args.only != "metadata":
            fetch.fetch(fetch.load_releases([args.release])[0], args.cache)
        command = ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                   sys.executable] + sys.argv
        os.execvpe("unshare", command, dict(os.environ, **{INSIDE: "1"}))
    use_netem = bool(os.environ.get(INSIDE))
    link_class = NetemLink if use_netem else RelayLink
    if not use_netem:
        print("(this kernel has no netem queueing discipline, or --relay: the link is the relay)")

    def make_link(port):
        return link_class(port, args.rtt_ms, args.rate_mbit)

    tools = ours.Tools(args.build)
    if tools.missing:
        raise SystemExit("missing %s (build qor-publish Pelvane chunk_bench)" % tools.missing)
    work = tempfile.mkdtemp(prefix="qor-network-")
    cleanups = [work]
    try:
        if args.only != "metadata":
            update_bench(args, tools, args.cache, work, make_link, cleanups)
        if args.only != "update":
            metadata_bench(args, tools, work, make_link, cleanups)
    finally:
        # the last first: a file system is unmounted before its image goes
        for cleanup in reversed(cleanups):
            if callable(cleanup):
                cleanup()
            else:
                shutil.rmtree(cleanup, ignore_errors=True)


if __name__ == "__main__":
    main()
