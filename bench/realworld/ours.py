"""Our own figures for the pairs of one release: the versions are published
with the real qor-publish into one repository served by nginx, a client
installs each pair's old version (its base store then holds it, and its
Target is moved away as QorDownloader's finalize step does), and then
updates to the newest version through libPelvane.so (bench/chunks'
driver). nginx's access log gives the bytes it sent (headers included) and
the requests; the driver's process gives wall time and peak RSS."""

import json
import os
import re
import shutil
import subprocess
import sys
import time

import common

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))
from servers import Nginx  # noqa: E402

PRODUCT, CHANNEL = "BENCH", "APP/EN"  # what the driver asks for
LOG_FORMAT = ('$request_method $uri $status range="$http_range" sent=$body_bytes_sent '
              'wire=$bytes_sent request=$request_length conn=$connection')
LOG_LINE = re.compile(r"^(\S+) (\S+) (\d+) .*sent=(\d+) wire=(\d+) request=(\d+) conn=(\d+)")


class WireNginx(Nginx):
    """The test nginx, logging the bytes sent with their headers, the
    request's own length and the connection's serial number beside the body
    bytes."""

    def _write_config(self):
        super()._write_config()
        path = os.path.join(self.workdir, "nginx.conf")
        with open(path) as f:
            text = f.read()
        # our own format in place of the test's, whatever that logs
        text, found = re.subn(r"log_format qor [^;]*;", "log_format qor '%s';" % LOG_FORMAT, text)
        if found != 1:
            raise RuntimeError("tests/support/servers.py no longer writes a log_format qor")
        with open(path, "w") as f:
            f.write(text)


def kind_of(uri, status):
    """What a request fetched: metadata, an index, ranges or whole objects."""
    name = uri.rsplit("/", 1)[-1]
    if name in ("manifest.json", "manifest.json.sig", "channel.qor"):
        return "top level"
    if name == "list.json.zst" or name.endswith(".cidx") or "/cidx/" in uri:
        return "lists, indexes"
    return "ranges" if status == 206 else "whole"


def traffic(lines):
    totals = {"requests": len(lines), "wire": 0, "body": 0, "request_bytes": 0, "kinds": {}}
    connections = set()
    for line in lines:
        found = LOG_LINE.match(line)
        if not found:
            continue
        _, uri, status, body, wire, request, connection = found.groups()
        connections.add(connection)
        totals["wire"] += int(wire)
        totals["body"] += int(body)
        totals["request_bytes"] += int(request)
        kind = totals["kinds"].setdefault(kind_of(uri, int(status)), [0, 0])
        kind[0] += 1
        kind[1] += int(wire)
    totals["connections"] = len(connections)
    return totals


def same_files(target, tree):
    """Files of tree missing or different in target, and target's extras."""
    have = common.tree_files(target)
    want = common.tree_files(tree)
    wrong = [p for p, a in want.items()
             if p not in have or common.sha256_file(have[p]) != common.sha256_file(a)]
    return wrong, [p for p in have if p not in want]


class Tools:
    """The programs under test: those of the build folder unless pointed
    elsewhere (a newer publisher or client). Without publish_options the
    publisher is asked what it offers: a version that is the whole tree,
    and deltas from the last three versions."""

    def __init__(self, build, publisher=None, library=None, driver=None, publish_options=None):
        self.publish = publisher or os.path.join(build, "bin", "qor-publish")
        self.library = library or os.path.join(build, "bin", "libPelvane.so")
        self.driver = driver or os.path.join(build, "bench", "chunks", "chunk_bench")
        self.missing = [p for p in (self.publish, self.library, self.driver)
                        if not os.path.exists(p)]
        if publish_options is None:
            help_text = subprocess.run([self.publish, "--help"], capture_output=True,
                                       text=True).stdout if os.path.exists(self.publish) else ""
            publish_options = ["--complete"] if "--complete" in help_text else []
            if "--delta-from" in help_text:
                publish_options += ["--delta-from", "3"]
        self.publish_options = publish_options


