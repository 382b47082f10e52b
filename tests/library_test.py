#!/usr/bin/python3
"""Whole runs of dff2wav over a library: a tree two levels deep of DSF and
DSDIFF files (one an edited master), an SACD image, covers and a broken
file, mirrored into OUTDIR; re-runs that skip what is done, --overwrite;
-j 1 and -j 2 giving the same bytes; SIGINT and SIGKILL mid-run, each
followed by a re-run that completes what was missing and leaves no .part;
name clashes, inputs reached twice, OUTDIR inside IN, a link that loops, a
file cut short; and --print-commands run by GNU parallel and by sh.

Usage: library_test.py DFF2WAV DFF_TONE DFF_DST DFF_SACD
Exits 77 (skipped) when flac or GNU parallel is not installed.
"""
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import check, finish, run  # noqa: E402
from dsd_files import DSD64_RATE, TRACK_START, dsf, edited_master, mark  # noqa: E402

R = DSD64_RATE
SKIP_EXIT = 77


def tree(top):
    """Every file below `top` with the digest of its bytes."""
    found = {}
    for folder, _, names in os.walk(top):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, top)] = hashlib.sha1(open(path, "rb").read()).hexdigest()
    return found


def parts(top):
    return [p for p in tree(top) if os.path.basename(p).endswith(".part")] + \
        [d for d, _, _ in os.walk(top) if d.endswith(".part")]


