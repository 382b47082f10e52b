#!/usr/bin/env python3
"""A second, deliberately literal implementation of dff2wav, used as an oracle.

It reads DSDIFF (walking the container with 32-bit chunk sizes) and DSF,
turns either into the same groups of 8 bytes (L,R,L,R,L,R,L,R, earliest
sample in each byte's top bit), splits group by group, and evaluates the
filter one tap at a time with Python floats (IEEE doubles), in the same order
as the converter's reference filter. It is slow and only meant for whole
inputs of a few thousand groups. Output: the same standard output bytes, exit
status, WAV file and channel files as dff2wav, written in the working
directory.

Usage: literal_convert.py TAPS_CPP IN OUT.wav
"""
import re
import struct
import sys

WRONG_ARGUMENTS = b" \x88\xf8\x90\x94\x82\xaa\x88\xe1\x82\xa4\x82\xe6\n"
FINISHED = b"\x95\xcf\x8a\xb7\x82\xaa\x8f\x49\x97\xb9\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n"
DIV_SIZE = 0x800000
OVERLAP_WORDS = 15
SILENCE_WORD = 0xAAAAAAAA
DSD64_RATE = 2822400
RATES = [base * k for base in (2822400, 3072000) for k in (1, 2, 4, 8)]
DECIMATION = 32
DSF_HEAD = 92  # "DSD " chunk (28 bytes), "fmt " chunk (52), "data" id and size (12)


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


def sound_properties(data, start, end):
    """The rate, channel count (None if absent) and compression type that the
    local chunks in data[start:end] of a "PROP" chunk of type "SND " state, or
    None when one is cut short or runs past `end`."""
    rate, channels, compression = 0, None, b""
    pos = start
    while pos < end:
        if end - pos < 12 or pos + 12 > len(data):
            return None
        ident = data[pos:pos + 4]
        size = struct.unpack(">Q", data[pos + 4:pos + 12])[0]
        if size > end - pos - 12:
            return None
        body = data[pos + 12:pos + 12 + size]
        if ident == b"FS  ":
            if len(body) < 4:
                return None
            rate = struct.unpack(">I", body[:4])[0]
        elif ident == b"CHNL":
            if len(body) < 2:
                return None
            channels = struct.unpack(">H", body[:2])[0]
            if size < 2 + 4 * channels:
                return None
        elif ident == b"CMPR":
            if len(body) < 5 or size < 5 + body[4]:
                return None
            compression = body[:4]
        pos += 12 + size
        if size & 1 and pos < end:
            pos += 1
    return rate, channels, compression


def refuse_unsupported(rate, channels, compression):
    """Ends the run if the stated properties are not 2-channel uncompressed
    sound at an accepted rate; 0 and None mean "not stated"."""
    if rate != 0 and rate not in RATES:
        fail("Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; "
             "this file is %d Hz.\n" % rate)
    if channels is not None and channels != 2:
        fail("Only 2-channel sound is supported; this file has %d channel%s.\n"
             % (channels, "" if channels == 1 else "s"))
    if compression == b"DST ":
        fail("DST-compressed sound data is not supported.\n")
    if compression not in (b"", b"DSD ") and compression[:1] != b"\0":
        shown = "".join(chr(c) if 0x20 <= c < 0x7F else "?" for c in compression)
        fail('Only uncompressed DSD sound data is supported; this file\'s compression is "%s".\n'
             % shown)


def walk_dsdiff(data):
    """Returns the bytes to convert, the sample rate, and a function giving
    the bytes of group g. Ends the run on a refused property chunk."""
    pos = 16  # past "FRM8", the container size and the form type
    rate = 0

    def read(n):
        nonlocal pos
        if pos + n > len(data):
            fail("No DSD sound data found.\n")
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    ident = read(4)
    while ident != b"DSD ":
        if ident == b"FVER":
            pos += 12
        else:
            if ident == b"PROP" and pos + 8 <= len(data):
                size = struct.unpack(">Q", data[pos:pos + 8])[0]
                start = pos + 8
                if size >= 4 and data[start:start + 4] == b"SND ":
                    found = sound_properties(data, start + 4, start + size)
                    if found is not None:
                        rate = found[0]
                        refuse_unsupported(*found)
            pos += 4
            size = struct.unpack(">I", read(4))[0]
            pos += size + (size & 1)
        ident = read(4)
    pos += 4
    size = struct.unpack(">I", read(4))[0]
    return size & ~7, rate or DSD64_RATE, lambda g: data[pos + 8 * g:pos + 8 * g + 8]


def is_dsf(data):
    """A "DSD " chunk of 28 bytes, a "fmt " chunk of 52 (version 1, raw DSD,
    bits per sample 1 or 8, a block size), then a "data" chunk."""
    def number(at, size):
        return int.from_bytes(data[at:at + size], "little")
    return (len(data) >= DSF_HEAD and data[0:4] == b"DSD " and number(4, 8) == 28 and
            data[28:32] == b"fmt " and number(32, 8) == 52 and number(40, 4) == 1 and
            number(44, 4) == 0 and number(60, 4) in (1, 8) and number(72, 4) > 0 and
            data[80:84] == b"data")


def walk_dsf(data):
    """Like walk_dsdiff: each group's bytes gathered from the channel blocks,
    bit-reversed when the file puts the earliest sample in the lowest bit."""
    channels, rate, bits, samples, block = struct.unpack("<IIIQI", data[52:76])
    refuse_unsupported(rate, channels, b"")

    def group(g):
        out = bytearray()
        for j in range(4 * g, 4 * g + 4):
            for c in range(2):
                at = DSF_HEAD + (j // block) * block * 2 + c * block + j % block
                b = data[at:at + 1]
                out += bytes([reverse_byte(b[0])]) if b and bits == 1 else b
        return bytes(out)

    return 8 * (samples // 32), rate or DSD64_RATE, group


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
    if data[0:4] == b"FRM8":
        dsd_size, rate, group_bytes = walk_dsdiff(data)
    elif is_dsf(data):
        dsd_size, rate, group_bytes = walk_dsf(data)
    else:
        fail("This is not a DSDIFF file.\n")
    if dsd_size < 128:
        fail("Data Size is not enough to convert.\n")
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
        group = group_bytes(g)
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
    frame_rate = rate // DECIMATION
    header = (b"RIFF" + struct.pack("<I", (wav_size + 36) & 0xFFFFFFFF) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 2, frame_rate, frame_rate * 6, 6, 24) + b"data" +
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
