#!/usr/bin/python3
"""Whole runs of dff2wav on SACD disc images written by dff-sacd, against
their twins: DSDIFF edited masters that hold the same sound with a marker at
each track. Every track of a DST area, of a plain one and of the
multichannel area equals the twin's, byte for byte; the original form writes
the twin's bytes; both sector sizes and both text character sets; --area;
damaged sectors, a damaged TOC-1 and an image cut short.

Usage: disc_test.py DFF2WAV DFF_TONE DFF_DST DFF_SACD
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, finish, run, wav_data  # noqa: E402
from dsd_files import DSD64_RATE, TRACK_START, edited_master, mark  # noqa: E402

R = DSD64_RATE


def sound_of(path):
    """The bytes of a DSDIFF file's "DSD " chunk."""
    data = open(path, "rb").read()
    pos = 16
    while pos + 12 <= len(data):
        ident, size = data[pos:pos + 4], struct.unpack(">Q", data[pos + 4:pos + 12])[0]
        if ident == b"DSD ":
            return data[pos + 12:pos + 12 + size]
        pos += 12 + size + (size & 1)
    raise ValueError(path)


def tracks_data(directory):
    return [wav_data(os.path.join(directory, n)) for n in sorted(os.listdir(directory))]


class Disc:
    """Track files of two and six channels, plain and DST, and their twins."""

    def __init__(self, tools, work):
        self.tools, self.work = tools, work
        self.stereo = [self.track("s%d" % i, 2, 2, i) for i in range(3)]
        self.six = [self.track("m%d" % i, 1, 6, i) for i in range(2)]

    def tool(self, name, *args):
        subprocess.run([self.tools[name]] + list(args), cwd=self.work, check=True,
                       stdout=subprocess.DEVNULL)

    def track(self, name, seconds, channels, i):
        signals = ["--channel", "1:sine:%d:-6" % (300 + 200 * i)]
        if channels > 1:
            signals += ["--channel", "2:sweep:%d:8000:-10" % (100 + 50 * i)]
        self.tool("dff-tone", "--duration", str(seconds), "--channels", str(channels),
                  *signals, name + ".dff")
        self.tool("dff-dst", name + ".dff", name + "-dst.dff")
        return name

    def image(self, name, args):
        self.tool("dff-sacd", *(args + [name]))
        return os.path.join(self.work, name)

    def twin(self, name, tracks, channels):
        """The edited master of `tracks`' sound, a marker at each start."""
        sounds = [sound_of(os.path.join(self.work, t + ".dff")) for t in tracks]
        marks, start = [], 0
        for s in sounds:
            marks.append(mark(start, TRACK_START))
            start += len(s) // channels * 8
        path = os.path.join(self.work, name)
        open(path, "wb").write(edited_master(b"".join(sounds), marks, channels=channels))
        return path


def test_areas(dff2wav, disc, work):
    s, m = disc.stereo, disc.six
    both = disc.image("both.iso", ["--album-title", "Disc", "--album-artist", "Band",
                                   "--disc-publisher", "Label", "--area-copyright", "(C) 2001",
                                   "--area-description", "Both",
                                   "--catalog", "CAT-1", "--date", "2001-02-03", "--set", "2/3",
                                   "--stereo", s[0] + "-dst.dff", "--title", "One", "--performer",
                                   "Solo", "--isrc", "USABC0100001",
                                   "--stereo", s[1] + "-dst.dff", "--title", "Two",
                                   "--stereo", s[2] + "-dst.dff", "--title", "Three",
                                   "--multichannel", m[0] + "-dst.dff", "--title", "M1",
                                   "--multichannel", m[1] + "-dst.dff", "--title", "M2"])
    twin = disc.twin("stereo.dff", s, 2)
    for args, source, what in ((["--split"], both, "DST stereo area"),
                               (["--split"], twin, "its twin"),
                               (["--area", "multichannel", "--split"], both, "DST 5.1 area"),
                               (["--split"], disc.twin("six.dff", m, 6), "its twin 6")):
        run([dff2wav] + args + [source, os.path.join(work, what)], work)
    check(tracks_data(os.path.join(work, "DST stereo area")) ==
          tracks_data(os.path.join(work, "its twin")) and
          len(os.listdir(os.path.join(work, "its twin"))) == 3,
          "every track of a DST stereo area is its twin's")
    check(tracks_data(os.path.join(work, "DST 5.1 area")) ==
          tracks_data(os.path.join(work, "its twin 6")) and
          len(os.listdir(os.path.join(work, "its twin 6"))) == 2,
          "every track of a DST multichannel area is its twin's")
    run([dff2wav, "--tracks", "1", "-f", "flac", both, os.path.join(work, "tagged")], work)
    tags = run(["metaflac", "--export-tags-to=-", os.path.join(work, "tagged", "01 - One.flac")],
               work).stdout.decode()
    check(all(t in tags for t in ("TITLE=One", "ARTIST=Solo", "ALBUM=Disc", "ALBUMARTIST=Band",
                                  "ISRC=USABC0100001", "DATE=2001-02-03", "DISCNUMBER=2",
                                  "DISCTOTAL=3", "CATALOGNUMBER=CAT-1", "TRACKNUMBER=1",
                                  "LABEL=Label", "COPYRIGHT=(C) 2001")),
          "tags from the disc's text, the disc's or the area's where the album has none: %s"
          % tags.split())
    listed = json.loads(run([dff2wav, "--json", both], work).stdout)
    check([a["area"] for a in listed["areas"]] == ["stereo area", "multichannel area"] and
          [len(a["tracks"]) for a in listed["areas"]] == [3, 2] and
          listed["areas"][1]["stream"]["layout"] == "5.1" and
          listed["areas"][0]["description"] == "Both", "--json shows both areas")
    # The original form: the twin's size report, WAV and channel files.
    for name, source in (("image", both), ("twin", twin)):
        os.makedirs(os.path.join(work, name))
        done = run([dff2wav, source, "out.wav"], os.path.join(work, name))
        setattr(disc, name + "_run", (done.stdout, done.returncode) + tuple(
            open(os.path.join(work, name, f), "rb").read() for f in ("out.wav", "dsdl.tmp")))
    check(disc.image_run == disc.twin_run, "the original form writes the twin's bytes")
    refused = run([dff2wav, "--area", "multichannel", "--list",
                   disc.image("stereo.iso", ["--stereo", s[0] + "-dst.dff"])], work)
    check(refused.returncode == 1 and b"no multichannel area" in refused.stderr,
          "--area multichannel on a disc without one is refused")


