"""Writes ID3v2 tags, versions 2.2, 2.3 and 2.4, for the Python tests and the
fuzzer's seeds: text(), comm(), apic() and pic() make frame bodies, frame()
puts the version's frame header in front, tag() the tag header. Encodings:
"latin1", "utf16" (a little-endian byte-order mark on each value), "utf16be", "utf8".
"""
import struct

ENCODINGS = {"latin1": (0, "latin-1", b"", b"\0"), "utf16": (1, "utf-16-le", b"\xff\xfe", b"\0\0"),
             "utf16be": (2, "utf-16-be", b"", b"\0\0"), "utf8": (3, "utf-8", b"", b"\0")}


def syncsafe(value):
    """Four 7-bit bytes, big-endian: every tag size, and 2.4 frame sizes."""
    return bytes((value >> (7 * i)) & 0x7F for i in (3, 2, 1, 0))


def encode(value, encoding, terminate=False):
    _, codec, mark, nul = ENCODINGS[encoding]
    return mark + value.encode(codec) + (nul if terminate else b"")


def text(values, encoding="latin1"):
    """A text frame's body; several values are NUL-separated, as 2.4 lists them
    (a TXXX body is text([description, value, ...]))."""
    values = [values] if isinstance(values, str) else values
    return bytes([ENCODINGS[encoding][0]]) + b"".join(
        encode(v, encoding, i < len(values) - 1) for i, v in enumerate(values))


def comm(description, value, encoding="latin1"):
    """A COMM or USLT body: encoding, language, description, text."""
    return bytes([ENCODINGS[encoding][0]]) + b"eng" + encode(description, encoding, True) + \
        encode(value, encoding)


def apic(data, mime="image/jpeg", picture_type=3, description=""):
    return b"\0" + mime.encode() + b"\0" + bytes([picture_type]) + description.encode() + b"\0" + data


def pic(data, image_format=b"JPG", picture_type=3, description=""):
    """2.2: a three-letter image format where APIC has a MIME type."""
    return b"\0" + image_format + bytes([picture_type]) + description.encode() + b"\0" + data


def unsynchronise(data):
    """A $00 after every $FF that comes before $00 or $E0 and up, or at the end."""
    out = bytearray()
    for i, byte in enumerate(data):
        out.append(byte)
        if byte == 0xFF and (i + 1 == len(data) or data[i + 1] >= 0xE0 or data[i + 1] == 0):
            out.append(0)
    return bytes(out)


def frame(ident, body, version=4, unsync=False):
    """2.2: 3-letter id, 3-byte size; 2.3: 4-byte size and flags; 2.4: syncsafe
    size, and `unsync` unsynchronises the body and sets the frame's flag."""
    ident = ident.encode()
    if version == 2:
        return ident + struct.pack(">I", len(body))[1:] + body
    if version == 3:
        return ident + struct.pack(">IH", len(body), 0) + body
    body = unsynchronise(body) if unsync else body
    return ident + syncsafe(len(body)) + struct.pack(">H", 2 if unsync else 0) + body


def tag(frames, version=4, unsync=False, extended=False, padding=0):
    """`unsync` unsynchronises the whole of a 2.2 or 2.3 tag (in 2.4, give the
    frames unsync=True; this only sets the header's flag); `extended` writes an
    extended header without optional data (2.3, 2.4)."""
    body = b"".join(frames)
    if extended:
        body = (struct.pack(">IHI", 6, 0, padding) if version == 3 else syncsafe(6) + b"\1\0") + body
    body += b"\0" * padding
    if unsync and version < 4:
        body = unsynchronise(body)
    flags = (0x80 if unsync else 0) | (0x40 if extended else 0)
    return b"ID3" + bytes([version, 0, flags]) + syncsafe(len(body)) + body