class Repository:
    def __init__(self, tools, work):
        self.tools, self.work = tools, work
        self.root = os.path.join(work, "repo")
        os.makedirs(self.root)
        self.key = os.path.join(work, "publisher.pem")
        self.pin = subprocess.run([tools.publish, "keygen", "--out", self.key],
                                  capture_output=True, text=True, check=True).stdout.strip()
        self.env = dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "publisher-cache"))

    def publish(self, number, tree):
        command = [self.tools.publish, "--repo", self.root, "--product", PRODUCT,
                   "--channel", CHANNEL, "--version", number, "--key-file", self.key,
                   "--notes", "bench"] + self.tools.publish_options + [tree]
        cost = common.run_measured(command, env=self.env, stderr=None)
        if cost.status != 0:
            raise RuntimeError("qor-publish of %s ended with %d" % (tree, cost.status))
        return cost

    def version_folder(self, number):
        return os.path.join(self.root, PRODUCT, *CHANNEL.split("/"), number)

    def version_bytes(self, number):
        return common.disk_usage(self.version_folder(number))


def object_bytes(folder):
    """Bytes of each kind of object of a published version: its files, chunk
    indexes, compressed objects (zst/, framed zsf/), the bundle's delta
    sections and small compressed objects, and the file list."""
    sizes = {kind: sum(os.path.getsize(p) for p in
                       common.tree_files(os.path.join(folder, kind)).values())
             if os.path.isdir(os.path.join(folder, kind)) else 0
             for kind in ("files", "cidx", "zst", "zsf")}
    listed = os.path.join(folder, "list.json.zst")
    files = json.loads(subprocess.run(["zstd", "-dcq", listed], capture_output=True,
                                      check=True).stdout)
    sizes["deltas"] = sum(d["size"] for d in files.get("deltas", []))
    sizes["small objects"] = sum(f["bundle"]["size"] for f in files["files"] if "bundle" in f)
    sizes["list"] = os.path.getsize(listed)
    return sizes


def measure_publishing(tools, release, work):
    """Every version of release published in order into one repository (no
    client): wall and CPU time, peak RSS and the bytes of each kind of
    object, per version."""
    common.fresh_folder(work)
    repository = Repository(tools, work)
    rows = []
    for i, version in enumerate(release.versions):
        number = "%d.0.0" % (i + 1)
        cost = repository.publish(number, version.tree)
        rows.append({"version": version.number, "wall": cost.wall, "cpu": cost.cpu,
                     "peak_rss": cost.peak_rss, "raw": common.tree_bytes(version.tree),
                     "objects": object_bytes(repository.version_folder(number))})
    shutil.rmtree(work, ignore_errors=True)
    return rows


class Client:
    """One client: its own base store and state, a fresh Extract and Target
    for every run."""

    def __init__(self, tools, repository, work, url):
        self.tools, self.repository, self.work, self.url = tools, repository, work, url
        os.makedirs(work)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.lower().endswith("_proxy") and not k.startswith("PELVANE_")}
        self.env.update(XDG_CACHE_HOME=os.path.join(work, "cache"),
                        XDG_STATE_HOME=os.path.join(work, "state"),
                        PELVANE_BENCH_PIN=repository.pin)
        self.target = os.path.join(work, "target")

    def update(self, installed):
        """Runs the driver from `installed` ("" for nothing) to the newest."""
        for folder in ("extract", "target"):
            shutil.rmtree(os.path.join(self.work, folder), ignore_errors=True)
        cost = common.run_measured([self.tools.driver, self.tools.library, self.url,
                                    os.path.join(self.work, "extract"), self.target,
                                    installed], env=self.env, timeout=3600)
        if cost.timed_out:
            raise RuntimeError("the client's update from '%s' took over an hour" % installed)
        if cost.status != 0:
            raise RuntimeError("the client's update from '%s' failed (%d)" % (installed,
                                                                           cost.status))
        return cost

    def forget_target(self):
        """What QorDownloader's finalize leaves: only the base store."""
        for folder in ("extract", "target"):
            shutil.rmtree(os.path.join(self.work, folder), ignore_errors=True)


