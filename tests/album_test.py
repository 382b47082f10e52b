#!/usr/bin/python3
"""Whole runs of dff2wav on albums in one file: DSDIFF edited masters with
markers and per-track ID3 chunks, and DSF files with cue sheets, split into
tracks. The tracks put together must be the one-file run's frames, byte for
byte, for 24-bit WAV, dithered 16-bit FLAC and --rate 44100; names come out
safe and distinct; --tracks, --list and --json; every refusal; ReplayGain
over an album; and FLAC runs whose tags FLAC cannot hold.

Usage: album_test.py DFF2WAV
"""
import json
import os
import random
import resource
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, finish, riff_chunks, run, wav_data  # noqa: E402
from dsd_files import (DSD64_RATE, INDEX_MARK, PROGRAM_START, TRACK_START,  # noqa: E402
                       TRACK_STOP, cue_sheet, dsf, edited_master, mark)
from id3_files import apic, frame, tag, text  # noqa: E402

R = DSD64_RATE
FRAME_RATE = R // 32


def info(path):
    """The LIST/INFO fields of a WAV."""
    fields = {}
    for listed in riff_chunks(open(path, "rb").read()).get(b"LIST", []):
        pos = 4
        while pos + 8 <= len(listed):
            ident, size = struct.unpack("<4sI", listed[pos:pos + 8])
            fields[ident.decode()] = listed[pos + 8:pos + 8 + size].rstrip(b"\0").decode()
            pos += 8 + size + (size & 1)
    return fields


def flac_data(path):
    """A FLAC file's samples, as flac -d gives them (checking the MD5)."""
    out = subprocess.run(["flac", "-s", "-d", "-c", "--force-raw-format", "--endian=little",
                          "--sign=signed", path], capture_output=True)
    return out.stdout if out.returncode == 0 else None


def comments(path):
    out = subprocess.run(["metaflac", "--export-tags-to=-", path], capture_output=True)
    return dict(line.split("=", 1) for line in out.stdout.decode().splitlines() if "=" in line)


def files_in(directory):
    return sorted(os.listdir(directory)) if os.path.isdir(directory) else []


