#!/usr/bin/python3
"""Whole runs of dff2wav into FLAC and the standard WAV, read back with the
flac tools: the samples, the MD5, the pipe, the tags of each place a
container keeps them, pictures, --no-tags and broken tags.

Usage: outputs_test.py DFF2WAV
Exits 77 (skipped) when flac or metaflac is not installed.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dsd_files import chunk, container, dsdiff, dsf, fver, prop  # noqa: E402
from id3_files import apic, comm, frame, tag, text  # noqa: E402

SKIP_EXIT = 77
PNG = bytes.fromhex("89504e470d0a1a0a") + bytes(range(256)) * 40  # a picture's bytes
FAILURES = []


def check(ok, what):
    print("%s  %s" % ("ok  " if ok else "FAIL", what))
    if not ok:
        FAILURES.append(what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, **kw)


def pcm_of_wav(data):
    """The data chunk of a RIFF file."""
    pos = 12
    while pos + 8 <= len(data):
        ident, size = struct.unpack("<4sI", data[pos:pos + 8])
        if ident == b"data":
            return data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)
    return None


def flac_pcm(path):
    """The samples of a FLAC file as flac -d writes them, and whether its
    MD5 checked out (flac -d checks it when it is set)."""
    done = run(["flac", "-s", "-d", "-f", "-o", path + ".wav", path])
    return pcm_of_wav(open(path + ".wav", "rb").read()), done.returncode == 0


def comments(path):
    out = run(["metaflac", "--export-tags-to=-", path]).stdout.decode()
    return [line for line in out.splitlines() if line]


def sound(rng, nbytes):
    return bytes(rng.getrandbits(8) for _ in range(nbytes))


def id3(version=4):
    return tag([frame("TIT2", text("T\u00eftle", "utf16"), version),
                frame("TPE1", text(["One", "Two"], "utf8"), version),
                frame("TRCK", text("3/12"), version),
                frame("TXXX", text(["REPLAYGAIN_TRACK_GAIN", "-6.50 dB"]), version),
                frame("COMM", comm("", "A comment"), version),
                frame("APIC", apic(PNG, "image/png", 3, "cover"), version)], version)


EXPECTED = ["TITLE=T\u00eftle", "ARTIST=One", "ARTIST=Two", "TRACKNUMBER=3", "TRACKTOTAL=12",
            "COMMENT=A comment", "REPLAYGAIN_TRACK_GAIN=-6.50 dB"]


def main():
    dff2wav = os.path.abspath(sys.argv[1])
    if not shutil.which("flac") or not shutil.which("metaflac"):
        print("outputs: SKIPPED: flac and metaflac (Debian: flac) are not installed")
        return SKIP_EXIT
    rng = random.Random(15)
    work = tempfile.mkdtemp(prefix="outputs-")
    os.chdir(work)

    # Samples: FLAC gives back the standard WAV's frames, stereo and 5.1,
    # from both containers; its MD5 checks out.
    for channels in (2, 6):
        samples = sound(rng, 4 * channels * 3000)
        for name, data in (("dff", dsdiff(samples, channels=channels)),
                           ("dsf", dsf(samples, channels=channels))):
            path = "s%d.%s" % (channels, name)
            open(path, "wb").write(data)
            run([dff2wav, "--format", "wav", path, path + ".wav"])
            wav = pcm_of_wav(open(path + ".wav", "rb").read())
            done = run([dff2wav, path, path + ".flac"])
            pcm, md5_ok = flac_pcm(path + ".flac")
            check(done.returncode == 0 and pcm == wav and md5_ok and len(wav) == 3 * channels * 2984,
                  "%d channels from %s: FLAC samples = WAV samples, MD5 checks out" % (channels, name))
    # The original WAV's declared frames are those of FLAC too.
    run([dff2wav, "s2.dff", "orig.wav"])
    check(pcm_of_wav(open("orig.wav", "rb").read()) == flac_pcm("s2.dff.flac")[0],
          "stereo FLAC holds the frames the original WAV declares")
    info = run(["metaflac", "--show-total-samples", "--show-md5sum", "s6.dsf.flac"]).stdout.split()
    check(info[0] == b"2984" and info[1] != b"0" * 32, "stream info: sample count and MD5 set")
    listed = run(["metaflac", "--list", "--block-type=SEEKTABLE", "s6.dsf.flac"]).stdout
    check(b"SEEKTABLE" in listed, "a seek table is written")

    # To a pipe: the same samples; the sample count known, the MD5 unset.
    piped = run(["sh", "-c", "'%s' --format flac s6.dsf - | cat > pipe.flac" % dff2wav])
    info = run(["metaflac", "--show-total-samples", "--show-md5sum", "pipe.flac"]).stdout.split()
    check(piped.returncode == 0 and flac_pcm("pipe.flac")[0] == flac_pcm("s6.dsf.flac")[0] and
          info == [b"2984", b"0" * 32], "a pipe: same samples, sample count written, MD5 unset")

    # Tags in each place a container keeps them.
    samples = sound(rng, 8 * 2000)
    diin = chunk(b"DIIN", chunk(b"DIAR", struct.pack(">I", 6) + b"Artist") +
                 chunk(b"DITI", struct.pack(">I", 5) + b"Title"))
    prop_with_id3 = chunk(b"PROP", prop()[12:] + chunk(b"ID3 ", id3(3)))
    places = [
        ("DSF tag, ID3v2.4", dsf(samples, tag=id3(4)), EXPECTED),
        ("DSF tag, ID3v2.3", dsf(samples, tag=id3(3)), EXPECTED),
        ("DSDIFF ID3 chunk after the sound", container(
            [fver(), prop(), chunk(b"DSD ", samples), chunk(b"ID3 ", id3(4))]), EXPECTED),
        ("DSDIFF ID3 chunk in PROP", container(
            [fver(), prop_with_id3, chunk(b"DSD ", samples)]), EXPECTED),
        ("DSDIFF DIIN alone", container([fver(), prop(), diin, chunk(b"DSD ", samples)]),
         ["TITLE=Title", "ARTIST=Artist"]),
        ("DSDIFF DIIN and ID3: the ID3 frames win", container(
            [fver(), diin, prop(), chunk(b"DSD ", samples), chunk(b"ID3 ", id3(4))]), EXPECTED),
    ]
    for what, data, expected in places:
        open("t.in", "wb").write(data)
        done = run([dff2wav, "t.in", "t.flac"])
        check(done.returncode == 0 and comments("t.flac") == expected, what)
    run(["metaflac", "--export-picture-to=cover.png", "t.flac"])
    picture = run(["metaflac", "--list", "--block-type=PICTURE", "t.flac"]).stdout.decode()
    check(open("cover.png", "rb").read() == PNG and "type: 3" in picture and
          "MIME type: image/png" in picture and "description: cover" in picture,
          "the picture: type, MIME type, description and bytes")

    # The standard WAV: INFO fields, and the ID3v2 tag's own bytes.
    open("t.dsf", "wb").write(dsf(samples, tag=id3(4)))
    run([dff2wav, "--format", "wav", "t.dsf", "t.wav"])
    data = open("t.wav", "rb").read()
    check(b"INAM\x07\x00\x00\x00T\xc3\xaftle\x00" in data and
          b"IART\x09\x00\x00\x00One; Two\x00\x00" in data and
          b"ITRK\x02\x00\x00\x003\x00" in data, "WAV: LIST/INFO fields in UTF-8")
    check(b"id3 " + struct.pack("<I", len(id3(4))) + id3(4) in data, "WAV: the ID3v2 tag's own bytes")
    check(pcm_of_wav(data) == flac_pcm("t.flac")[0], "WAV with tags: the same samples")

    # --no-tags; a broken tag costs the tags only, with one line.
    run([dff2wav, "--no-tags", "t.dsf", "bare.flac"])
    check(comments("bare.flac") == [] and b"PICTURE" not in
          run(["metaflac", "--list", "bare.flac"]).stdout, "--no-tags writes none")
    broken = [("cut short", dsf(samples, tag=id3(4)[:40])),
              ("pointing outside the file", dsf(samples, tag=id3(4))[:-len(id3(4))])]
    for what, data in broken:
        open("b.dsf", "wb").write(data)
        done = run([dff2wav, "b.dsf", "b.flac"])
        notes = [l for l in done.stderr.decode().splitlines() if "tags left out" in l]
        check(done.returncode == 0 and len(notes) == 1 and notes[0].startswith("dff2wav: b.dsf: ")
              and flac_pcm("b.flac")[0] == flac_pcm("t.flac")[0],
              "a tag %s: the sound converts, one line says so" % what)

    shutil.rmtree(work)
    print("outputs: %s" % ("%d check(s) FAILED" % len(FAILURES) if FAILURES else "all checks passed"))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
