#!/usr/bin/env python3
"""Writes a seed corpus of valid and damaged DSDIFF and DSF files (KIND dsdiff,
the default), ID3v2 tags (KIND id3), cue sheets (KIND cue) or SACD images
(KIND sacd, written by the dff-tone, dff-dst and dff-sacd in TOOLS).

Usage: make_seeds.py DIR [KIND [TOOLS]]
"""
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from dsd_files import (TRACK_START, TRACK_STOP, chunk, container, cue_sheet, dsf,  # noqa: E402
                       edited_master, fver, mark, prop)
from id3_files import apic, comm, frame, pic, tag, text  # noqa: E402

FVER = fver()
SOUND = bytes(range(256)) * 2
SEEDS = {
    "valid": container([FVER, prop(), chunk(b"DSD ", SOUND)]),
    "odd_chunks": container([FVER, chunk(b"COMT", b"abcdefg"), chunk(b"DSD ", SOUND[:131])]),
    "dst": container([FVER, prop(compression=b"DST "), chunk(b"DST ", SOUND)]),
    # Two plainly stored DST frames (flags byte 0, then the sound), a check
    # chunk between them; the second is cut short.
    "dst_frames": container([FVER, prop(compression=b"DST "), chunk(b"DST ", chunk(
        b"FRTE", struct.pack(">IH", 3, 75)) + chunk(b"DSTF", b"\0" + SOUND * 18) +
        chunk(b"DSTC", b"\0\0\0\0") + chunk(b"DSTF", b"\0" + SOUND[:99]))]),
    "dsd128": container([FVER, prop(rate=5644800), chunk(b"DSD ", SOUND)]),
    "mono": container([FVER, prop(channels=1), chunk(b"DSD ", SOUND)]),
    "short_sound": container([FVER, chunk(b"DSD ", SOUND, size=100000)]),
    "huge_chunk": container([chunk(b"COMT", b"", size=1 << 40), chunk(b"DSD ", SOUND)]),
    "truncated": container([FVER, prop(), chunk(b"DSD ", SOUND)])[:70],
    "garbage_prop": container([chunk(b"PROP", b"SND " + b"\xff" * 30), chunk(b"DSD ", SOUND)]),
    "dsf": dsf(SOUND, lsb_first=True, block=100, tag=b"ID3\x04\0\0\0\0\0\0"),
    "dsf_short": dsf(SOUND, sample_count=1 << 40),
    "tagged": container([FVER, chunk(b"DIIN", chunk(b"DIAR", b"\0\0\0\2Ar") +
                                     chunk(b"DITI", b"\0\0\0\2Ti")),
                         chunk(b"PROP", prop()[12:] + chunk(b"ID3 ", tag([frame("TIT2", text("P"))]))),
                         chunk(b"DSD ", SOUND), chunk(b"ID3 ", tag([frame("TPE1", text("A"))]))]),
    "dsf_tagged": dsf(SOUND, tag=tag([frame("TIT2", text("T")), frame("APIC", apic(b"img"))])),
    # Marks out of order, one moved back by its offset, a stop and its pause,
    # and an ID3 chunk per track.
    "edited_master": edited_master(SOUND * 4, [mark(3000, TRACK_START, b"Two"),
                                               mark(100, TRACK_START, b"One/1"),
                                               mark(2000, TRACK_STOP),
                                               mark(5000, TRACK_START, b"", offset=-900)],
                                   start=50, id3s=[tag([frame("TIT2", text(t))]) for t in "abc"],
                                   title=b"Album", artist=b"Artist"),
}

CUE_SEEDS = {
    "album": cue_sheet("a.dsf", [{"start": 0, "title": "One", "performer": "P", "isrc": "X"},
                                 {"start": 37632 * 80, "pause_start": 37632 * 75,
                                  "songwriter": "S", "title": "Two"}],
                       title="T", performer="A",
                       extra='REM GENRE "G"\nREM DATE 2001\nCATALOG 1234').encode(),
    "latin1": "\ufeffTITLE \"Caf\u00e9\"\nFILE \"x.dsf\" WAVE\n  TRACK 01 AUDIO\n"
              "    INDEX 01 00:00:00\n".encode("utf-8"),
    "files": b'FILE "a.dsf" WAVE\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n'
             b'FILE "b.dsf" WAVE\n TRACK 02 AUDIO\n  INDEX 00 01:00:00\n  INDEX 01 99:59:74\n',
}

