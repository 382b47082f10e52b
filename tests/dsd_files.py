"""Writes DSD test files, DSDIFF and DSF, for the Python tests.

Sound is given the DSDIFF way throughout: channel bytes interleaved (L, R, L,
R, ... for two channels), the earliest sample of each byte in its top bit.
dsf() writes the same samples in DSF's layout, so a test can make one signal
in both containers.
"""
import struct

DSD64_RATE = 2822400
# The layout of each channel count, as DSF channel types and DSDIFF channel
# ids that name the same speakers in the same order: C; FL FR; FL FR C;
# FL FR BL BR; FL FR C BL BR; FL FR C LFE BL BR.
DSF_CHANNEL_TYPES = {1: 1, 2: 2, 3: 3, 4: 4, 5: 6, 6: 7}
DSDIFF_CHANNEL_IDS = {
    1: [b"C   "],
    2: [b"SLFT", b"SRGT"],
    3: [b"MLFT", b"MRGT", b"C   "],
    4: [b"MLFT", b"MRGT", b"LS  ", b"RS  "],
    5: [b"MLFT", b"MRGT", b"C   ", b"LS  ", b"RS  "],
    6: [b"MLFT", b"MRGT", b"C   ", b"LFE ", b"LS  ", b"RS  "],
}


def chunk(ident, data, size=None):
    """A DSDIFF chunk: identifier, 64-bit big-endian size (the data's length
    unless given), data, and a pad byte the size does not count if odd."""
    size = len(data) if size is None else size
    pad = b"\0" if len(data) % 2 else b""
    return ident + struct.pack(">Q", size) + data + pad


def container(chunks, form=b"DSD "):
    body = form + b"".join(chunks)
    return b"FRM8" + struct.pack(">Q", len(body)) + body


def fver():
    return chunk(b"FVER", b"\x01\x05\x00\x00")


def prop(rate=DSD64_RATE, channels=2, compression=b"DSD "):
    """A sound property chunk: "FS  ", "CHNL" and, unless compression is
    None, "CMPR" with that type."""
    local = (chunk(b"FS  ", struct.pack(">I", rate)) +
             chunk(b"CHNL", struct.pack(">H", channels) +
                   b"".join(DSDIFF_CHANNEL_IDS.get(channels, [b"C000"] * channels))))
    if compression is not None:
        name = b"not compressed"
        local += chunk(b"CMPR", compression + bytes([len(name)]) + name)
    return chunk(b"PROP", b"SND " + local)


def dsdiff(sound, rate=DSD64_RATE, channels=2):
    """A minimal valid DSDIFF file holding `sound`."""
    return container([fver(), prop(rate, channels), chunk(b"DSD ", sound)])


def reverse_bits(byte):
    return int("{:08b}".format(byte)[::-1], 2)


