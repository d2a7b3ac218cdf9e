#!/usr/bin/env python3
"""Builds test trees with the shapes that backup media must reproduce.

usage: mktree.py DEST [SHAPE[=ARG] ...]     (no shape: all but bigdir)

Shapes:
  sizes        files of 0, 1, 511, 512, 513 bytes, around 4 KiB and around the
               image block size (BLOCK, default 131072), a fragment-only file,
               a file of several blocks with a tail
  sparse       a file with holes (whole blocks and partial ones)
  huge         a sparse file over 4 GiB with data around the 4 GiB boundary
               and at its end
  specials     a socket, a FIFO, a character and a block device (in specials/)
  links        relative, absolute, dangling symbolic links, a 4095-byte target,
               a hard-linked file
  names        a 255-byte name, UTF-8 names, names with blanks and odd bytes
  modes        modes 000, 4755, 2755, 0600, 0777 files and a 1777 directory
  mtimes       files with mtimes 0, 1, 2^31-1 and 2^31+5
  empty        an empty directory
  nested       a directory chain 12 levels deep
  bigdir=N     a directory of N entries (bigdir/), names e%06d
  flatdir=N    only: DEST itself holds N empty files e%06d (for listings)

File contents are pseudo-random but fixed, so two runs build identical trees.
Every directory's mtime is set last, to a fixed value, after its contents.
"""
import os
import random
import socket
import stat
import sys

BLOCK = int(os.environ.get("BLOCK", "131072"))
FIXED_MTIME = 1_600_000_000


def data(n, seed):
    rnd = random.Random(seed)
    return rnd.randbytes(n)


def write(path, content, mtime=FIXED_MTIME, mode=0o644):
    with open(path, "wb") as f:
        f.write(content)
    os.chmod(path, mode)
    os.utime(path, (mtime, mtime))


def shape_sizes(d):
    sizes = [0, 1, 511, 512, 513, 4095, 4096, 4097,
             BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK, 2 * BLOCK + 1]
    for n in sizes:
        write(os.path.join(d, f"size-{n}"), data(n, n))
    write(os.path.join(d, "fragment-only"), data(3000, 7))
    write(os.path.join(d, "multi-block"), data(7 * BLOCK + 777, 8))
    # compressible content, so compressed images hold compressed blocks
    write(os.path.join(d, "text"), b"".join(b"line %08d of a text file\n" % i for i in range(40000)))


def sparse_file(path, size, pieces, mtime=FIXED_MTIME):
    with open(path, "wb") as f:
        f.truncate(size)
        for off, n, seed in pieces:
            f.seek(off)
            f.write(data(n, seed))
    os.utime(path, (mtime, mtime))


def shape_sparse(d):
    sparse_file(os.path.join(d, "sparse"), 12 * BLOCK + 99,
                [(2 * BLOCK, BLOCK, 21), (5 * BLOCK + 100, 300, 22), (12 * BLOCK, 99, 23)])
    sparse_file(os.path.join(d, "all-hole"), 3 * BLOCK + 5, [])


def shape_huge(d):
    four_gib = 1 << 32
    size = four_gib + 3 * BLOCK + 123
    sparse_file(os.path.join(d, "huge"), size,
                [(0, 1000, 31), (four_gib - 500, 1000, 32), (size - 5000, 5000, 33)])