IMAGE = b"\xff\xd8\xff\xe0" + bytes(range(64)) + b"\xff"
ID3_SEEDS = {
    "v24": tag([frame("TIT2", text(["One", "Two"], "utf8")), frame("TCON", text("(17)Rock")),
                frame("TXXX", text(["replaygain_track_gain", "-6 dB"], "utf16"), unsync=True),
                frame("APIC", apic(IMAGE, description="front"), unsync=True)],
               unsync=True, extended=True, padding=16),
    "v23": tag([frame(i, text(v, "utf16"), 3) for i, v in (("TPE1", "A"), ("TYER", "2004"),
                                                            ("TDAT", "3112"), ("TRCK", "3/12"))] +
               [frame("COMM", comm("", "c"), 3), frame("APIC", apic(IMAGE), 3)],
               3, unsync=True, extended=True, padding=8),
    "v22": tag([frame("TT2", text("Title", "utf16be"), 2), frame("TYE", text("1999"), 2),
                frame("PIC", pic(IMAGE, b"PNG", 4, "back"), 2), frame("ULT", comm("", "la"), 2)],
               2, unsync=True),
}

# SACD images: (name, sector bytes, dff-sacd options); {tone}, {dst}, {six}
# and {five} are tracks of 3 frames (0.04 s): plain stereo, DST stereo, DST
# 5.1 and DST 5.0.
SACD_SEEDS = [
    ("plain_3in14", 2048, "--album-title Alb --stereo {tone} --title 'Café' --isrc "
                          "USABC0100001 --genre 5 --stereo {tone} --title Two"),
    ("plain_3in16", 2064, "--plain-format 3in16 --supplementary --stereo {tone}"),
    ("dst_both", 2064, "--charset sjis --language ja --album-title 'ア' --stereo {dst} "
                       "--title 'テ' --stereo {dst} --multichannel {six} --title 'マ'"),
    ("dst_five", 2048, "--supplementary --multichannel {five} --multichannel {five}"),
]


def sacd_seeds(directory, tools):
    """Each image from sector 510 on, behind the byte that gives its sector size."""
    with tempfile.TemporaryDirectory() as work:
        def tool(name, *args):
            subprocess.run([os.path.join(tools, name)] + list(args), cwd=work, check=True,
                           stdout=subprocess.DEVNULL)
        tool("dff-tone", "--duration", "0.04", "--left", "sine:1000:-6", "--right",
             "sine:300:-6", "tone.dff")
        tool("dff-dst", "tone.dff", "dst.dff")
        for channels, name in ((6, "six"), (5, "five")):
            tool("dff-tone", "--duration", "0.04", "--channels", str(channels), "--channel",
                 "3:sine:440:-6", name + "_plain.dff")
            tool("dff-dst", name + "_plain.dff", name + ".dff")
        files = {n: n + ".dff" for n in ("tone", "dst", "six", "five")}
        for name, sector_bytes, options in SACD_SEEDS:
            options = options.format(**files)
            subprocess.run("'%s' --sector-bytes %d %s image.iso" % (
                os.path.join(tools, "dff-sacd"), sector_bytes, options), shell=True, cwd=work,
                check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(work, "image.iso"), "rb") as f:
                image = f.read()
            with open(os.path.join(directory, name), "wb") as f:
                f.write(bytes([sector_bytes == 2064]) + image[510 * sector_bytes:])


kind = sys.argv[2] if len(sys.argv) > 2 else "dsdiff"
os.makedirs(sys.argv[1], exist_ok=True)
if kind == "sacd":
    sacd_seeds(sys.argv[1], sys.argv[3])
else:
    for name, data in {"id3": ID3_SEEDS, "cue": CUE_SEEDS}.get(kind, SEEDS).items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(data)