def library(work, tools, seconds=1):
    """lib/A/album1 (two DSF tracks, a cover, notes), lib/A/master.dff (an
    edited master of three tracks), lib/B/disc.iso (an SACD image), a broken
    file, a hidden folder, a link that loops, and OUTDIR inside lib."""
    lib = os.path.join(work, "lib")
    for folder in ("A/album1", "B", ".hidden"):
        os.makedirs(os.path.join(lib, folder))
    rng = open("/dev/urandom", "rb")
    for name in ("A/album1/one.dsf", "A/album1/two.dsf", ".hidden/three.dsf"):
        open(os.path.join(lib, name), "wb").write(dsf(rng.read(seconds * R // 4)))
    sound = rng.read(3 * R // 4)
    open(os.path.join(lib, "A/master.dff"), "wb").write(
        edited_master(sound, [mark(0, TRACK_START, b"x"), mark(R, TRACK_START, b"y"),
                              mark(2 * R, TRACK_START, b"z")]))
    tone = os.path.join(work, "tone.dff")
    subprocess.run([tools[1], "--duration", "1", "--left", "sine:440:-6", tone], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([tools[2], tone, tone + ".dst"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tools[3], "--stereo", tone + ".dst", "--title", "Only",
                    os.path.join(lib, "B/disc.iso")], check=True, stdout=subprocess.DEVNULL)
    open(os.path.join(lib, "B/broken.dsf"), "wb").write(b"not DSD at all")
    open(os.path.join(lib, "A/album1/Cover.JPG"), "wb").write(b"\xff\xd8 a cover")
    open(os.path.join(lib, "A/album1/notes.txt"), "w").write("left alone")
    os.symlink("..", os.path.join(lib, "B/loop"))
    return lib


EXPECTED = {"A/album1/one.flac", "A/album1/two.flac", "A/album1/Cover.JPG",
            "A/master/01 - x.flac", "A/master/02 - y.flac", "A/master/03 - z.flac",
            "B/disc/01 - Only.flac"}


def summary(done):
    lines = done.stderr.decode().splitlines()
    return next((l for l in lines if " files: " in l), "")


def test_tree(dff2wav, tools, work):
    lib = library(work, tools)
    out = os.path.join(lib, "out")
    done = run([dff2wav, "-f", "flac", lib, out], work)
    check(done.returncode == 1 and set(tree(out)) == EXPECTED,
          "the tree is mirrored, albums as folders, covers copied, the broken file, hidden "
          "folders, the link and OUTDIR itself left out: %s" % sorted(tree(out)))
    check("5 files: 4 converted, 0 skipped, 1 failed" in summary(done) and
          "failed: " + os.path.join(lib, "B/broken.dsf") in done.stderr.decode(),
          "one summary names the failure: %s" % summary(done))
    single = os.path.join(work, "single.flac")
    run([dff2wav, "-f", "flac", os.path.join(lib, "A/album1/one.dsf"), single], work)
    check(open(single, "rb").read() == open(os.path.join(out, "A/album1/one.flac"), "rb").read(),
          "a file of the library is what a run of it alone writes")
    before = tree(out)
    started = time.monotonic()
    again = run([dff2wav, "-f", "flac", lib, out], work)
    check("0 converted, 4 skipped, 1 failed" in summary(again) and tree(out) == before and
          time.monotonic() - started < 1, "a re-run skips what is done, within a second")
    over = run([dff2wav, "-f", "flac", "--overwrite", "--quiet", lib, out], work)
    check("4 converted, 0 skipped" in summary(over) and tree(out) == before and
          len(over.stderr.decode().splitlines()) == 3,
          "--overwrite makes it all again, the same; --quiet: the failure and the summary")
    one = os.path.join(work, "one-job")
    run([dff2wav, "-f", "flac", "-j", "1", lib, one], work)
    check(tree(one) == before, "-j 1 and -j 2 write the same bytes")
    # The same outputs through commands that GNU parallel runs, as on many machines.
    commands = os.path.join(work, "commands")
    printed = run([dff2wav, "--print-commands", "-f", "flac", lib, os.path.join(work, "far")],
                  work)
    open(commands, "wb").write(printed.stdout)
    check(not os.path.exists(os.path.join(work, "far")) and len(printed.stdout.splitlines()) == 6,
          "--print-commands writes nothing but a command per output")
    ran = subprocess.run(["parallel", "--sshlogin", ":", "--workdir", ".", "-j", "2", "::::",
                          commands], cwd=work, capture_output=True)
    check(ran.returncode == 1 and tree(os.path.join(work, "far")) == before,
          "GNU parallel running the commands writes the same library")
    left = run([dff2wav, "--print-commands", "-f", "flac", lib, os.path.join(work, "far")], work)
    check(len(left.stdout.splitlines()) == 1 and b"broken.dsf" in left.stdout,
          "commands printed again are those still to do")


def test_interrupted(dff2wav, tools, work):
    lib = library(work, tools, seconds=60)
    complete = os.path.join(work, "complete")
    run([dff2wav, "-f", "flac", lib, complete], work)
    for kill in (signal.SIGINT, signal.SIGKILL):
        out = os.path.join(work, "out-%d" % kill)
        process = subprocess.Popen([dff2wav, "-f", "flac", lib, out], cwd=work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.4)
        process.send_signal(kill)
        process.wait()
        stopped = tree(out) if os.path.isdir(out) else {}
        if kill == signal.SIGINT:
            check(not parts(out) and len(stopped) < len(EXPECTED),
                  "SIGINT mid-run leaves no .part, and what is there is complete")
        check(all(complete_digest == tree(complete)[name]
                  for name, complete_digest in stopped.items()
                  if not any(part.endswith(".part") for part in name.split(os.sep))),
              "every file an interrupted run left is a complete one")
        done = run([dff2wav, "-f", "flac", lib, out], work)
        check(tree(out) == tree(complete) and not parts(out) and done.returncode == 1,
              "after %s a re-run completes what was missing, with no .part left" %
              signal.Signals(kill).name)


def test_clashes(dff2wav, tools, work):
    lib = os.path.join(work, "lib")
    os.makedirs(os.path.join(lib, "x/m"))
    rng = open("/dev/urandom", "rb")
    open(os.path.join(lib, "x/a.dsf"), "wb").write(dsf(rng.read(R // 4)))
    open(os.path.join(lib, "x/a.dff"), "wb").write(edited_master(rng.read(R // 4), []))
    # An album beside the folder its tracks would go into.
    open(os.path.join(lib, "x/m.dff"), "wb").write(edited_master(
        rng.read(R // 2), [mark(0, TRACK_START, b"p"), mark(R // 2, TRACK_START, b"q")]))
    open(os.path.join(lib, "x/m/s.dsf"), "wb").write(dsf(rng.read(R // 4)))
    os.link(os.path.join(lib, "x/a.dsf"), os.path.join(lib, "x/m/h.dsf"))  # an entry of its own
    out = os.path.join(work, "out")
    # The folder given twice, and a file of it by name: each converted once.
    done = run([dff2wav, lib, lib, os.path.join(lib, "x/m/s.dsf"), out + "/"], work)
    wavs = {"x/a.wav", "x/a (2).wav", "x/m/h.wav", "x/m/s.wav", "x/m (2)/01 - p.wav",
            "x/m (2)/02 - q.wav"}
    check(done.returncode == 0 and set(tree(out)) == wavs and "a (2)" in done.stderr.decode() and
          "5 files: 5 converted" in summary(done) and b"converted once" in done.stderr,
          "inputs of one name, and an album beside a folder of its name, get names of their "
          "own, said so; a file reached twice is converted once: %s" % sorted(tree(out)))
    # An album whose folder lost its tracks is not taken for done; nor is one
    # of another format.
    shutil.rmtree(os.path.join(out, "x/m (2)"))
    again = run([dff2wav, lib, out], work)
    check("4 skipped" in summary(again) and set(tree(out)) == wavs,
          "a re-run makes the album again, the folder beside it notwithstanding")
    os.remove(os.path.join(out, "x/m (2)/02 - q.wav"))
    flac = run([dff2wav, "-f", "flac", lib, out], work)
    check("5 converted" in summary(flac) and os.path.exists(os.path.join(out, "x/m (2)/02 - q.flac")),
          "an album folder of WAV files is not a FLAC run's: %s" % summary(flac))
    # A picture that cannot be copied (something not ours at its temporary) fails the run.
    open(os.path.join(lib, "x/cover.png"), "wb").write(b"a cover")
    os.makedirs(os.path.join(out, "x/.cover.png.part/kept"))
    art = run([dff2wav, lib, out], work)
    check(art.returncode == 1 and b"1 picture could not be copied" in art.stderr,
          "a picture not copied is said in the summary and exits 1")
    check(run([dff2wav, lib, out, ""], work).returncode == 1, "an empty OUTDIR is refused")


def test_edges(dff2wav, tools, work):
    lib = os.path.join(work, "lib")
    os.makedirs(lib)
    rng = open("/dev/urandom", "rb")
    open(os.path.join(lib, "new\nline.dsf"), "wb").write(dsf(rng.read(R // 4)))
    open(os.path.join(lib, "short.dsf"), "wb").write(dsf(rng.read(R // 4))[:-4096])
    open(os.path.join(lib, "cover.png"), "wb").write(b"\x89PNG a cover")
    out = os.path.join(work, "out")
    done = run([dff2wav, lib, out], work)
    check(done.returncode == 1 and "2 converted, 0 skipped, 0 failed" in summary(done) and
          "converted with damage: " + os.path.join(lib, "short.dsf") in done.stderr.decode(),
          "a file cut short is converted, named, and exits 1: %s" % summary(done))
    # The commands of a run without options run in the standard form too: no
    # scratch files, nothing on standard output; a newline stays in its name.
    printed = run([dff2wav, "--print-commands", lib, os.path.join(work, "far")], work)
    check(len(printed.stdout.splitlines()) == 3, "one line per command, a newline in a name too")
    here = os.path.join(work, "here")
    os.makedirs(here)
    ran = run(["sh", "-c", printed.stdout.decode()], here)
    check(os.listdir(here) == [] and ran.stdout == b"" and
          tree(os.path.join(work, "far")) == tree(out),
          "the commands write what the run writes, in the standard form")
    # A link planted where a picture goes is replaced, not written through.
    victim = os.path.join(work, "victim")
    open(victim, "w").write("kept")
    cover = os.path.join(work, "far", "cover.png")
    os.remove(cover)
    os.symlink(victim, cover)
    again = run([dff2wav, "--print-commands", "--overwrite", lib, os.path.join(work, "far")], work)
    run(["sh", "-c", again.stdout.decode()], here)
    check(open(victim, "rb").read() == b"kept" and not os.path.islink(cover) and
          open(cover, "rb").read() == b"\x89PNG a cover",
          "a printed copy replaces a link at its name and leaves what it points at alone")
    files = [os.path.join(lib, name) for name in sorted(os.listdir(lib)) if name.endswith(".dsf")]
    run([dff2wav, "--quiet"] + files + [os.path.join(work, "new")], work)
    sound = {name: digest for name, digest in tree(out).items() if name != "cover.png"}
    check(tree(os.path.join(work, "new")) == sound,
          "with an option, files before a name yet to be made go into that folder")


def main():
    dff2wav = os.path.abspath(sys.argv[1])
    tools = [dff2wav] + [os.path.abspath(p) for p in sys.argv[2:5]]
    if not shutil.which("flac") or not shutil.which("parallel"):
        print("library: SKIPPED: flac and GNU parallel (Debian: flac, parallel) are needed")
        return SKIP_EXIT
    for test in (test_tree, test_interrupted, test_clashes, test_edges):
        with tempfile.TemporaryDirectory() as work:
            test(dff2wav, tools, work)
    return finish("library")


if __name__ == "__main__":
    sys.exit(main())
