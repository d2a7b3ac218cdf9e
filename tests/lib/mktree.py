#!/usr/bin/env python3
"""usage: mktree.py DEST SHAPE[=N]...: a test tree with the shapes backup media
must reproduce (see SHAPES). Contents are fixed, so two runs build the same tree;
BLOCK (default 131072) is the image block size the sizes are chosen around."""
import os
import random
import socket
import stat
import sys

BLOCK = int(os.environ.get("BLOCK", "131072"))
MTIME = 1_600_000_000


def write(path, content, mtime=MTIME, mode=0o644):
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else random.Random(content).randbytes(content))
    os.chmod(path, mode)
    os.utime(path, (mtime, mtime))


def sparse(path, size, pieces):
    with open(path, "wb") as f:
        f.truncate(size)
        for off, n in pieces:
            f.seek(off)
            f.write(random.Random(off).randbytes(n))
    os.utime(path, (MTIME, MTIME))


def sizes(d):
    for n in (0, 1, 511, 512, 513, 4095, 4096, 4097, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK, 2 * BLOCK + 1):
        write(f"{d}/size-{n}", n)
    write(f"{d}/fragment-only", 3000)
    write(f"{d}/multi-block", 7 * BLOCK + 777)
    write(f"{d}/text", b"".join(b"line %08d of a text file\n" % i for i in range(40000)))


def holes(d):
    sparse(f"{d}/sparse", 12 * BLOCK + 99, [(2 * BLOCK, BLOCK), (5 * BLOCK + 100, 300), (12 * BLOCK, 99)])
    sparse(f"{d}/all-hole", 3 * BLOCK + 5, [])


def huge(d):
    size = (1 << 32) + 3 * BLOCK + 123
    sparse(f"{d}/huge", size, [(0, 1000), ((1 << 32) - 500, 1000), (size - 5000, 5000)])


def specials(d):
    write(f"{d}/a-before", b"before\n")
    os.mkfifo(f"{d}/fifo", 0o640)
    os.mknod(f"{d}/chardev", 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(f"{d}/blockdev", 0o600 | stat.S_IFBLK, os.makedev(7, 0))
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(f"{d}/socket")
    write(f"{d}/z-after", b"after\n")


def links(d):
    write(f"{d}/target", b"link target\n")
    for name, target in (("relative", "target"), ("relative-up", "../links/target"), ("absolute", "/etc/hostname"),
                         ("dangling", "no/such/file"), ("long-4095", "/".join(["d" * 255] * 16))):
        os.symlink(target, f"{d}/{name}")
    write(f"{d}/hard-a", 5000)
    os.link(f"{d}/hard-a", f"{d}/hard-b")


def names(d):
    for name in ("x" * 255, "héllo wörld", "日本語のファイル", "emoji-\U0001F600", "with space", "tab\there", "new\nline",
                 "-dash", ".hidden", "back\\slash"):
        write(f"{d}/{name}", name.encode())
    write(os.fsencode(d) + b"/latin1-\xe9\xff", b"raw bytes name\n")


def modes(d):
    for mode in (0o000, 0o4755, 0o2755, 0o600, 0o777, 0o6711):
        write(f"{d}/m{mode:04o}", b"mode", mode=mode)
    for mode in (0o1777, 0o700):
        os.mkdir(f"{d}/dir-{mode:04o}")
        os.chmod(f"{d}/dir-{mode:04o}", mode)
    for t in (0, 1, 2**31 - 1, 2**31 + 5, 1234567890):
        write(f"{d}/t{t}", b"%d\n" % t, mtime=t)


def nested(d):
    d += "".join(f"/level{i}" for i in range(12))
    os.makedirs(d)
    write(f"{d}/deep-file", b"deep\n")


def flat(d, n):
    for i in range(n):
        os.close(os.open(f"{d}/e{i:06d}", os.O_CREAT | os.O_WRONLY, 0o644))


# shape: (its directory below DEST, builder)
SHAPES = {"sizes": ("", sizes), "sparse": ("", holes), "huge": ("", huge), "specials": ("specials", specials),
          "links": ("links", links), "names": ("names", names), "modes": ("modes", modes), "nested": ("", nested),
          "empty": ("empty", lambda d: None), "bigdir": ("bigdir", flat), "flatdir": ("", flat)}


def main(dest, shapes):
    for shape in shapes:
        name, _, n = shape.partition("=")
        sub, build = SHAPES[name]
        os.makedirs(os.path.join(dest, sub), exist_ok=True)
        build(os.path.join(dest, sub).rstrip("/"), *([int(n)] if n else []))
    for path, _, files in os.walk(dest, topdown=False):
        for p in (os.path.join(path, name) for name in files):
            if not stat.S_ISREG(os.lstat(p).st_mode):
                os.utime(p, (MTIME, MTIME), follow_symlinks=False)
        os.utime(path, (MTIME, MTIME))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else sys.exit(__doc__)