def measure(tools, release, work):
    """Figures per pair label of release.pairs()."""
    common.fresh_folder(work)
    pairs = release.pairs()
    numbers = {v.number: "%d.0.0" % (i + 1) for i, v in enumerate(release.versions)}
    first = min(release.versions.index(old) for _, old, _ in pairs)
    chain = release.versions[first:]
    repository = Repository(tools, work)
    web = WireNginx(repository.root).start()
    results = {}
    try:
        clients = {}
        publish_cost = None
        for version in chain:
            publish_cost = repository.publish(numbers[version.number], version.tree)
            for label, old, new in pairs:
                if old is version:
                    client = Client(tools, repository, os.path.join(work, "client-%s" %
                                                                    label.replace(" ", "-")),
                                    web.url)
                    client.update("")
                    client.forget_target()
                    clients[label] = client
        newest = chain[-1]
        published = repository.version_bytes(numbers[newest.number])
        for label, old, new in pairs:
            mark = len(web.access_lines())
            time.sleep(0.2)
            cost = clients[label].update(numbers[old.number])
            time.sleep(0.3)  # nginx writes the last line after the body
            seen = traffic(web.access_lines()[mark:])
            wrong, extra = same_files(clients[label].target, new.tree)
            if wrong:
                raise RuntimeError("%s %s: Target differs from the release in %d files (%s)"
                                   % (release.name, label, len(wrong), wrong[0]))
            seen.update(wall=cost.wall, peak_rss=cost.peak_rss, peak_anon=cost.peak_anon,
                        extra_files=len(extra),
                        publish_wall=publish_cost.wall, publish_rss=publish_cost.peak_rss,
                        published_bytes=published, publish_options=tools.publish_options,
                        objects=object_bytes(repository.version_folder(numbers[newest.number])))
            results[label] = seen
    finally:
        web.stop()
    return results


class OnePair:
    """A release cut down to one pair of versions, each given by its own
    tree, so that measure() can publish something other than the release's
    trees (its installers)."""

    class Version:
        def __init__(self, number, tree):
            self.number, self.tree = number, tree

    def __init__(self, name, old, new):
        self.name = name
        self.versions = [OnePair.Version(old[0], old[1]), OnePair.Version(new[0], new[1])]

    def pairs(self):
        return [("1 behind", self.versions[0], self.versions[1])]


def make_installer(tree, folder, name):
    """folder/name: tree as one xz -9 tar, a vendor's single download."""
    os.makedirs(folder)
    out = os.path.join(folder, name)
    with open(out, "wb") as f:
        tar = subprocess.Popen(["tar", "--sort=name", "--owner=0", "--group=0",
                                "--numeric-owner", "--mtime=@0", "-C", tree, "-cf", "-", "."],
                               stdout=subprocess.PIPE)
        xz = subprocess.run(["xz", "-9", "-T1", "-c"], stdin=tar.stdout, stdout=f)
        tar.stdout.close()
        if tar.wait() != 0 or xz.returncode != 0:
            raise RuntimeError("tar | xz of %s failed" % tree)
    return out


def measure_installer(tools, release, work):
    """The two newest versions of release published twice, each into a
    repository of its own: as their trees, and as one file per version
    (NAME.tar.xz of the tree); a client one version behind updates in both.
    Returns the figures of measure() per way, and the installers' sizes."""
    common.fresh_folder(work)
    old, new = release.versions[-2:]
    installers = {}
    for version in (old, new):
        folder = os.path.join(work, "installer-" + version.number.replace(":", "_"))
        installers[version.number] = (folder, make_installer(version.tree, folder,
                                                             release.name + ".tar.xz"))
    ways = {"tree": OnePair(release.name, (old.number, old.tree), (new.number, new.tree)),
            "installer": OnePair(release.name, (old.number, installers[old.number][0]),
                                 (new.number, installers[new.number][0]))}
    figures = {"release": release.name, "old": old.number, "new": new.number,
               "options": tools.publish_options, "tree_bytes": common.tree_bytes(new.tree),
               "installer_bytes": {n: os.path.getsize(p) for n, (_, p) in installers.items()}}
    for way, pair in ways.items():
        figures[way] = measure(tools, pair, os.path.join(work, way))["1 behind"]
    shutil.rmtree(work, ignore_errors=True)
    return figures