def dsf(sound, rate=DSD64_RATE, lsb_first=False, block=4096, sample_count=None, tag=b"",
        channels=2):
    """The samples of `sound` as a DSF file: each channel in blocks of `block`
    bytes, channel after channel, the last blocks padded with zeros; bytes
    bit-reversed when `lsb_first`. `sample_count` (per channel) defaults to
    every sample in `sound`; `tag` (an ID3v2 tag) follows the data."""
    per_channel = len(sound) // channels
    if sample_count is None:
        sample_count = 8 * per_channel
    if lsb_first:
        sound = bytes(reverse_bits(b) for b in sound)
    streams = [sound[c::channels] for c in range(channels)]
    blocks = -(-per_channel // block)
    data = b"".join(s[i * block:(i + 1) * block].ljust(block, b"\0")
                    for i in range(blocks) for s in streams)
    fmt = struct.pack("<IIIIIIQII", 1, 0, DSF_CHANNEL_TYPES.get(channels, 2), channels, rate,
                      1 if lsb_first else 8, sample_count, block, 0)
    head_bytes = 28 + 12 + len(fmt) + 12
    file_bytes = head_bytes + len(data) + len(tag)
    tag_offset = head_bytes + len(data) if tag else 0
    return (b"DSD " + struct.pack("<QQQ", 28, file_bytes, tag_offset) +
            b"fmt " + struct.pack("<Q", 12 + len(fmt)) + fmt +
            b"data" + struct.pack("<Q", 12 + len(data)) + data + tag)


# Edited masters: "MARK" kinds, and the chunks that place the marks in time.
TRACK_START, TRACK_STOP, PROGRAM_START, INDEX_MARK = 0, 1, 2, 4


def hmss(samples, rate=DSD64_RATE):
    """A time as "MARK" and "ABSS" give it: hours (2 bytes), minutes,
    seconds (1 byte each) and samples (4 bytes)."""
    seconds, rest = divmod(samples, rate)
    return struct.pack(">HBBI", seconds // 3600, seconds // 60 % 60, seconds % 60, rest)


def mark(samples, kind, text=b"", offset=0, rate=DSD64_RATE):
    """A "MARK" chunk at absolute time `samples`, moved by `offset`."""
    body = (hmss(samples, rate) + struct.pack(">iHHHI", offset, kind, 0, 0, len(text)) + text +
            b"\0" * (len(text) % 2))
    return chunk(b"MARK", body)


def diin(marks, title=None, artist=None):
    """A "DIIN" chunk: the album's title and artist (counted texts), then marks."""
    local = b""
    for ident, value in ((b"DITI", title), (b"DIAR", artist)):
        if value is not None:
            local += chunk(ident, struct.pack(">I", len(value)) + value)
    return chunk(b"DIIN", local + b"".join(marks))


def edited_master(sound, marks, channels=2, start=0, id3s=(), title=None, artist=None,
                  rate=DSD64_RATE):
    """A DSDIFF edited master: "ABSS" at `start` samples in the property
    chunk, "DIIN" with the marks, the sound, and an "ID3 " chunk for each of
    `id3s` after it, as ripping tools write one per track."""
    local = (chunk(b"FS  ", struct.pack(">I", rate)) +
             chunk(b"CHNL", struct.pack(">H", channels) + b"".join(DSDIFF_CHANNEL_IDS[channels])) +
             chunk(b"CMPR", b"DSD " + bytes([14]) + b"not compressed") +
             chunk(b"ABSS", hmss(start, rate)))
    chunks = [fver(), chunk(b"PROP", b"SND " + local), diin(marks, title, artist),
              chunk(b"DSD ", sound)]
    return container(chunks + [chunk(b"ID3 ", tag) for tag in id3s])


def cue_time(samples, rate=DSD64_RATE):
    """mm:ss:ff of a cue sheet, 75 frames a second (`samples` on a frame)."""
    frames = samples * 75 // rate
    return "%02d:%02d:%02d" % (frames // 4500, frames // 75 % 60, frames % 75)


def cue_sheet(file_name, tracks, title=None, performer=None, extra=""):
    """A cue sheet's text: `tracks` are dicts of start, and optionally
    pause_start, title, performer, songwriter and isrc (samples at DSD64)."""
    lines = [extra] if extra else []
    if performer:
        lines.append('PERFORMER "%s"' % performer)
    if title:
        lines.append('TITLE "%s"' % title)
    lines.append('FILE "%s" WAVE' % file_name)
    for n, t in enumerate(tracks, 1):
        lines.append("  TRACK %02d AUDIO" % n)
        for key, word in (("title", "TITLE"), ("performer", "PERFORMER"),
                          ("songwriter", "SONGWRITER")):
            if key in t:
                lines.append('    %s "%s"' % (word, t[key]))
        if "isrc" in t:
            lines.append("    ISRC %s" % t["isrc"])
        if "pause_start" in t:
            lines.append("    INDEX 00 " + cue_time(t["pause_start"]))
        lines.append("    INDEX 01 " + cue_time(t["start"]))
    return "\n".join(lines) + "\n"
