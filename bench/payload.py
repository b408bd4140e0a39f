#!/usr/bin/env python3
"""Assembles the benchmark payload and its manifest.

    payload.py WORKDIR

Takes files that installed Debian packages ship (the lists of `dpkg -L`),
hard-links them (or copies them when a link is not possible) into
WORKDIR/payload/<group>/<path below /usr>, and writes WORKDIR/bench.json,
a manifest that installs the whole tree under %APPFOLDER%, mirroring the
folders. The selection is deterministic: every list is sorted, and a group
with a budget takes every k-th file of its sorted list so that it stays
near the budget while spreading over the whole package.
"""
import json
import os
import shutil
import subprocess
import sys

# (group, source, byte budget or None for all). A source is a Debian
# package name or "gz:" + folder (every *.gz below it).
GROUPS = [
    ("mingw-headers-libs", "mingw-w64-x86-64-dev", None),       # headers, import libraries
    ("mingw-gcc", "gcc-mingw-w64-x86-64-posix", None),         # compiler executables, static libraries
    ("llvm-dev", "llvm-14-dev", 90 << 20),                      # headers, static libraries
    ("wine", "libwine", 70 << 20),                              # PE DLLs, ELF shared objects
    ("gz-doc", "gz:/usr/share/doc", 8 << 20),                   # already compressed text
    ("gz-man", "gz:/usr/share/man", 2 << 20),
]

DEVICES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}


def safe_name(n):
    """The rule the runtime applies to file and folder names."""
    if not n or n in (".", "..") or n[-1] in ". ":
        return False
    if any(ord(c) < 32 or c in '\\/:<>"|?*' for c in n):
        return False
    base = n.split(".", 1)[0].upper().rstrip(" ")
    if base in DEVICES or (len(base) == 4 and base[:3] in ("COM", "LPT") and base[3].isdigit()):
        return False
    try:
        n.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def candidates(source):
    if source.startswith("gz:"):
        out = []
        for root, dirs, files in os.walk(source[3:]):
            dirs.sort()
            out += [os.path.join(root, f) for f in files if f.endswith(".gz")]
        return sorted(out)
    text = subprocess.run(["dpkg", "-L", source], check=True, capture_output=True, text=True).stdout
    return sorted(set(text.split("\n")) - {""})


def main():
    work = sys.argv[1]
    payload = os.path.join(work, "payload")
    if os.path.exists(payload):
        shutil.rmtree(payload)
    seen_inodes = set()
    chosen = []  # (relative path below payload, size)
    for group, source, budget in GROUPS:
        files = []
        for p in candidates(source):
            if os.path.islink(p) or not os.path.isfile(p):
                continue
            st = os.stat(p)
            if st.st_size == 0 or (st.st_dev, st.st_ino) in seen_inodes:
                continue
            rel = os.path.relpath(p, "/usr") if p.startswith("/usr/") else p.lstrip("/")
            if not all(safe_name(part) for part in rel.split("/")):
                continue
            seen_inodes.add((st.st_dev, st.st_ino))
            files.append((p, rel, st.st_size))
        total = sum(f[2] for f in files)
        step = 1 if budget is None or total <= budget else -(-total // budget)
        taken = files[::step]
        # Names that differ only in case would meet in one Windows folder.
        folded = set()
        for p, rel, size in taken:
            dst_rel = group + "/" + rel
            key = dst_rel.lower()
            if key in folded:
                continue
            folded.add(key)
            dst = os.path.join(payload, dst_rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            try:
                os.link(p, dst)
            except OSError:
                shutil.copyfile(p, dst)
            chosen.append((dst_rel, size))
        print(f"payload: {group:20s} {source:30s} {len(taken):5d} files "
              f"{sum(t[2] for t in taken) / 1e6:8.1f} MB", file=sys.stderr)

    # The manifest: file entries by data index (names repeat across folders),
    # folders nested like the payload tree.
    files = []
    tree = {"folders": {}, "items": []}
    uninstaller = None
    for rel, size in chosen:
        files.append({"name": rel.rsplit("/", 1)[-1], "source": os.path.join(payload, rel)})
        node = tree
        for part in rel.split("/")[:-1]:
            node = node["folders"].setdefault(part, {"folders": {}, "items": []})
        node["items"].append({"file": len(files) - 1})
        if uninstaller is None and rel.endswith(".exe"):
            uninstaller = os.path.join(payload, rel)
    files.append({"name": "UnStowa32.exe", "source": uninstaller})
    files.append({"name": "UnStowaXP.exe", "source": uninstaller})

    def folder(name, node):
        return {"name": name,
                "folders": [folder(n, node["folders"][n]) for n in sorted(node["folders"])],
                "items": node["items"]}

    manifest = {
        "publisher": "Stowa Bench Works",
        "productKey": "Stowa Bench",
        "version": "1.0",
        "userType": 3,
        "folders": {
            "APPFOLDER": ["%PROGRAMFILES%\\Stowa Bench", "%LOCALAPPDATAROOT%\\Stowa Bench"],
            "APPMENU": ["%PROGRAMSMENU%\\Stowa Bench", "%PROGRAMSMENU%\\Stowa Bench"],
        },
        "files": files,
        "components": [{"name": "Everything", "description": "The benchmark payload", "selected": True,
                        "folders": [folder("%APPFOLDER%", tree)]}],
        "uninstall": {"shortcut": 0},
        "build": {"preset": 6, "dictSize": 8388608, "endMarker": False},
    }
    # Rewritten only when it changes, so that run.sh can keep the package.
    text = json.dumps(manifest, indent=1)
    path = os.path.join(work, "bench.json")
    if not os.path.exists(path) or open(path).read() != text:
        with open(path, "w") as f:
            f.write(text)
    with open(os.path.join(work, "payload.list"), "w") as f:
        for rel, _ in chosen:
            f.write(rel + "\n")
    print(f"{len(chosen)} {sum(s for _, s in chosen)}")


if __name__ == "__main__":
    main()
