#!/usr/bin/env python3
"""Writes a seed corpus of valid and damaged DSDIFF containers.

Usage: make_seeds.py DIR
"""
import os
import struct
import sys


def chunk(ident, data, size=None):
    size = len(data) if size is None else size
    return ident + struct.pack(">Q", size) + data + (b"\0" if len(data) % 2 else b"")


def container(chunks, form=b"DSD "):
    body = form + b"".join(chunks)
    return b"FRM8" + struct.pack(">Q", len(body)) + body


def prop(rate=2822400, channels=2, compression=b"DSD "):
    ids = b"".join([b"SLFT", b"SRGT", b"C   ", b"LFE ", b"LS  ", b"RS  "][:channels])
    name = b"not compressed"
    return chunk(b"PROP", b"SND " + chunk(b"FS  ", struct.pack(">I", rate)) +
                 chunk(b"CHNL", struct.pack(">H", channels) + ids) +
                 chunk(b"CMPR", compression + bytes([len(name)]) + name))


FVER = chunk(b"FVER", b"\x01\x05\x00\x00")
SOUND = bytes(range(256)) * 2
SEEDS = {
    "valid": container([FVER, prop(), chunk(b"DSD ", SOUND)]),
    "odd_chunks": container([FVER, chunk(b"COMT", b"abcdefg"), chunk(b"DSD ", SOUND[:131])]),
    "dst": container([FVER, prop(compression=b"DST "), chunk(b"DST ", SOUND)]),
    "dsd128": container([FVER, prop(rate=5644800), chunk(b"DSD ", SOUND)]),
    "mono": container([FVER, prop(channels=1), chunk(b"DSD ", SOUND)]),
    "short_sound": container([FVER, chunk(b"DSD ", SOUND, size=100000)]),
    "huge_chunk": container([chunk(b"COMT", b"", size=1 << 40), chunk(b"DSD ", SOUND)]),
    "truncated": container([FVER, prop(), chunk(b"DSD ", SOUND)])[:70],
    "garbage_prop": container([chunk(b"PROP", b"SND " + b"\xff" * 30), chunk(b"DSD ", SOUND)]),
}

os.makedirs(sys.argv[1], exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
