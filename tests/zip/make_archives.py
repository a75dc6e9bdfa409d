#!/usr/bin/env python3
"""Writes the archives the reader's tests and fuzzer start from.

make_archives.py ARCHIVE_DIR CORPUS_DIR

Well-formed archives come from Python's zipfile and the zip command; damaged
ones are written byte by byte so that exactly one thing is wrong with each.
Beside every archive whose entry 0 must come out, NAME.out holds that data.
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib


def payload(size, seed=1):
    """Text-like bytes that deflate well but not trivially."""
    rnd = random.Random(seed)
    words = [b"bid", b"ask", b"last", b"volume", b"IBM", b"MSFT", b"0.25", b"1234", b"open", b"close"]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) + (b"\n" if rnd.random() < 0.1 else b" ")
    return bytes(out[:size])


def noise(size, seed=2):
    return random.Random(seed).randbytes(size)


def deflate(data, level=9):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def with_zipfile(entries, comment=b"", method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=method) as z:
        for name, data in entries:
            z.writestr(name, data)
        z.comment = comment
    return buf.getvalue()


class Entry:
    """One entry as the hand writer lays it out; local_* override the local
    header, everything else is shared by both headers."""

    def __init__(self, name=b"msg.bin", data=b"", method=8, raw=None, **kw):
        self.name = name
        self.data = data
        self.method = method
        self.raw = raw if raw is not None else (deflate(data) if method == 8 else data)
        self.crc = kw.pop("crc", zlib.crc32(data))
        self.csize = kw.pop("csize", len(self.raw))
        self.usize = kw.pop("usize", len(data))
        self.flags = kw.pop("flags", 0)
        self.made_by = kw.pop("made_by", 20)  # system 0 (MS-DOS), version 2.0
        self.ext_attr = kw.pop("ext_attr", 0x20)
        self.central_extra = kw.pop("central_extra", b"")
        self.local_extra = kw.pop("local_extra", b"")
        self.disk = kw.pop("disk", 0)
        self.central_name_len = kw.pop("central_name_len", None)
        self.offset = kw.pop("offset", None)
        self.local = kw  # local_sig, local_flags, local_method, local_crc, ...


def extra(rec_id, data):
    return struct.pack("<HH", rec_id, len(data)) + data


def build(entries, prefix=b"", comment=b"", cd_order=None, eocd=None, before_eocd=b"", tail=b""):
    """A whole archive; eocd overrides fields of the end record by name."""
    body = bytearray()
    offsets = []
    for e in entries:
        offsets.append(len(body))
        lo = e.local
        body += lo.get("local_sig", b"PK\x03\x04")
        body += struct.pack(
            "<HHHHHIIIHH", 20, lo.get("local_flags", e.flags), lo.get("local_method", e.method), 0, 0x21,
            lo.get("local_crc", e.crc), lo.get("local_csize", e.csize), lo.get("local_usize", e.usize),
            lo.get("local_name_len", len(e.name)), len(e.local_extra))
        body += e.name + e.local_extra + e.raw
    cd_start = len(body)
    order = cd_order if cd_order is not None else range(len(entries))
    for i in order:
        e = entries[i]
        name_len = e.central_name_len if e.central_name_len is not None else len(e.name)
        off = e.offset if e.offset is not None else offsets[i]
        body += b"PK\x01\x02" + struct.pack(
            "<HHHHHHIIIHHHHHII", e.made_by, 20, e.flags, e.method, 0, 0x21, e.crc, e.csize, e.usize,
            name_len, len(e.central_extra), 0, e.disk, 0, e.ext_attr, off)
        body += e.name + e.central_extra
    fields = dict(disk=0, cd_disk=0, disk_entries=len(entries), entries=len(entries),
                  size=len(body) - cd_start, offset=cd_start, comment_len=len(comment))
    fields.update(eocd or {})
    body += before_eocd
    body += b"PK\x05\x06" + struct.pack(
        "<HHHHIIH", fields["disk"], fields["cd_disk"], fields["disk_entries"], fields["entries"],
        fields["size"], fields["offset"], fields["comment_len"])
    body += comment + tail
    return prefix + bytes(body)


def zip64_tail():
    """A Zip64 end record and its locator, placed before the end record."""
    rec = b"PK\x06\x06" + struct.pack("<QHHIIQQQQ", 44, 45, 45, 0, 0, 1, 1, 0, 0)
    loc = b"PK\x06\x07" + struct.pack("<IQI", 0, 0, 1)
    return rec + loc


def zip_command(workdir, args, files, stdin=None, pipe_out=False):
    src = os.path.join(workdir, "src")
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    for name, data in files.items():
        path = os.path.join(src, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    if pipe_out:
        r = subprocess.run(["zip", "-q"] + args, cwd=src, input=stdin, stdout=subprocess.PIPE, check=True)
        return r.stdout
    out = os.path.join(workdir, "out.zip")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(["zip", "-q", out] + args, cwd=src, input=stdin, check=True)
    with open(out, "rb") as f:
        return f.read()


def main():
    out_dir, corpus_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    os.makedirs(corpus_dir, exist_ok=True)
    made = {}

    def put(name, data, expected=None):
        made[name] = (data, expected)

    text = payload(200000)
    small = payload(3000, seed=3)
    hello = b"hello, world\n"

    # Well-formed archives.
    put("stored", with_zipfile([("msg.bin", text)], method=zipfile.ZIP_STORED), text)
    put("deflated", with_zipfile([("msg.bin", text)]), text)
    rnd = noise(300000)
    put("deflated_noise", with_zipfile([("msg.bin", rnd)]), rnd)
    put("two_entries", with_zipfile([("a.bin", small), ("b.bin", hello)]), small)
    put("empty_stored", with_zipfile([("e", b"")], method=zipfile.ZIP_STORED), b"")
    put("empty_deflated", with_zipfile([("e", b"")]), b"")
    put("empty_archive", with_zipfile([]))
    put("comment_max", with_zipfile([("msg.bin", small)], comment=b"c" * 65535), small)
    put("eocd_too_far", with_zipfile([("msg.bin", small)], comment=b"c" * 65535) + b"x")
    # The end record's signature starts k bytes before the last 32768-byte
    # chunk of the search: 0 and 4 lie wholly in one chunk, 1 to 3 straddle.
    for k in range(5):
        put("boundary_%d" % k, with_zipfile([("msg.bin", small)], comment=b"c" * (32768 + k - 22)), small)
    put("prefix", noise(4096, seed=5) + with_zipfile([("msg.bin", text)]), text)
    put("not_zip", noise(5000, seed=6).replace(b"PK", b"pk"))
    put("sorted", build([Entry(b"first", small), Entry(b"second", hello)], cd_order=[1, 0]), small)
    # Entries of every kind and size side by side, damaged ones between good
    # ones: whatever one entry leaves behind must not reach the next.
    put("mixed", build([Entry(b"text", text), Entry(b"hello", hello, method=0),
                        Entry(b"badcrc", small, crc=zlib.crc32(small) ^ 1),
                        Entry(b"garbage", small, raw=b"\xff" * 64), Entry(b"small", small, method=0),
                        Entry(b"empty", b""), Entry(b"noise", noise(70000, seed=8))]), text)

    # The zip command.
    with tempfile.TemporaryDirectory() as wd:
        put("cmd_dir", zip_command(wd, ["-r", "d"], {"d/": b"", "d/f.txt": small}))
        put("cmd_stored", zip_command(wd, ["-0", "f.txt"], {"f.txt": small}), small)
        put("cmd_deflated", zip_command(wd, ["f.txt"], {"f.txt": text}), text)
        put("cmd_empty", zip_command(wd, ["e.txt"], {"e.txt": b""}), b"")
        # Streamed in and out: sizes and CRC follow the data in a descriptor.
        put("cmd_stream", zip_command(wd, ["-fz-", "-", "-"], {}, stdin=small, pipe_out=True), small)
        put("cmd_encrypted", zip_command(wd, ["-P", "secret", "f.txt"], {"f.txt": small}))
    stream = made["cmd_stream"][0]
    assert struct.unpack_from("<H", stream, 6)[0] & 8, "zip did not write a data descriptor"
    assert made["cmd_dir"][0].count(b"PK\x01\x02") == 2

    # CRC mismatches (both headers agree, the data does not).
    put("stored_badcrc", build([Entry(data=small, method=0, crc=zlib.crc32(small) ^ 1)]))
    put("deflated_badcrc", build([Entry(data=small, crc=zlib.crc32(small) ^ 0x80000000)]))

    # Entries that come out short.
    put("short_stream", build([Entry(data=small, usize=len(small) + 1000)]))
    put("short_stored", build([Entry(data=small, method=0, raw=small[:1000], usize=len(small))]))
    cut = deflate(small, level=0)
    put("truncated_stream", build([Entry(data=small, raw=cut[: len(cut) // 2])]))
    # A size no stream this short could yield must not make the reader
    # reserve room for it.
    # Stored bytes beyond the entry's size are left alone, not waited on.
    put("stored_trailing", build([Entry(data=small, method=0, raw=small + b"junk")]), small)
    put("huge_usize", build([Entry(data=small, usize=0xF0000000)]))
    # The same with a large entry behind it: a reader that ran past the end
    # of the first stream would find plenty more bytes to take.
    put("truncated_stream_then_more", build([Entry(data=small, raw=cut[: len(cut) // 2]),
                                             Entry(b"next", noise(300000, seed=7), method=0)]))
    put("deflated_zero_csize", build([Entry(data=b"", raw=b"")]))
    # Not deflate at all: the first block header names the reserved type 3.
    put("deflated_garbage", build([Entry(data=small, raw=b"\xff" * 64)]))

    # Refused entries.
    put("encrypted", build([Entry(data=small, flags=1)]))
    put("aes", build([Entry(data=small, method=99, flags=1, central_extra=extra(0x9901, b"\x02\x00AE\x03\x08\x00"),
                            local_extra=extra(0x9901, b"\x02\x00AE\x03\x08\x00"))]))
    put("method_bzip2", build([Entry(data=small, method=12, raw=small)]))

    # Local headers that disagree with the central one.
    e = lambda **kw: build([Entry(data=small, **kw)])
    put("local_signature", e(local_sig=b"PK\x03\x05"))
    put("local_flags", e(local_flags=2))
    put("local_method", e(local_method=0))
    put("local_crc", e(local_crc=zlib.crc32(small) ^ 1))
    put("local_csize", e(local_csize=5))
    put("local_usize", e(local_usize=5))
    put("local_extra_bad", e(local_extra=b"\x01\x00\x09\x00ab"))
    put("local_csize_zero", e(local_csize=0), small)
    put("local_crc_descriptor", e(flags=8, local_crc=0, local_csize=0, local_usize=0), small)
    put("local_offset_past_end", e(offset=0x7FFFFFF0))
    put("local_name_cut", build([Entry(data=small, local_name_len=0xFFFF)]))

    # Damaged end records and directories.
    good = [Entry(data=small)]
    put("zip64", build(good, before_eocd=zip64_tail(), eocd=dict(entries=0xFFFF, disk_entries=0xFFFF,
                                                                 offset=0xFFFFFFFF)))
    put("ffff_no_locator", build(good, eocd=dict(entries=0xFFFF, disk_entries=0xFFFF)))
    put("this_disk", build(good, eocd=dict(disk=1)))
    put("cd_disk", build(good, eocd=dict(cd_disk=1)))
    put("entry_disk", build([Entry(data=small, disk=1)]))
    put("cd_past_end", build(good, eocd=dict(size=0x10000)))
    put("cd_wraps", build(good, eocd=dict(offset=0xFFFFFF00, size=0x140)))
    put("size0_with_entries", build(good, eocd=dict(size=0)))
    put("size_without_entries", build(good, eocd=dict(entries=0, disk_entries=0)))
    put("eocd_cut", build(good)[:-10])
    put("comment_cut", build(good, eocd=dict(comment_len=100), comment=b"0123456789"))
    put("cd_signature", build(good).replace(b"PK\x01\x02", b"PK\x01\x03"))
    put("cd_name_cut", build([Entry(data=small, central_name_len=0x2000)]))
    put("extra_overrun", build([Entry(data=small, central_extra=b"\x01\x00\x10\x00abcd")]))
    put("extra_stub", build([Entry(data=small, central_extra=b"\x01\x00\x00")]))
    put("duplicate_offset", build([Entry(b"a", small), Entry(b"b", hello, offset=0)]))

    # The name record: version, flags, code pages, and a name replacing the
    # plain one.
    nr = lambda body: extra(0x5A4C, body)
    put("namerec_plain", build([Entry(b"a.bin", small, made_by=20, ext_attr=0)]), small)
    put("namerec_dirname", build([Entry(b"a.bin", small, made_by=20, ext_attr=0,
                                        central_extra=nr(b"\x01\x03" + struct.pack("<I", 65001) + b"d/"))]))
    put("namerec_with_comment_cp", build([Entry(b"a.bin", small, ext_attr=0, central_extra=nr(
        b"\x01\x07" + struct.pack("<I", 65001) + b"d/" + struct.pack("<I", 65001)))]))
    put("namerec_codepage_only", build([Entry(b"a.bin", small, central_extra=nr(b"\x01\x01\xe9\xfd\x00\x00"))]),
        small)
    put("namerec_short", build([Entry(b"a.bin", small, central_extra=nr(b"\x01\x01\xe9"))]))
    put("namerec_no_name", build([Entry(b"a.bin", small, central_extra=nr(b"\x01\x03\xe9\xfd\x00\x00"))]))
    put("namerec_empty", build([Entry(b"a.bin", small, central_extra=nr(b""))]))
    put("namerec_v2", build([Entry(b"a.bin", small, central_extra=nr(b"\x02\xff"))]), small)

    # Directory test: the system that made the entry decides how its
    # attributes are read. (system, attributes, name, is a directory)
    dir_cases = [
        (0, 0x10, b"x", True), (0, 0, b"x/", True), (0, 0x20, b"x/", False), (0, 0, b"x\\", True),
        (3, 0o40755 << 16, b"x", True), (3, 0o100644 << 16, b"x/", False), (3, 0, b"x/", True),
        (10, 0x10, b"x", True), (11, 0, b"x\\", True), (11, 0x10, b"x", False), (19, 0o40755 << 16, b"x", False),
    ]
    for i, (system, attr, name, is_dir) in enumerate(dir_cases):
        put("dir_%d" % i, build([Entry(name, hello, made_by=(system << 8) | 20, ext_attr=attr)]),
            None if is_dir else hello)

    for name, (data, expected) in made.items():
        with open(os.path.join(out_dir, name + ".zip"), "wb") as f:
            f.write(data)
        exp_path = os.path.join(out_dir, name + ".out")
        if expected is not None:
            with open(exp_path, "wb") as f:
                f.write(expected)
        elif os.path.exists(exp_path):
            os.remove(exp_path)

    # Seeds for the fuzzer: small archives that reach every path.
    for old in os.listdir(corpus_dir):
        os.remove(os.path.join(corpus_dir, old))
    seeds = {n: d for n, (d, _) in made.items() if len(d) < 8192}
    seeds["tiny_deflated"] = with_zipfile([("m", small[:400])])
    seeds["tiny_stored"] = with_zipfile([("m", small[:100])], method=zipfile.ZIP_STORED)
    seeds["tiny_prefix"] = b"junk" * 16 + with_zipfile([("m", small[:300])])
    for name, data in seeds.items():
        with open(os.path.join(corpus_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
