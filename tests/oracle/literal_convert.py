#!/usr/bin/env python3
"""A second, deliberately literal implementation of dff2wav, used as an oracle.

It walks the container with 32-bit chunk sizes, splits group by group, and
evaluates the filter one tap at a time with Python floats (IEEE doubles), in
the same order as the converter's reference filter. It is slow and only meant
for inputs of a few thousand groups. Output: the same standard output bytes,
exit status, WAV file and channel files as dff2wav, written in the working
directory.

Usage: literal_convert.py TAPS_CPP IN.dff OUT.wav
"""
import re
import struct
import sys

WRONG_ARGUMENTS = b" \x88\xf8\x90\x94\x82\xaa\x88\xe1\x82\xa4\x82\xe6\n"
FINISHED = b"\x95\xcf\x8a\xb7\x82\xaa\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n"
DIV_SIZE = 0x800000
OVERLAP_WORDS = 15
SILENCE_WORD = 0xAAAAAAAA


class Stop(Exception):
    pass


def say(text):
    sys.stdout.buffer.write(text if isinstance(text, bytes) else text.encode())


def fail(message):
    say(message)
    raise Stop(1)


def load_taps(path):
    text = open(path).read()
    body = text[text.index("{") + 1:text.index("}")]
    half = [float(m) for m in re.findall(r"^\s*([-0-9.e+]+),", body, re.M)]
    assert len(half) == 256
    return half + half[::-1]


def walk(data):
    pos = 0

    def read(n):
        nonlocal pos
        if pos + n > len(data):
            fail("No DSD sound data found.\n")
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    if data[0:4] != b"FRM8":
        fail("This is not a DSDIFF file.\n")
    pos = 16
    ident = read(4)
    while ident != b"DSD ":
        if ident == b"FVER":
            pos += 12
        else:
            pos += 4
            size = struct.unpack(">I", read(4))[0]
            pos += size + (size & 1)
        ident = read(4)
    pos += 4
    size = struct.unpack(">I", read(4))[0]
    dsd_size = size & ~7
    if dsd_size < 128:
        fail("Data Size is not enough to convert.\n")
    return dsd_size, pos


def reverse_byte(b):
    return int("{:08b}".format(b)[::-1], 2)


def word_of(bytes4):
    return sum(reverse_byte(b) << (8 * i) for i, b in enumerate(bytes4))


def sample_of(acc):
    v = (acc - 0.5) - 0.001351646272508944
    if v < -0.5:
        v = -0.5
    elif v > 0.5:
        v = 0.5
    x = v * 16777216.0
    x = x + x
    n = int(x)  # truncation toward zero
    n = max(-8388608, min(8388607, n))
    return struct.pack("<i", n)[:3]


def frame(taps, left, right):
    acc_l = 0.0
    acc_r = 0.0
    for w in range(16):
        for b in range(32):
            t = 32 * w + b
            if (left[w] >> b) & 1:
                acc_l += taps[t]
            if (right[w] >> b) & 1:
                acc_r += taps[t]
    return sample_of(acc_l) + sample_of(acc_r)


def convert(taps, in_path, out_path):
    try:
        data = open(in_path, "rb").read()
    except OSError:
        fail("File Open Error\n")
    open(out_path, "wb").close()
    dsd_size, pos = walk(data)
    groups = dsd_size // 8
    div_num = groups >> 23
    last_div = groups & 0x7FFFFF
    if last_div == 0:
        last_div = DIV_SIZE
    else:
        div_num += 1
    say("DsdLR64Size = %08X\nDivNum = %08X\nLastDivSize = %08X\n" % (groups, div_num, last_div))

    left, right = [], []
    for g in range(groups):
        group = data[pos + 8 * g:pos + 8 * g + 8]
        assert len(group) == 8, "the oracle handles whole inputs only"
        left.append(word_of(group[0::2]))
        right.append(word_of(group[1::2]))
    if last_div < 16:
        left += [SILENCE_WORD] * (16 - last_div)
        right += [SILENCE_WORD] * (16 - last_div)
        last_div = 16
    for name, words in (("dsdl.tmp", left), ("dsdr.tmp", right)):
        with open(name, "wb") as f:
            f.write(b"".join(struct.pack("<I", w) for w in words))

    wav_size = int(dsd_size * 0.75 - 96) & 0xFFFFFFFF
    w_last = last_div * 6
    say("WavSize = %08X\nDivWavSize = %08X\nWLastDivSize = %08X\n" % (wav_size, 0x3000000, w_last))
    header = (b"RIFF" + struct.pack("<I", (wav_size + 36) & 0xFFFFFFFF) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 2, 88200, 529200, 6, 24) + b"data" +
              struct.pack("<I", wav_size))
    pcm = bytearray(0x3000000)
    with open(out_path, "wb") as out:
        out.write(header)
        for d in range(div_num):
            base = d * DIV_SIZE
            if d == div_num - 1:
                words = last_div
                frames = last_div - 15
                nbytes = w_last
            else:
                words = DIV_SIZE + OVERLAP_WORDS
                frames = DIV_SIZE
                nbytes = 0x3000000
            lw = left[base:base + words]
            rw = right[base:base + words]
            for k in range(frames):
                pcm[6 * k:6 * k + 6] = frame(taps, lw[k:k + 16], rw[k:k + 16])
            out.write(pcm[:nbytes])
            say("%d\n" % (d + 1))
    say("\n")
    say(FINISHED)


def main():
    if len(sys.argv) < 4:
        say(WRONG_ARGUMENTS)
        return 1
    try:
        convert(load_taps(sys.argv[1]), sys.argv[2], sys.argv[3])
    except Stop as stop:
        return stop.args[0]
    return 0


if __name__ == "__main__":
    sys.exit(main())
