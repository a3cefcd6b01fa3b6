#!/usr/bin/env python3
"""Fetches the real release trees of releases.json into the cache and
unpacks each version as one tree (the union of its packages):

    CACHE/downloads/<package file>       .deb from apt-get download, .tgz from npm pack
    CACHE/trees/<release>/<version>/     regular files only

Symbolic links are dropped from the trees: they carry no content to
transfer, and qor-publish refuses them.

    fetch.py [--cache DIR] [--offered] [RELEASE...]
        --offered   print what the archive and the registry offer now
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


class Version:
    """One version of a release: its tree and its distributed packages."""

    def __init__(self, release, number, tree, packages):
        self.release, self.number, self.tree, self.packages = release, number, tree, packages

    @property
    def package_bytes(self):
        return sum(os.path.getsize(p) for p in self.packages)

    def __repr__(self):
        return "%s %s" % (self.release, self.number)


class Release:
    def __init__(self, entry):
        self.name = entry["name"]
        self.kind = entry["kind"]
        self.what = entry["what"]
        self.packages = entry["packages"]
        self.pinned = entry["versions"]
        self.versions = []  # Version objects once fetched, oldest first

    def pairs(self):
        """(label, old, new): one version behind, and three behind or the
        furthest the versions allow."""
        if len(self.versions) < 2:
            return []
        new = self.versions[-1]
        pairs = [("1 behind", self.versions[-2], new)]
        far = max(0, len(self.versions) - 4)
        if far < len(self.versions) - 2:
            pairs.append(("%d behind" % (len(self.versions) - 1 - far), self.versions[far], new))
        return pairs


def load_releases(names=()):
    with open(os.path.join(HERE, "releases.json")) as f:
        releases = [Release(e) for e in json.load(f)["releases"]]
    if names:
        unknown = set(names) - {r.name for r in releases}
        if unknown:
            raise SystemExit("unknown release(s): %s" % ", ".join(sorted(unknown)))
        releases = [r for r in releases if r.name in names]
    return releases


def deb_versions_offered(package):
    """Versions apt-cache madison lists, oldest first."""
    text = subprocess.run(["apt-cache", "madison", package], capture_output=True,
                          text=True).stdout
    versions = sorted({line.split("|")[1].strip() for line in text.splitlines() if "|" in line},
                      key=DebianVersionKey)
    return versions


class DebianVersionKey:
    """Orders Debian versions with dpkg itself."""

    def __init__(self, version):
        self.version = version

    def __lt__(self, other):
        return subprocess.run(["dpkg", "--compare-versions", self.version, "lt",
                               other.version]).returncode == 0


def npm_versions_offered(package):
    text = subprocess.run(["npm", "view", package, "versions", "--json"], capture_output=True,
                          text=True, timeout=120).stdout
    return [v for v in json.loads(text or "[]") if re.fullmatch(r"[0-9.]+", v)]


def deb_file(downloads, package, version):
    """The .deb of package=version, downloaded once."""
    quoted = version.replace(":", "%3a")
    for name in os.listdir(downloads):
        if name.startswith("%s_%s_" % (package, quoted)) and name.endswith(".deb"):
            return os.path.join(downloads, name)
    result = subprocess.run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root",
                             "%s=%s" % (package, version)], cwd=downloads,
                            capture_output=True, text=True)
    if result.returncode != 0:
        return None
    for name in os.listdir(downloads):
        if name.startswith("%s_%s_" % (package, quoted)) and name.endswith(".deb"):
            return os.path.join(downloads, name)
    return None


def npm_file(downloads, package, version):
    """The npm tarball of package@version, packed once."""
    target = os.path.join(downloads, "%s-%s.tgz" % (package.lstrip("@").replace("/", "-"),
                                                  version))
    if os.path.exists(target):
        return target
    staging = common.fresh_folder(target + ".d")
    result = subprocess.run(["npm", "pack", "--silent", "--pack-destination", staging,
                             "%s@%s" % (package, version)], capture_output=True, text=True,
                            timeout=600)
    packed = [n for n in os.listdir(staging) if n.endswith(".tgz")]
    if result.returncode != 0 or len(packed) != 1:
        shutil.rmtree(staging, ignore_errors=True)
        return None
    os.replace(os.path.join(staging, packed[0]), target)
    shutil.rmtree(staging)
    return target


def unpack(kind, package_files, tree):
    """Unpacks the packages into tree (atomically: a tree is whole or absent)."""
    if os.path.isdir(tree):
        return
    staging = common.fresh_folder(tree + ".tmp")
    for path in package_files:
        if kind == "deb":
            common.run(["dpkg-deb", "-x", path, staging])
        else:
            unpacked = common.fresh_folder(staging + ".npm")
            common.run(["tar", "-xzf", path, "-C", unpacked])
            # npm tarballs hold one folder, "package/"
            inner = os.path.join(unpacked, "package")
            common.run(["cp", "-a", (inner if os.path.isdir(inner) else unpacked) + "/.",
                        staging])
            shutil.rmtree(unpacked)
    for folder, dirs, names in os.walk(staging):
        for name in names + dirs:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                os.unlink(path)
    common.run(["chmod", "-R", "u+rwX", staging])
    os.replace(staging, tree)


def fetch_packages(release, version, downloads):
    files = []
    for package in release.packages:
        if release.kind == "deb":
            path = deb_file(downloads, package, version)
        else:
            path = npm_file(downloads, package, version)
        if path is None:
            return None
        files.append(path)
    return files


def fetch(release, cache):
    """Fills release.versions; a pinned Debian version that cannot be had
    any more gives way to the versions the archive offers now."""
    downloads = os.path.join(cache, "downloads")
    os.makedirs(downloads, exist_ok=True)
    numbers = list(release.pinned)
    fetched = [fetch_packages(release, n, downloads) for n in numbers]
    if None in fetched and release.kind == "deb":
        offered = deb_versions_offered(release.packages[0])
        common.log("%s: pinned versions %s not all available; using the archive's %s"
                   % (release.name, ", ".join(numbers), ", ".join(offered)))
        numbers = offered
        fetched = [fetch_packages(release, n, downloads) for n in numbers]
    release.versions = []
    for number, files in zip(numbers, fetched):
        if files is None:
            common.log("%s %s: could not be fetched, left out" % (release.name, number))
            continue
        tree = os.path.join(cache, "trees", release.name, number.replace(":", "_"))
        unpack(release.kind, files, tree)
        release.versions.append(Version(release.name, number, tree, files))
    return release


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("QOR_BENCH_REALWORLD_CACHE")
                        or common.default_cache())
    parser.add_argument("--offered", action="store_true")
    parser.add_argument("releases", nargs="*")
    args = parser.parse_args()
    for release in load_releases(args.releases):
        if args.offered:
            offered = (deb_versions_offered if release.kind == "deb"
                       else npm_versions_offered)(release.packages[0])
            print("%-18s %s" % (release.name, " ".join(offered[-6:])))
            continue
        fetch(release, args.cache)
        for v in release.versions:
            print("%-18s %-24s %9d package bytes  %s" % (release.name, v.number,
                                                         v.package_bytes, v.tree))


if __name__ == "__main__":
    main()