def shape_specials(d):
    s = os.path.join(d, "specials")
    os.mkdir(s)
    write(os.path.join(s, "a-before"), b"before\n")
    os.mkfifo(os.path.join(s, "fifo"), 0o640)
    os.mknod(os.path.join(s, "chardev"), 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    os.mknod(os.path.join(s, "blockdev"), 0o600 | stat.S_IFBLK, os.makedev(7, 0))
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(os.path.join(s, "socket"))
    sock.close()
    write(os.path.join(s, "z-after"), b"after\n")
    for name in ("fifo", "chardev", "blockdev", "socket"):
        os.utime(os.path.join(s, name), (FIXED_MTIME, FIXED_MTIME), follow_symlinks=False)


def symlink(target, path):
    os.symlink(target, path)
    os.utime(path, (FIXED_MTIME, FIXED_MTIME), follow_symlinks=False)


def shape_links(d):
    l = os.path.join(d, "links")
    os.mkdir(l)
    write(os.path.join(l, "target"), b"link target\n")
    symlink("target", os.path.join(l, "relative"))
    symlink("../links/target", os.path.join(l, "relative-up"))
    symlink("/etc/hostname", os.path.join(l, "absolute"))
    symlink("no/such/file", os.path.join(l, "dangling"))
    long_target = "/".join(["d" * 255] * 16)  # 4095 bytes, the longest Linux allows
    symlink(long_target, os.path.join(l, "long-4095"))
    write(os.path.join(l, "hard-a"), data(5000, 41))
    os.link(os.path.join(l, "hard-a"), os.path.join(l, "hard-b"))


def shape_names(d):
    n = os.path.join(d, "names")
    os.mkdir(n)
    for name in ("x" * 255, "héllo wörld", "日本語のファイル", "emoji-\U0001F600",
                 "with space", "tab\there", "new\nline", "-dash", "dots...", ".hidden"):
        write(os.path.join(n, name), name.encode() + b"\n")
    write(os.fsencode(os.path.join(n, "latin1-")) + b"\xe9\xff", b"raw bytes name\n")


def shape_modes(d):
    m = os.path.join(d, "modes")
    os.mkdir(m)
    for name, mode in (("m000", 0o000), ("m4755", 0o4755), ("m2755", 0o2755),
                       ("m0600", 0o600), ("m0777", 0o777), ("m6711", 0o6711)):
        write(os.path.join(m, name), name.encode(), mode=mode)
    os.mkdir(os.path.join(m, "sticky-1777"))
    os.chmod(os.path.join(m, "sticky-1777"), 0o1777)
    os.mkdir(os.path.join(m, "dir-0700"))
    os.chmod(os.path.join(m, "dir-0700"), 0o700)


def shape_mtimes(d):
    t = os.path.join(d, "mtimes")
    os.mkdir(t)
    for mt in (0, 1, 2**31 - 1, 2**31 + 5, 1234567890):
        write(os.path.join(t, f"t{mt}"), b"%d\n" % mt, mtime=mt)


def shape_empty(d):
    os.mkdir(os.path.join(d, "empty"))


def shape_nested(d):
    p = d
    for i in range(12):
        p = os.path.join(p, f"level{i}")
        os.mkdir(p)
    write(os.path.join(p, "deep-file"), b"deep\n")


def shape_bigdir(d, n):
    b = os.path.join(d, "bigdir")
    os.mkdir(b)
    fill(b, n)


def fill(d, n):
    for i in range(n):
        fd = os.open(os.path.join(d, "e%06d" % i), os.O_CREAT | os.O_WRONLY, 0o644)
        os.close(fd)


def fix_dir_mtimes(root):
    for dirpath, _, _ in os.walk(root, topdown=False):
        os.utime(dirpath, (FIXED_MTIME, FIXED_MTIME))


SHAPES = {
    "sizes": shape_sizes, "sparse": shape_sparse, "huge": shape_huge,
    "specials": shape_specials, "links": shape_links, "names": shape_names,
    "modes": shape_modes, "mtimes": shape_mtimes, "empty": shape_empty,
    "nested": shape_nested,
}


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    dest = argv[1]
    os.makedirs(dest, exist_ok=True)
    wanted = argv[2:] or list(SHAPES)
    for w in wanted:
        name, _, arg = w.partition("=")
        if name == "bigdir":
            shape_bigdir(dest, int(arg))
        elif name == "flatdir":
            fill(dest, int(arg))
        elif name in SHAPES:
            SHAPES[name](dest)
        else:
            sys.exit(f"mktree: unknown shape {name}")
    fix_dir_mtimes(dest)


if __name__ == "__main__":
    main(sys.argv)
