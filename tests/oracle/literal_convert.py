#!/usr/bin/env python3
"""A second, deliberately literal implementation of dff2wav, used as an oracle.

It reads DSDIFF (walking the container with 32-bit chunk sizes) and DSF,
turns either into the same rounds of bytes (one byte of each channel in
turn, earliest sample in each byte's top bit), splits word by word, and
evaluates the filter one tap at a time with Python floats (IEEE doubles), in
the same order as the converter's reference filter. A two-channel input gives
the original form (size report, channel files, 44-byte WAV); any other
channel count the standard form (an extensible WAV, nothing on standard
output, no channel files). It is slow and only meant for whole inputs of a
few thousand words. Output: the same standard output bytes, exit status, WAV
file and channel files as dff2wav, written in the working directory.

Usage: literal_convert.py TAPS_CPP IN OUT.wav
"""
import os
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
MAX_CHANNELS = 6
# Speaker mask bits: FL, FR, FC, LFE, BL, BR.
FL, FR, FC, LFE, BL, BR = 1, 2, 4, 8, 16, 32
SPEAKER_OF_ID = {b"SLFT": FL, b"MLFT": FL, b"SRGT": FR, b"MRGT": FR, b"C   ": FC,
                 b"LFE ": LFE, b"LS  ": BL, b"RS  ": BR}
DSF_TYPES = {1: [FC], 2: [FL, FR], 3: [FL, FR, FC], 4: [FL, FR, BL, BR], 5: [FL, FR, FC, LFE],
             6: [FL, FR, FC, BL, BR], 7: [FL, FR, FC, LFE, BL, BR]}
KSDATAFORMAT_SUBTYPE_PCM = bytes.fromhex("0100000000001000800000aa00389b71")


class Stop(Exception):
    pass


def say(text):
    sys.stdout.buffer.write(text if isinstance(text, bytes) else text.encode())


OUTPUT = []  # the output file a run opened, which a standard-form failure leaves out


def fail(message, standard_form=False):
    """Ends the run with its one line: on standard output in the original
    form, on standard error in the standard form, whose output appears only
    when complete."""
    if standard_form:
        sys.stderr.write(message)
        for path in OUTPUT:
            os.remove(path)
    else:
        say(message)
    raise Stop(1)


def load_taps(path):
    text = open(path).read()
    body = text[text.index("{") + 1:text.index("}")]
    half = [float(m) for m in re.findall(r"^\s*([-0-9.e+]+),", body, re.M)]
    assert len(half) == 256
    return half + half[::-1]


def sound_properties(data, start, end):
    """The rate, channel count (None if absent), channel ids and compression
    type that the local chunks in data[start:end] of a "PROP" chunk of type
    "SND " state, or None when one is cut short or runs past `end`."""
    rate, channels, ids, compression = 0, None, [], b""
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
            ids = [body[i:i + 4] for i in range(2, len(body) - 3, 4)]
        elif ident == b"CMPR":
            if len(body) < 5 or size < 5 + body[4]:
                return None
            compression = body[:4]
        pos += 12 + size
        if size & 1 and pos < end:
            pos += 1
    return rate, channels, ids, compression


def plural(n):
    return "" if n == 1 else "s"


def refuse_unsupported(rate, channels, ids, compression):
    """Ends the run if the stated properties are not 1 to 6 channels of
    uncompressed sound at an accepted rate; 0 and None mean "not stated". A
    stated count other than 2 makes it a standard-form run."""
    standard = channels is not None and channels != 2
    if rate != 0 and rate not in RATES:
        fail("Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; "
             "this file is %d Hz.\n" % rate, standard)
    if channels is not None and not 1 <= channels <= MAX_CHANNELS:
        fail("Only 1 to 6 channels are supported; this file has %d.\n" % channels, standard)
    if channels is not None and len(ids) != channels:
        fail("This DSDIFF file counts %d channel%s but names %d.\n"
             % (channels, plural(channels), len(ids)), standard)
    if compression not in (b"", b"DSD ", b"DST ") and compression[:1] != b"\0":
        shown = "".join(chr(c) if 0x20 <= c < 0x7F else "?" for c in compression)
        fail('Only DSD and DST sound data are supported; this file\'s compression is "%s".\n'
             % shown, standard)


