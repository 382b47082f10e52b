"""What the Python tests of whole runs share: checks that print as they go
and are counted, runs of a command with its output kept, and the chunks of a
RIFF file's data."""
import struct
import subprocess

FAILURES = []


def check(ok, what):
    print("%s  %s" % ("ok  " if ok else "FAIL", what))
    if not ok:
        FAILURES.append(what)


def run(args, cwd=None, **kw):
    return subprocess.run(args, cwd=cwd, capture_output=True, **kw)


def riff_chunks(data):
    """The chunks of a RIFF file, by id: each a list of their data."""
    found, pos = {}, 12
    while pos + 8 <= len(data):
        ident, size = struct.unpack("<4sI", data[pos:pos + 8])
        found.setdefault(ident, []).append(data[pos + 8:pos + 8 + size])
        pos += 8 + size + (size & 1)
    return found


def wav_data(path):
    """The samples of a WAV file: its data chunk, or None."""
    chunks = riff_chunks(open(path, "rb").read())
    return chunks[b"data"][0] if b"data" in chunks else None


def finish(name):
    """The exit status of a test: says how it went."""
    if FAILURES:
        print("%s: %d checks failed" % (name, len(FAILURES)))
        return 1
    print("%s: all checks passed" % name)
    return 0
