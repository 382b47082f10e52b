#!/usr/bin/env python3
"""Writes a seed corpus of valid and damaged DSDIFF and DSF files.

Usage: make_seeds.py DIR
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from dsd_files import chunk, container, dsf, fver, prop  # noqa: E402

FVER = fver()
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
    "dsf": dsf(SOUND, lsb_first=True, block=100, tag=b"ID3\x04\0\0\0\0\0\0"),
    "dsf_short": dsf(SOUND, sample_count=1 << 40),
}

os.makedirs(sys.argv[1], exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