def test_plain_and_text(dff2wav, disc, work):
    s = disc.stereo
    twin = disc.twin("plain-twin.dff", s, 2)
    run([dff2wav, "--split", twin, os.path.join(work, "twin")], work)
    for sector, layout, charset, title in (("2048", "3in14", "latin1", "Caf\u00e9"),
                                           ("2064", "3in16", "sjis", "\u30c6\u30b9\u30c8")):
        image = disc.image("plain-%s.iso" % sector,
                           ["--sector-bytes", sector, "--plain-format", layout, "--charset",
                            charset, "--album-title", title] +
                           sum([["--stereo", t + ".dff", "--title", title + str(i)]
                                for i, t in enumerate(s)], []))
        out = os.path.join(work, sector)
        run([dff2wav, image, out + "/"], work)
        check(tracks_data(out) == tracks_data(os.path.join(work, "twin")),
              "a plain %s area in %s-byte sectors: every track is its twin's" % (layout, sector))
        listed = json.loads(run([dff2wav, "--json", image], work).stdout)
        check(listed["album"]["title"] == title and
              listed["areas"][0]["tracks"][1]["title"] == title + "1",
              "%s text comes out as UTF-8" % charset)


def test_damage(dff2wav, disc, work):
    s = disc.stereo
    image_path = disc.image("damage.iso", sum([["--stereo", t + "-dst.dff"] for t in s], []))
    image = open(image_path, "rb").read()
    twin = disc.twin("damage-twin.dff", s, 2)
    run([dff2wav, "--split", twin, os.path.join(work, "twin")], work)
    expected = tracks_data(os.path.join(work, "twin"))

    def converted(name, data):
        path = os.path.join(work, name + ".iso")
        open(path, "wb").write(data)
        done = run([dff2wav, "--split", path, os.path.join(work, name)], work)
        return done, tracks_data(os.path.join(work, name))

    # An audio sector in the middle of the second track, made garbage.
    sectors = len(image) // 2048
    middle = sectors - (sectors - 600) // 2
    bad = image[:middle * 2048] + b"\xff" * 2048 + image[(middle + 1) * 2048:]
    done, got = converted("bad-sector", bad)
    lines = done.stderr.decode().splitlines()
    check(done.returncode == 1 and any("track 2 at" in l and "silence" in l for l in lines) and
          got[0] == expected[0] and got[2] == expected[2] and got[1] != expected[1] and
          len(got[1]) == len(expected[1]),
          "a damaged sector: silence in its track, one line naming it, the rest intact")
    # TOC-1 of the stereo area damaged: TOC-2 is read instead.
    toc1 = image.find(b"TWOCHTOC")
    done, got = converted("bad-toc", image[:toc1] + b"XXXXXXXX" + image[toc1 + 8:])
    check(done.returncode == 0 and got == expected and b"TOC" in done.stderr,
          "a damaged TOC-1 gives way to TOC-2")
    # An image cut short converts what it holds.
    done, got = converted("cut", image[:len(image) * 3 // 4])
    check(done.returncode == 1 and b"ends early" in done.stderr and got[0] == expected[0] and
          len(b"".join(got)) < len(b"".join(expected)), "an image cut short: what it holds")


def main():
    dff2wav = os.path.abspath(sys.argv[1])
    if not shutil.which("metaflac"):
        print("disc: SKIPPED: metaflac (Debian: flac) is not installed")
        return 77
    tools = {name: os.path.abspath(path)
             for name, path in zip(("dff-tone", "dff-dst", "dff-sacd"), sys.argv[2:5])}
    with tempfile.TemporaryDirectory() as work:
        disc = Disc(tools, work)
        for test in (test_areas, test_plain_and_text, test_damage):
            directory = tempfile.mkdtemp(dir=work)
            test(dff2wav, disc, directory)
    return finish("disc")


if __name__ == "__main__":
    sys.exit(main())
