#!/usr/bin/env python3
"""Whole runs of dff2wav on DST files against runs on their uncompressed twins.

Usage: dst_runs.py DFF2WAV DFF_DST DSD_MUSIC

Music-like sound of whole frames goes into an uncompressed DSDIFF file and,
through dff-dst, into a DST one. Both are converted with the same options
in the same way, each in a directory of its own, and every output byte must
agree: standard output, the channel files, the WAV or FLAC file, the exit
status. A damaged frame and a file cut inside a frame must give what the
twin gives when that frame holds silence (and, when cut, the file ends
there), plus one line on standard error naming the frame, and exit 1.
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dsd_files import chunk, container, fver, prop  # noqa: E402

FRAME_BYTES = 4704       # per channel: 1/75 s at DSD64
FRAMES = 40
SILENCE_BYTE = b"\x55"   # the converter's silence word, in DSDIFF bit order

# (channels, dff-dst options, dff2wav options, output name)
CASES = [
    (2, [], [], "out.wav"),                       # the original form
    (2, ["--plain-frames"], [], "out.wav"),
    (2, ["--segments", "3", "--table-segments", "5"], ["--format", "flac"], "out.flac"),
    (1, ["--order", "128"], [], "out.wav"),
    (5, ["--filters", "2", "--tables", "3"], ["--bits", "16"], "out.wav"),
    (6, ["--channel-segments", "--segments", "4", "--coefficients", "predicted"],
     ["--rate", "44100"], "out.flac"),
]


def run(converter, work, name, data, options, output):
    """Converts `data` in a directory of its own; returns what a test compares."""
    where = os.path.join(work, name)
    os.mkdir(where)
    with open(os.path.join(where, "in.dff"), "wb") as f:
        f.write(data)
    done = subprocess.run([converter] + options + ["in.dff", output], cwd=where,
                          capture_output=True)
    files = {}
    for kept in (output, "dsdl.tmp", "dsdr.tmp"):
        path = os.path.join(where, kept)
        if os.path.exists(path):
            with open(path, "rb") as f:
                files[kept] = f.read()
    return done.returncode, done.stdout, done.stderr.decode(), files


def frames_of(dst_file):
    """(offset, size) of each DSTF chunk's data in a file dff-dst wrote."""
    at = 16  # the first chunk after "FRM8", its size and the form type
    while dst_file[at:at + 4] != b"DST ":
        at += 12 + int.from_bytes(dst_file[at + 4:at + 12], "big")
    at += 12
    out = []
    while at < len(dst_file) and dst_file[at:at + 4] in (b"FRTE", b"DSTF", b"DSTC"):
        size = int.from_bytes(dst_file[at + 4:at + 12], "big")
        if dst_file[at:at + 4] == b"DSTF":
            out.append((at + 12, size))
        at += 12 + size + size % 2
    return out


def silenced(sound, channels, frame):
    """`sound` with every channel of `frame` replaced by silence."""
    start, end = frame * FRAME_BYTES * channels, (frame + 1) * FRAME_BYTES * channels
    return sound[:start] + SILENCE_BYTE * (end - start) + sound[end:]


def main():
    converter, dff_dst, dsd_music = sys.argv[1:4]
    failures = []

    def expect(condition, what):
        print(("ok    " if condition else "FAILED ") + what)
        if not condition:
            failures.append(what)

    with tempfile.TemporaryDirectory() as work:
        for n, (channels, dst_options, options, output) in enumerate(CASES):
            raw, plain_path, dst_path = (os.path.join(work, "%s%d" % (f, n))
                                         for f in ("raw", "plain", "dst"))
            subprocess.run([dsd_music, str(channels), str(FRAMES * FRAME_BYTES), str(n), raw],
                           check=True)
            with open(raw, "rb") as f:
                sound = f.read()
            head = [fver(), prop(channels=channels)]
            plain = container(head + [chunk(b"DSD ", sound)])
            with open(plain_path, "wb") as f:
                f.write(plain)
            subprocess.run([dff_dst] + dst_options + [plain_path, dst_path], check=True,
                           capture_output=True)
            with open(dst_path, "rb") as f:
                dst = f.read()
            name = "%d channels, dff-dst %s, dff2wav %s" % (
                channels, " ".join(dst_options) or "defaults", " ".join(options) or "IN OUT")
            want = run(converter, work, "p%d" % n, plain, options, output)
            got = run(converter, work, "d%d" % n, dst, options, output)
            expect(want[0] == 0 and got[:2] == want[:2] and got[3] == want[3],
                   "%s: every output byte as the uncompressed file's" % name)
            if n != 0:
                continue
            # Damage inside frame 7, and a file cut inside frame 30.
            frames = frames_of(dst)
            # A plain frame's flags with stuffing bits that must be zero: no
            # frame can start so.
            offset, size = frames[7]
            damaged = bytearray(dst)
            damaged[offset] = 0x01
            want = run(converter, work, "pd", container(head + [chunk(b"DSD ", silenced(
                sound, channels, 7))]), options, output)
            got = run(converter, work, "dd", bytes(damaged), options, output)
            expect(got[0] == 1 and got[1] == want[1] and got[3] == want[3],
                   "a damaged frame: the twin's bytes with that frame silent, exit 1")
            expect("DST frame 7 (at 0:00.093) could not be decoded" in got[2],
                   "a damaged frame: one line names it: " + got[2].strip())
            offset, size = frames[30]
            # The twin declares all 40 frames but ends after frame 30.
            whole = container(head + [chunk(b"DSD ", silenced(sound, channels, 30))])
            missing = (FRAMES - 31) * FRAME_BYTES * channels
            want = run(converter, work, "pc", whole[:-missing], options, output)
            got = run(converter, work, "dc", dst[:offset + size // 2], options, output)
            expect(want[0] == 1 and got[:2] == want[:2] and got[3] == want[3],
                   "a file cut inside a frame: the twin cut after that frame, silent, exit 1")
            expect("DST frame 30 (at 0:00.400) could not be decoded" in got[2],
                   "a file cut inside a frame: one line names it")
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
