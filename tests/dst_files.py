#!/usr/bin/env python3
"""Files written by dff-dst: their chunks, and FFmpeg's decoding of them.

Usage: dst_files.py DFF_DST DSD_MUSIC

Each case writes music-like sound of a length that is no whole number of
frames into a DSDIFF file (with comment, edited-master and ID3 chunks around
it), compresses it with dff-dst and checks the result: "CMPR" says DST, the
other chunks are kept in place, "FRTE" counts the frames, the last frame is
whole, "DSTI" points at every frame. FFmpeg, a decoder written elsewhere,
must then decode every arithmetic-coded file to exactly the samples it
decodes from the uncompressed file. Debian's FFmpeg 5.1 decodes plainly
stored frames wrongly and implements no segmentation in time, so those
files are checked for their structure only. Exits 77 without ffmpeg.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dsd_files import chunk, container, fver, prop  # noqa: E402

FRAME_BYTES = 4704  # per channel: 1/75 s at DSD64
BYTES = 3 * FRAME_BYTES + 333  # three frames and a little
KEPT = [chunk(b"COMT", struct.pack(">H", 0)),
        chunk(b"DIIN", chunk(b"DIAR", struct.pack(">I", 5) + b"Artis")),
        chunk(b"ID3 ", b"ID3\x04\0\0\0\0\0\x05abcde")]

# (channels, dff-dst options, whether FFmpeg 5.1 can decode the result)
CASES = [
    (1, [], True),
    (2, ["--index"], True),
    (5, ["--tables", "1"], True),
    (6, ["--filters", "1", "--coefficients", "predicted"], True),
    (6, ["--filters", "2", "--tables", "3", "--order", "128"], True),
    (2, ["--order", "1", "--no-coef-prediction"], True),
    (5, ["--half-probability", "--order", "100"], True),
    (2, ["--segments", "3", "--table-segments", "5"], False),
    (6, ["--channel-segments", "--segments", "4", "--index"], False),
    (2, ["--plain-frames", "--index"], False),
]


def chunks(data, start, end):
    """(id, offset of the chunk, its data) for each chunk in data[start:end]."""
    out = []
    while start < end:
        ident, size = data[start:start + 4], struct.unpack(">Q", data[start + 4:start + 12])[0]
        out.append((ident, start, data[start + 12:start + 12 + size]))
        start += 12 + size + size % 2
    return out


def check_structure(original, compressed, channels, options):
    top = chunks(compressed, 16, len(compressed))
    names = [c[0] for c in top]
    expected = [b"FVER", b"PROP", b"COMT", b"DIIN", b"DST "] + \
        ([b"DSTI"] if "--index" in options else []) + [b"ID3 "]
    assert names == expected, names
    for kept in KEPT:
        assert kept in compressed, kept[:4]
    props = dict((c[0], c[2]) for c in chunks(top[1][2], 4, len(top[1][2])))
    assert props[b"CMPR"][:4] == b"DST ", props[b"CMPR"]
    assert original.find(props[b"CHNL"]) > 0 and original.find(props[b"FS  "]) > 0
    sound = dict((c[0], c[2]) for c in top)[b"DST "]
    inner = chunks(sound, 0, len(sound))
    frames, rate = struct.unpack(">IH", inner[0][2])
    assert inner[0][0] == b"FRTE" and rate == 75 and frames == -(-BYTES // FRAME_BYTES)
    assert [c[0] for c in inner[1:]] == [b"DSTF"] * frames
    plain = [c[2][0] < 0x80 for c in inner[1:]]
    assert all(plain) == ("--plain-frames" in options) and (any(plain) == all(plain))
    if "--plain-frames" in options:
        assert all(len(c[2]) == 1 + channels * FRAME_BYTES for c in inner[1:])
    if "--index" in options:
        dst_offset = [c[1] for c in top if c[0] == b"DST "][0]
        index = dict((c[0], c[2]) for c in top)[b"DSTI"]
        for n, (_, at, data) in enumerate(inner[1:]):
            offset, length = struct.unpack(">QI", index[12 * n:12 * n + 12])
            assert offset == dst_offset + 12 + at and length == len(data), n
    return sum(len(c[2]) for c in inner[1:])


def ffmpeg_samples(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(out, dtype=np.float32)


def main():
    dff_dst, dsd_music = sys.argv[1:3]
    have_ffmpeg = shutil.which("ffmpeg") is not None
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for n, (channels, options, decodable) in enumerate(CASES):
            name = "%d channels %s" % (channels, " ".join(options))
            raw, x, y = (os.path.join(work, f) for f in ("s.raw", "x.dff", "y.dff"))
            subprocess.run([dsd_music, str(channels), str(BYTES), str(n), raw], check=True)
            with open(raw, "rb") as f:
                sound = f.read()
            original = container([fver(), prop(channels=channels)] + KEPT[:2] +
                                 [chunk(b"DSD ", sound)] + KEPT[2:])
            with open(x, "wb") as f:
                f.write(original)
            run = subprocess.run([dff_dst] + options + [x, y], capture_output=True, text=True)
            try:
                assert run.returncode == 0, run.stderr
                with open(y, "rb") as f:
                    compressed = f.read()
                size = check_structure(original, compressed, channels, options)
                verdict = "structure right, %.3f of the sound" % (size / len(sound))
                if decodable and have_ffmpeg:
                    plain, dst = ffmpeg_samples(x), ffmpeg_samples(y)
                    assert len(plain) == channels * BYTES, len(plain)
                    assert len(dst) == channels * FRAME_BYTES * -(-BYTES // FRAME_BYTES)
                    assert np.array_equal(plain, dst[:len(plain)]), "FFmpeg's samples differ"
                    verdict += "; FFmpeg decodes the same samples"
                print("ok: %s: %s" % (name, verdict))
            except AssertionError as e:
                failures += 1
                print("FAILED: %s: %s" % (name, e))
    print("%d passed, %d failed" % (len(CASES) - failures, failures))
    if failures:
        return 1
    if not have_ffmpeg:
        print("ffmpeg is not installed: FFmpeg's decoding was not checked; skipped")
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())