def walk_dsdiff(data):
    """Returns the whole words per channel, the sample rate, the speakers of
    the file's channels, and a function giving the bytes of round w (4 bytes
    of each channel, interleaved). Ends the run on a refused property chunk."""
    pos = 16  # past "FRM8", the container size and the form type
    rate = 0
    speakers = [FL, FR]

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
                        refuse_unsupported(*found)
                        rate = found[0]
                        if found[1] is not None:
                            speakers = [SPEAKER_OF_ID.get(i, 0) for i in found[2]]
            pos += 4
            size = struct.unpack(">I", read(4))[0]
            pos += size + (size & 1)
        ident = read(4)
    size = struct.unpack(">Q", read(8))[0]
    n = len(speakers)
    return size // (4 * n), rate or DSD64_RATE, speakers, \
        lambda w: data[pos + 4 * n * w:pos + 4 * n * (w + 1)]


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
    """Like walk_dsdiff: each round's bytes gathered from the channel blocks,
    bit-reversed when the file puts the earliest sample in the lowest bit."""
    channel_type, channels, rate, bits, samples, block = struct.unpack("<IIIIQI", data[48:76])
    standard = channels != 2
    if rate not in RATES:
        fail("Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; "
             "this file is %d Hz.\n" % rate, standard)
    if not 1 <= channels <= MAX_CHANNELS:
        fail("Only 1 to 6 channels are supported; this file has %d.\n" % channels, standard)
    if len(DSF_TYPES.get(channel_type, [])) != channels:
        fail("This DSF file's channel type %d does not fit its %d channel%s.\n"
             % (channel_type, channels, plural(channels)), standard)

    def round_bytes(w):
        out = bytearray()
        for j in range(4 * w, 4 * w + 4):
            for c in range(channels):
                at = DSF_HEAD + (j // block) * block * channels + c * block + j % block
                b = data[at:at + 1]
                out += bytes([reverse_byte(b[0])]) if b and bits == 1 else b
        return bytes(out)

    return samples // 32, rate or DSD64_RATE, DSF_TYPES[channel_type], round_bytes


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


def channel_sample(taps, words):
    acc = 0.0
    for w in range(16):
        for b in range(32):
            if (words[w] >> b) & 1:
                acc += taps[32 * w + b]
    return sample_of(acc)


def frame(taps, left, right):
    return channel_sample(taps, left) + channel_sample(taps, right)


def convert_standard(taps, words, rate, speakers, round_bytes, out_path):
    """Every frame whose window lies in the sound, channels in the order of
    their speakers' mask bits (unknown ones last), behind an extensible header."""
    n = len(speakers)
    known, order = 0, []
    for c, s in enumerate(speakers):
        if s & known:
            speakers[c] = 0
        known |= speakers[c]
    for bit in (FL, FR, FC, LFE, BL, BR):
        order += [c for c in range(n) if speakers[c] == bit]
    order += [c for c in range(n) if speakers[c] == 0]
    channel_words = [[] for _ in range(n)]
    for w in range(words):
        data = round_bytes(w)
        assert len(data) == 4 * n, "the oracle handles whole inputs only"
        for c in range(n):
            channel_words[c].append(word_of(data[c::n]))
    frames = words - 16
    pcm = bytearray()
    for k in range(frames):
        for c in order:
            pcm += channel_sample(taps, channel_words[c][k:k + 16])
    if len(pcm) % 2:
        pcm += b"\0"
    frame_rate = rate // DECIMATION
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, n, frame_rate, frame_rate * 3 * n, 3 * n, 24, 22, 24,
                      known) + KSDATAFORMAT_SUBTYPE_PCM
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + \
        struct.pack("<I", 3 * n * frames) + pcm
    with open(out_path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", len(body)) + body)


def convert(taps, in_path, out_path):
    try:
        data = open(in_path, "rb").read()
    except OSError:
        fail("File Open Error\n")
    open(out_path, "wb").close()
    OUTPUT.append(out_path)
    if data[0:4] == b"FRM8":
        words, rate, speakers, round_bytes = walk_dsdiff(data)
    elif is_dsf(data):
        words, rate, speakers, round_bytes = walk_dsf(data)
    else:
        fail("This is not a DSDIFF file.\n")
    if words < 16:
        fail("Data Size is not enough to convert.\n", len(speakers) != 2)
    if len(speakers) != 2:
        convert_standard(taps, words, rate, speakers, round_bytes, out_path)
        return
    # 32-bit sizes: as many whole groups as they carry.
    dsd_size = min(8 * words, 0xFFFFFFF8)
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
        group = round_bytes(g)
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