def sound(seconds, seed, channels=2):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(seconds * R // 8 * channels))


def edited(work, name, sound_bytes, marks, **kw):
    path = os.path.join(work, name)
    open(path, "wb").write(edited_master(sound_bytes, marks, **kw))
    return path


def album_master(work):
    """8 s whose sound starts at 00:00:03: three tracks at 0, 3 and 5 s,
    the second after a second of pause, the last stopped at 7 s; marks out
    of order, one moved by its offset, and marks of other kinds among them;
    an ID3 chunk per track."""
    start = 3 * R
    marks = [mark(start + 5 * R, TRACK_START, b"Third"), mark(start, PROGRAM_START),
             mark(start, TRACK_START, b"First"), mark(start + 2 * R, TRACK_STOP),
             mark(start + 3 * R + 100, TRACK_START, b"Second", offset=-100),
             mark(start + 4 * R, INDEX_MARK), mark(start + 7 * R, TRACK_STOP)]
    id3s = [tag([frame("TIT2", text(title), 4), frame("TPE1", text(artist), 4)], 4)
            for title, artist in (("One", "Band"), ("Two", "Solo"), ("Three", "Band"))]
    return edited(work, "album.dff", sound(8, 1), marks, start=start, id3s=id3s,
                  title=b"Album", artist=b"Band")


def cue_album(work, encoding="utf-8", bom=True, tracks=None, name="album"):
    """8 s of DSF and a sheet beside it: tracks at 0, 3 (its pause from
    2 s) and 5 s."""
    path = os.path.join(work, name + ".dsf")
    open(path, "wb").write(dsf(sound(8, 2)))
    tracks = tracks or [
        {"start": 0, "title": "Ouverture", "performer": "Ensemble", "isrc": "USABC0000001"},
        {"start": 3 * R, "pause_start": 2 * R, "title": "Pr\u00e9lude", "songwriter": "Bach"},
        {"start": 5 * R, "title": "Fin"}]
    sheet = cue_sheet(name + ".dsf", tracks, title="Suites", performer="Ensemble",
                      extra='REM GENRE "Baroque"\nREM DATE 1720\nCATALOG 0123456789012')
    open(os.path.join(work, name + ".cue"), "wb").write(
        (b"\xef\xbb\xbf" if bom else b"") + sheet.encode(encoding))
    return path


def frames_of(seconds):
    return int(seconds * FRAME_RATE)


def check_concatenation(dff2wav, work, source, options, extension, frame_bytes, first, last, what):
    """The split's tracks put together ≡ the one-file run's frames [first, last)."""
    whole = os.path.join(work, "whole." + extension)
    split = tempfile.mkdtemp(dir=work)
    one = run([dff2wav] + options + [source, whole], work)
    many = run([dff2wav] + options + ["--split", source, split], work)
    read = flac_data if extension == "flac" else wav_data
    joined = b"".join(read(os.path.join(split, f)) for f in files_in(split))
    whole_data = read(whole)
    check(one.returncode == many.returncode and many.returncode in (0, 1) and
          joined == whole_data[first * frame_bytes:last * frame_bytes] and len(joined) > 0,
          what + ": the tracks put together are the one file's frames %d to %d" % (first, last))
    return split


def test_edited_master(dff2wav, work):
    master = album_master(work)
    listed = json.loads(run([dff2wav, "--json", master], work).stdout)
    tracks = listed["tracks"]
    check(listed["tracks_from"] == "markers" and
          [(t["number"], t["start"], t["length"], t["pause"]) for t in tracks] ==
          [(1, 0.0, 3.0, 0.0), (2, 3.0, 2.0, 1.0), (3, 5.0, 2.0, 0.0)],
          "markers: ABSS, the offset and the TrackStops place the tracks and pauses")
    check([t["title"] for t in tracks] == ["One", "Two", "Three"] and
          tracks[1]["performer"] == "Solo", "markers: each track's ID3 chunk wins over its text")
    split = check_concatenation(dff2wav, work, master, ["--format", "wav"], "wav", 6, 0,
                                frames_of(7), "24-bit WAV of an edited master")
    names = files_in(split)
    check(names == ["01 - One.wav", "02 - Two.wav", "03 - Three.wav"], "names: %s" % names)
    lengths = [len(wav_data(os.path.join(split, n))) // 6 for n in names]
    check(lengths == [frames_of(3), frames_of(2), frames_of(2)],
          "each track runs to the next one's start, its pause included")
    second = info(os.path.join(split, names[1]))
    check(second.get("INAM") == "Two" and second.get("IART") == "Solo" and
          second.get("IPRD") == "Album" and second.get("ITRK") == "2",
          "a track's INFO: %s" % second)
    check_concatenation(dff2wav, work, master, ["--rate", "44100"], "wav", 6, 0, frames_of(7) // 2,
                        "--rate 44100")
    only = os.path.join(work, "only")
    done = run([dff2wav, "--tracks", "3,2", master, only], work)
    check(done.returncode == 0 and files_in(only) == names[1:] and
          all(open(os.path.join(only, n), "rb").read() == open(os.path.join(split, n), "rb").read()
              for n in names[1:]), "--tracks writes those tracks, the same bytes")


def test_cue_album(dff2wav, work):
    album = cue_album(work)
    listing = run([dff2wav, "--list", album], work).stdout.decode().splitlines()
    check(len(listing) == 4 and "Suites / Ensemble" in listing[0] and "cue sheet" in listing[0] and
          listing[2].split()[:3] == ["2", "00:03.00", "00:02.00"] and "Pr\u00e9lude" in listing[2],
          "--list: %s" % listing)
    split = check_concatenation(dff2wav, work, album, ["--bits", "16", "--format", "flac"], "flac",
                                4, 0, frames_of(8) - 16, "dithered 16-bit FLAC of a cue album")
    names = files_in(split)
    second = comments(os.path.join(split, names[1]))
    expected = {"TITLE": "Pr\u00e9lude", "ARTIST": "Ensemble", "ALBUM": "Suites",
                "ALBUMARTIST": "Ensemble", "COMPOSER": "Bach", "TRACKNUMBER": "2",
                "TRACKTOTAL": "3", "DATE": "1720", "GENRE": "Baroque",
                "CATALOGNUMBER": "0123456789012"}
    check(all(second.get(k) == v for k, v in expected.items()), "a track's comments: %s" % second)
    check(comments(os.path.join(split, names[0])).get("ISRC") == "USABC0000001", "ISRC")
    # The same sheet in Latin-1, without a byte-order mark.
    latin = os.path.join(work, "latin")
    os.makedirs(latin)
    album = cue_album(latin, encoding="latin-1", bom=False)
    listed = json.loads(run([dff2wav, "--json", album], latin).stdout)
    check(listed["tracks"][1]["title"] == "Pr\u00e9lude" and listed["tracks"][1]["pause"] == 1.0,
          "a Latin-1 sheet, and INDEX 00 as the pause")
    # A path in Latin-1 still gives a JSON document.
    latin_path = os.path.join(latin.encode(), b"caf\xe9.dsf")
    os.rename(album, latin_path)
    listed = subprocess.run([dff2wav, "--json", latin_path], capture_output=True).stdout
    try:
        named = json.loads(listed)["file"]
    except ValueError:  # not UTF-8, or not JSON
        named = ""
    check(named.endswith("caf\u00e9.dsf"), "--json of a Latin-1 path: %r" % named)


def test_names(dff2wav, work):
    titles = ["a/b", "..", "-dash", "Same", "Same"]
    album = cue_album(work, name="names",
                      tracks=[{"start": i * R, "title": t} for i, t in enumerate(titles)])
    out = os.path.join(work, "named")
    done = run([dff2wav, "--name", "%t", album, out + "/"], work)
    check(done.returncode in (0, 1) and
          files_in(out) == sorted(["a_b.wav", "02.wav", "_-dash.wav", "Same.wav", "Same (2).wav"]),
          "names from titles stay inside OUT and apart: %s" % files_in(out))
    # The whole sound, one track, is named after the input by the same rules.
    for base, expected in (("-x", "_-x.flac"), ("y" * 251, "y" * 250 + ".flac")):
        whole = os.path.join(work, base + ".dsf")
        open(whole, "wb").write(dsf(sound(1, 5)))
        out = os.path.join(work, "whole-" + base[:4])
        done = run([dff2wav, "--format", "flac", whole, out + "/"], work)
        check(done.returncode == 0 and files_in(out) == [expected],
              "an input's own name made safe: %s" % [n[:8] for n in files_in(out)])


def test_refusals(dff2wav, work):
    s = sound(4, 3)

    def refused(args, what, words):
        out = os.path.join(work, "refused")
        done = run([dff2wav] + args + [out], work)
        lines = done.stderr.decode().strip().splitlines()
        check(done.returncode == 1 and len(lines) == 1 and words in lines[0] and
              not os.path.exists(out), "refused, one line, nothing written: %s: %s" % (what, lines))

    refused(["--split", edited(work, "late.dff", s, [mark(0, TRACK_START), mark(5 * R, TRACK_START)])],
            "a track past the end", "starts past the end")
    refused(["--split", edited(work, "same.dff", s, [mark(R, TRACK_START), mark(R, TRACK_START)])],
            "two tracks at one time", "same time")
    plain = os.path.join(work, "plain.dsf")
    open(plain, "wb").write(dsf(s))
    open(os.path.join(work, "bad.cue"), "w").write("this is no cue sheet\n")
    refused(["--cue", "bad.cue", "--split", plain], "a sheet libcue cannot parse", "parsed")
    open(os.path.join(work, "long.cue"), "w").write(
        cue_sheet("plain.dsf", [{"start": 0}, {"start": 9 * R}]))
    refused(["--cue", "long.cue", "--split", plain], "cue times past the end", "past the end")
    open(os.path.join(work, "many.cue"), "w").write(
        cue_sheet("plain.dsf", [{"start": n * R // 75} for n in range(100)]))
    refused(["--cue", "many.cue", "--split", plain], "a sheet of 100 tracks", "more than the 99")
    open(os.path.join(work, "index.cue"), "w").write(cue_sheet("plain.dsf", [{"start": 0}]).replace(
        "    INDEX 01", "    INDEX 4294967297 00:00:00\n    INDEX 01"))
    refused(["--cue", "index.cue", "--split", plain], "INDEX 2^32 + 1", "INDEX number")
    open(os.path.join(work, "plain.cue"), "w").write(cue_sheet("other.dsf", [{"start": 0}]))
    refused(["--split", plain], "a sheet beside for another file", "is for other.dsf")
    open(os.path.join(work, "plain.cue"), "w").write(cue_sheet("x\x1b[2J\r.dsf", [{"start": 0}]))
    refused(["--split", plain], "a sheet beside naming control characters", "is for x?[2J?.dsf;")
    open(os.path.join(work, "plain.cue"), "w").write(
        cue_sheet("plain.dsf", [{"start": 0}]) + 'FILE "b.dsf" WAVE\n  TRACK 02 AUDIO\n'
        '    INDEX 01 00:01:00\n')
    refused(["--split", plain], "a sheet beside with several files", "several files")
    refused(["--tracks", "9", album_master(work)], "a track the input lacks", "no track 9")
    # Refused before any file is made: a name that is a symbolic link, and
    # more tracks than files the process may have open.
    linked = os.path.join(work, "linked")
    os.makedirs(linked)
    os.symlink(os.path.join(work, "elsewhere.wav"), os.path.join(linked, "03 - Three.wav"))
    done = run([dff2wav, album_master(work), linked], work)
    check(done.returncode == 1 and "symbolic link" in done.stderr.decode() and
          files_in(linked) == ["03 - Three.wav"] and
          not os.path.exists(os.path.join(work, "elsewhere.wav")),
          "a name that is a symbolic link: nothing written")
    many = edited(work, "many.dff", s, [mark(n * R // 50, TRACK_START) for n in range(60)])
    done = subprocess.run([dff2wav, "--split", many, os.path.join(work, "many")], cwd=work,
                          capture_output=True,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48)))
    check(done.returncode == 1 and "ulimit -n" in done.stderr.decode() and
          not os.path.exists(os.path.join(work, "many")),
          "60 tracks, 48 descriptors: nothing written")
    # --list still shows what it found.
    listed = run([dff2wav, "--list", os.path.join(work, "late.dff")], work)
    check(listed.returncode == 1 and len(listed.stdout.decode().splitlines()) == 3,
          "--list shows tracks it refuses to cut")
    # Text from the file neither breaks a line of the list nor steers the terminal.
    hostile = edited(work, "hostile.dff", s, [mark(0, TRACK_START, b"a\nb\x1b[31m")],
                     title=b"c\rd")
    listed = run([dff2wav, "--list", hostile], work).stdout.decode().splitlines()
    check(len(listed) == 2 and "c?d" in listed[0] and listed[1].endswith("a?b?[31m"),
          "--list shows control characters as '?': %s" % listed)


def test_album_gain(dff2wav, work):
    master = album_master(work)
    out = os.path.join(work, "gained")
    done = run([dff2wav, "--replaygain", "--gain", "auto", "--format", "flac", master, out + "/"],
               work)
    tags = [comments(os.path.join(out, f)) for f in files_in(out)]
    album_gains = {t.get("REPLAYGAIN_ALBUM_GAIN") for t in tags}
    check(done.returncode == 0 and len(tags) == 3 and len(album_gains) == 1 and
          None not in album_gains and all("REPLAYGAIN_TRACK_GAIN" in t for t in tags) and
          done.stderr.decode().count("--gain auto") == 1,
          "ReplayGain of each track and of the album; one gain for the album")
    # With a lead-in before the first track: --gain auto chooses the gain of the
    # whole stream, so the tracks put together are still the one file's frames,
    # and a track written alone carries the whole album's gain.
    lead = edited(work, "lead.dff", sound(6, 9), [mark(2 * R, TRACK_START), mark(4 * R, TRACK_START)])
    check_concatenation(dff2wav, work, lead, ["--gain", "auto", "--format", "wav"], "wav", 6,
                        frames_of(2), frames_of(6) - 16, "--gain auto after a lead-in")
    second = os.path.join(work, "second")
    run([dff2wav, "--replaygain", "--tracks", "2", "-f", "flac", lead, second], work)
    whole_album = os.path.join(work, "whole-album")
    run([dff2wav, "--replaygain", "-f", "flac", lead, whole_album + "/"], work)
    check(comments(os.path.join(second, "02.flac")).get("REPLAYGAIN_ALBUM_GAIN") ==
          comments(os.path.join(whole_album, "02.flac")).get("REPLAYGAIN_ALBUM_GAIN"),
          "--tracks writes the album's ReplayGain of all its tracks")
    # A track too short for a loudness is not called silent, and is named.
    brief = edited(work, "brief.dff", sound(2, 6), [mark(0, TRACK_START), mark(R // 5, TRACK_START)])
    done = run([dff2wav, "--replaygain", brief, os.path.join(work, "brief") + "/"], work)
    lines = [line for line in done.stderr.decode().splitlines() if "no ReplayGain" in line]
    check(done.returncode == 0 and len(lines) == 1 and "track 1: the sound is shorter" in lines[0],
          "a track of 0.2 s: %s" % lines)


def test_tags_flac_cannot_hold(dff2wav, work):
    def converted(frames, what):
        path = os.path.join(work, "t.dsf")
        open(path, "wb").write(dsf(sound(1, 4), tag=tag(frames, 4)))
        done = run([dff2wav, path, os.path.join(work, "t.flac")], work)
        verified = subprocess.run(["flac", "-s", "-t", os.path.join(work, "t.flac")]).returncode
        notes = [line for line in done.stderr.decode().splitlines() if "left out" in line]
        check(done.returncode == 0 and verified == 0 and len(notes) == 1,
              "%s: the sound converts, one line: %s" % (what, notes))
        return comments(os.path.join(work, "t.flac"))

    got = converted([frame("TIT2", text("a\ufffeb\uffffc", "utf8"), 4)], "U+FFFE and U+FFFF")
    check(got.get("TITLE") == "abc", "the characters are left out of the value")
    converted([frame("TIT2", text("x" * (16 << 20), "utf8"), 4)], "a title of 16 MiB")
    for extra in (3, 2, 1):
        data = b"\x89PNG" + bytes((1 << 24) - extra - 32 - len("image/png") - 4)
        converted([frame("APIC", apic(data, "image/png"), 4)], "a picture block %d bytes under 2^24"
                  % extra)


def test_option_values(dff2wav, work):
    for args in (["--gain", "0x10"], ["--gain", "1e1"], ["--gain", " 3"], ["--compression", " 5"],
                 ["--compression", "+5"], ["--rate", "+44100"]):
        done = run([dff2wav] + args + ["in.dff", "out.flac"], work)
        check(done.returncode == 1 and len(done.stderr.decode().splitlines()) == 2 and
              "not" in done.stderr.decode(), "refused: %s" % args)
    # Digits are an integer, leading zeros and all: the run goes on to IN.
    for args in (["--bits", "016"], ["--compression", "0000000005"]):
        done = run([dff2wav] + args + ["in.dff", "out.flac"], work)
        check("File Open Error" in done.stderr.decode(), "taken: %s" % args)


def main():
    dff2wav = os.path.abspath(sys.argv[1])
    if not shutil.which("flac") or not shutil.which("metaflac"):
        print("album: SKIPPED: flac and metaflac (Debian: flac) are not installed")
        return 77
    for test in (test_edited_master, test_cue_album, test_names, test_refusals, test_album_gain,
                 test_tags_flac_cannot_hold, test_option_values):
        with tempfile.TemporaryDirectory() as work:
            test(dff2wav, work)
    return finish("album")


if __name__ == "__main__":
    sys.exit(main())
