#!/usr/bin/env python3
"""Runs dff2wav and the literal oracle on the same inputs and compares every
byte they leave behind: standard output, exit status, the WAV file and the two
channel files.

Usage: compare_with_oracle.py DFF2WAV TAPS_CPP
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ORACLE = os.path.join(HERE, "literal_convert.py")
sys.path.insert(0, os.path.dirname(HERE))
from dsd_files import chunk, container, dsdiff, dsf, fver, prop  # noqa: E402

# A property chunk of "FS  " and "CHNL" only, without "CMPR".
PROP = prop(compression=None)


def sound(rng, nbytes, density=0.5):
    return bytes(sum((rng.random() < density) << b for b in range(8)) for _ in range(nbytes))


def cases():
    rng = random.Random(20261208)
    yield "smallest input, 16 groups", container([fver(), PROP, chunk(b"DSD ", sound(rng, 128))])
    yield "1000-byte sound chunk", container([fver(), PROP, chunk(b"DSD ", sound(rng, 1000))])
    yield "1003-byte chunk, 3 bytes never read", container([fver(), chunk(b"DSD ", sound(rng, 1003))])
    yield "130-byte chunk", container([chunk(b"DSD ", sound(rng, 130))])
    yield "127-byte chunk is too small", container([fver(), chunk(b"DSD ", sound(rng, 127))])
    yield "odd-sized chunks before the sound", container(
        [fver(), chunk(b"COMT", b"abcdefg"), chunk(b"DIIN", b"x"), chunk(b"DSD ", sound(rng, 512))])
    yield "FVER is skipped by 4 data bytes whatever its size says", (
        b"FRM8" + struct.pack(">Q", 0) + b"DSD " + b"FVER" + struct.pack(">Q", 999) + b"\1\5\0\0" +
        chunk(b"DSD ", sound(rng, 256)))
    yield "any form type", container([fver(), chunk(b"DSD ", sound(rng, 256))], form=b"XYZW")
    yield "no FVER, several PROP-like chunks", container(
        [PROP, chunk(b"ID3 ", b"\0" * 33), chunk(b"DSD ", sound(rng, 800))])
    yield "all zero and all one bits saturate", container(
        [fver(), chunk(b"DSD ", bytes([0x00, 0xFF] * 200))])
    yield "loud and quiet passages", container(
        [fver(), chunk(b"DSD ", sound(rng, 800, 0.8) + sound(rng, 800, 0.2) + sound(rng, 800, 0.74))])
    yield "silence patterns", container([fver(), chunk(b"DSD ", bytes([0xAA, 0x55, 0x69, 0x96] * 64))])
    yield "random sound, 3000 groups", container([fver(), PROP, chunk(b"DSD ", sound(rng, 24000))])
    fs128 = chunk(b"FS  ", struct.pack(">I", 5644800))
    yield "a property chunk of another type", container(
        [fver(), chunk(b"PROP", b"XYZ " + fs128), chunk(b"DSD ", sound(rng, 600))])
    yield "a garbage property chunk", container(
        [fver(), chunk(b"PROP", b"SND " + bytes(rng.getrandbits(8) for _ in range(41))),
         chunk(b"DSD ", sound(rng, 600))])
    yield "a property chunk whose local chunk runs past its end", container(
        [fver(), chunk(b"PROP", b"SND " + fs128 + b"CHNL" + struct.pack(">Q", 99) + b"\0\6"),
         chunk(b"DSD ", sound(rng, 600))])
    yield "not DSDIFF", b"RIFF" + b"\0" * 100
    yield "empty file", b""
    yield "three bytes", b"FRM"
    yield "lower-case magic", b"frm8" + container([chunk(b"DSD ", sound(rng, 128))])[4:]

    # DSF: the same groups gathered from per-channel blocks.
    yield "DSF, earliest sample in the top bit", dsf(sound(rng, 1000))
    yield "DSF, earliest sample in the lowest bit, several blocks", dsf(
        sound(rng, 2 * (3 * 4096 + 500)), lsb_first=True)
    yield "DSF sample count ending inside a group", dsf(sound(rng, 1000), sample_count=3990)
    yield "DSF of 1000-byte blocks, then an ID3 tag", dsf(
        sound(rng, 2400), block=1000, tag=b"ID3\4\0\0\0\0\0\12" + b"\0" * 10)
    bad_bits = bytearray(dsf(sound(rng, 300)))
    bad_bits[60] = 4
    yield "DSF head with 4 bits per sample is not recognised", bytes(bad_bits)
    # Other channel counts: the standard form, channels in mask order.
    yield "mono DSF", dsf(sound(rng, 300), channels=1)
    yield "5.1 DSDIFF", dsdiff(sound(rng, 6 * 4 * 40), channels=6)
    yield "5.0 DSF, several blocks, earliest sample in the lowest bit", dsf(
        sound(rng, 5 * 700), channels=5, block=256, lsb_first=True)
    yield "3 channels of 17 words: odd data size, a pad byte", dsdiff(sound(rng, 3 * 4 * 17),
                                                                       channels=3)
    yield "channel ids out of mask order, and one unknown", container([fver(), chunk(
        b"PROP", b"SND " + chunk(b"CHNL", b"\0\4RS  C001MLFTC   ")), chunk(b"DSD ", sound(rng, 16 * 40))])
    yield "7 channels are refused", dsdiff(sound(rng, 7 * 4 * 20), channels=7)
    yield "mono of 15 words is too little", dsdiff(sound(rng, 60), channels=1)
    yield "a channel count that disagrees with the ids is refused", container([fver(), chunk(
        b"PROP", b"SND " + chunk(b"CHNL", b"\0\3SLFTSRGT")), chunk(b"DSD ", sound(rng, 300))])
    bad_type = bytearray(dsf(sound(rng, 600), channels=6))
    bad_type[48] = 5  # FL FR C LFE: four channels, not six
    yield "a DSF channel type that contradicts the count is refused", bytes(bad_type)
    yield "DSF at 3 x 2822400 Hz is refused", dsf(sound(rng, 300), rate=3 * 2822400)
    yield "DSDIFF at 16 x 2822400 Hz is refused", dsdiff(sound(rng, 300), rate=16 * 2822400)
    # Higher rates: the same frames, the WAV header at rate / 32.
    for rate in (2 * 2822400, 4 * 2822400, 2 * 3072000):
        samples = sound(rng, 400)
        yield "DSDIFF at %d Hz" % rate, dsdiff(samples, rate=rate)
        yield "DSF at %d Hz" % rate, dsf(samples, rate=rate)


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    files = {}
    for name in sorted(os.listdir(cwd)):
        if name != "in.dff":
            with open(os.path.join(cwd, name), "rb") as f:
                files[name] = f.read()
    return done.returncode, done.stdout, files


def compare(name, data, args, dff2wav, taps):
    with tempfile.TemporaryDirectory() as ours, tempfile.TemporaryDirectory() as theirs:
        for d in (ours, theirs):
            if data is not None:
                with open(os.path.join(d, "in.dff"), "wb") as f:
                    f.write(data)
        got = run([dff2wav] + args, ours)
        want = run([sys.executable, ORACLE, taps] + args, theirs)
        if got == want:
            return True
        print("MISMATCH: %s" % name)
        print("  exit status: dff2wav %d, oracle %d" % (got[0], want[0]))
        if got[1] != want[1]:
            print("  stdout: dff2wav %r\n          oracle %r" % (got[1], want[1]))
        for file in sorted(set(got[2]) | set(want[2])):
            a, b = got[2].get(file), want[2].get(file)
            if a != b:
                first = next((i for i in range(min(len(a or b""), len(b or b"")))
                              if a[i] != b[i]), None)
                print("  %s: dff2wav %s bytes, oracle %s bytes, first difference at %s" % (
                    file, None if a is None else len(a), None if b is None else len(b), first))
        return False


def main():
    dff2wav, taps = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    ok = True
    for name, data in cases():
        ok &= compare(name, data, ["in.dff", "out.wav"], dff2wav, taps)
    rng = random.Random(7)
    small = container([fver(), chunk(b"DSD ", sound(rng, 200))])
    ok &= compare("extra arguments are ignored", small, ["in.dff", "out.wav", "more", "args"], dff2wav, taps)
    ok &= compare("no arguments", small, [], dff2wav, taps)
    ok &= compare("one argument", small, ["in.dff"], dff2wav, taps)
    ok &= compare("missing input leaves no output", None, ["in.dff", "out.wav"], dff2wav, taps)
    print("all cases match" if ok else "some cases differ")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
