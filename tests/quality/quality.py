#!/usr/bin/python3
"""End-to-end quality checks of dff2wav on signals written by dff-tone.

Usage:
  quality.py CHECK --tone DFF_TONE --converter DFF2WAV --taps FIR_COEF_CPP

CHECK is one of
  level     tones at several levels come out at the predicted amplitude,
            near-zero DC, clean saturation above full scale
  response  the frequency response from the taps, and measured with tones and
            a sweep through the converter
  timing    frame n is centred on input sample 32 n + 255.5 (clicks, phase)
  channels  no crosstalk: a silent or idle channel is unchanged by the other
  ffmpeg    ffmpeg decodes the same files with the same channel order,
            polarity, frequency and a level 6.02 dB lower, stereo and 5.1;
            exits 77 (skipped) when ffmpeg is not installed
  generator dff-tone's containers, bit order, modulator noise and refusals
  dsd128    a DSD128 DSF tone: a 176,400 Hz WAV with the tones' frequency,
            level and timing, and the same frames as from DSDIFF
  choices   the output the user chooses: the clip report, --gain and --gain
            auto, 16-bit dither, float, --rate 44100, --replaygain (against
            ffmpeg's ebur128 where ffmpeg is installed)

Each check works in a temporary directory of its own (the converter writes
its channel files into its working directory), prints every figure it
measures, and exits 1 if any of them is out of bounds.
"""
import argparse
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    import numpy as np
except ImportError:
    print("quality: FAILED: NumPy is missing; install python3-numpy "
          "(these checks run with /usr/bin/python3)")
    sys.exit(1)

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import dsd_files  # noqa: E402

FS_IN = 2822400            # one-bit samples per second per channel
DECIMATION = 32
FS_OUT = FS_IN // DECIMATION
GROUP_SAMPLES = 32         # samples per channel in one 8-byte group
WINDOW_GROUPS = 16         # the converter writes groups - 16 frames
CENTRE = 255.5             # frame n is centred on input sample 32 n + 255.5
FULL_SCALE = 2 ** 23       # 24-bit full scale
UNIT_AMPLITUDE = 0.5       # modulator amplitude of a 0 dB level
SAMPLE_MAX = 2 ** 23 - 1
SAMPLE_MIN = -2 ** 23
DC_GAIN = 1.0027032925450177
CLICK_SAMPLES = 32         # length of dff-tone's click pulse
SKIP_EXIT = 77             # CTest's SKIP_RETURN_CODE for this script


class Report:
    """Collects named results; every one is printed, any failure fails."""

    def __init__(self, name):
        self.name = name
        self.failures = 0

    def check(self, ok, what):
        print("%s: %s  %s" % (self.name, "ok  " if ok else "FAIL", what))
        if not ok:
            self.failures += 1

    def within(self, value, low, high, what, unit=""):
        self.check(low <= value <= high,
                   "%s = %.6g%s (allowed %.6g .. %.6g)" % (what, value, unit, low, high))

    def near(self, value, target, tolerance, what, unit=""):
        self.within(value, target - tolerance, target + tolerance, what, unit)

    def finish(self):
        if self.failures:
            print("%s: %d check(s) FAILED" % (self.name, self.failures))
            return 1
        print("%s: all checks passed" % self.name)
        return 0


# ---- Running the programs ---------------------------------------------------

class Tools:
    def __init__(self, args, workdir):
        self.tone = os.path.abspath(args.tone)
        self.converter = os.path.abspath(args.converter)
        self.workdir = workdir
        self.count = 0

    def run(self, command):
        # The converter's messages are not UTF-8: decode leniently.
        result = subprocess.run(command, cwd=self.workdir, capture_output=True,
                                encoding="utf-8", errors="replace")
        if result.returncode != 0:
            raise SystemExit("quality: FAILED: %s exited %d\n%s%s" % (
                " ".join(command), result.returncode, result.stdout, result.stderr))
        return result

    def make(self, duration, left, right, options=(), suffix=".dff"):
        """Writes a file with dff-tone, DSDIFF or (suffix ".dsf") DSF, with
        further dff-tone `options`; returns its path."""
        self.count += 1
        path = os.path.join(self.workdir, "signal%d%s" % (self.count, suffix))
        self.run([self.tone, "--duration", repr(duration), "--left", left,
                  "--right", right, *options, path])
        return path

    def convert(self, dff, fs_in=FS_IN):
        """Runs the converter on a file of `fs_in` samples per second; checks
        the WAV header's rate and the frame count; returns the frames as an
        int array (n, 2)."""
        wav = dff[:-4] + ".wav"
        self.run([self.converter, dff, wav])
        frames = read_wav(wav, fs_in // DECIMATION)
        expected = sound_groups(dff) - WINDOW_GROUPS
        if len(frames) != expected:
            raise SystemExit("quality: FAILED: %s has %d frames, expected groups - 16 = %d"
                             % (wav, len(frames), expected))
        return frames

    def tone_and_convert(self, duration, left, right):
        return self.convert(self.make(duration, left, right))


def read_chunks(data, start, end):
    """Yields (id, data offset, size) of the chunks in data[start:end]."""
    pos = start
    while pos + 12 <= end:
        ident = data[pos:pos + 4]
        size = struct.unpack(">Q", data[pos + 4:pos + 12])[0]
        yield ident, pos + 12, size
        pos += 12 + size + (size & 1)


def dsd_chunk(path):
    data = open(path, "rb").read()
    for ident, offset, size in read_chunks(data, 16, len(data)):
        if ident == b"DSD ":
            return data, offset, size
    raise SystemExit("quality: FAILED: no sound chunk in %s" % path)


def sound_groups(path):
    """Whole groups of sound in a DSDIFF or DSF file."""
    with open(path, "rb") as f:
        head = f.read(72)
    if head[:4] == b"DSD ":
        return struct.unpack("<Q", head[64:72])[0] // GROUP_SAMPLES
    _, _, size = dsd_chunk(path)
    return size // 8


def property_chunks(data):
    """The local chunks of a DSDIFF file's property chunk, by identifier."""
    chunks = {ident: (offset, size) for ident, offset, size in read_chunks(data, 16, len(data))}
    offset, size = chunks[b"PROP"]
    return {ident: data[o:o + s] for ident, o, s in read_chunks(data, offset + 4, offset + size)}


def read_wav(path, fs_out=FS_OUT):
    """The declared data chunk of the converter's 44-byte-header WAV."""
    data = open(path, "rb").read()
    fields = struct.unpack("<4sI4s4sIHHIIHH4sI", data[:44])
    (riff, _, wave, fmt, fmt_size, tag, channels, rate, byte_rate, align, bits,
     data_id, data_size) = fields
    expected = (b"RIFF", b"WAVE", b"fmt ", 16, 1, 2, fs_out, fs_out * 6, 6, 24, b"data")
    got = (riff, wave, fmt, fmt_size, tag, channels, rate, byte_rate, align, bits, data_id)
    if got != expected:
        raise SystemExit("quality: FAILED: %s header %r, expected %r" % (path, got, expected))
    if data_size % 6 or 44 + data_size > len(data):
        raise SystemExit("quality: FAILED: %s declares %d data bytes in a %d-byte file"
                         % (path, data_size, len(data)))
    raw = np.frombuffer(data[44:44 + data_size], dtype=np.uint8).reshape(-1, 3).astype(np.int32)
    samples = raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)
    samples = np.where(samples >= 2 ** 23, samples - 2 ** 24, samples)
    return samples.reshape(-1, 2)


# ---- Analysis ---------------------------------------------------------------

def load_taps(path):
    """The 512 taps from the generated table (taps 0..255 and their mirror)."""
    text = open(path).read()
    half = [float(v) for v in re.findall(r"^\s*([-+0-9.eE]+),\s*//\s*\d+\s*$", text, re.M)]
    if len(half) != 256:
        raise SystemExit("quality: FAILED: found %d taps in %s, expected 256" % (len(half), path))
    return np.array(half + half[::-1])


def tap_response(taps, freqs, fs_in=FS_IN):
    """Complex response of the 512-tap filter at `freqs` Hz (absolute, not
    relative to the DC gain) on input of `fs_in` samples per second."""
    t = np.arange(len(taps))
    freqs = np.atleast_1d(np.asarray(freqs, dtype=float))
    return np.exp(-2j * np.pi * np.outer(freqs, t) / fs_in) @ taps


def db(x):
    """Amplitude ratio in dB; an absent signal gives a very low figure rather
    than an exception, so that the check reports it."""
    return 20 * math.log10(max(x, 1e-30))


def frame_times(n, fs_in=FS_IN):
    """Centre of each frame, in seconds of input."""
    return (DECIMATION * np.arange(n) + CENTRE) / fs_in


def fit_sine(y, phase):
    """Least-squares a*sin(phase) + b*cos(phase) + c; returns amplitude, phase
    offset (radians, positive = output ahead of the model) and DC."""
    basis = np.stack([np.sin(phase), np.cos(phase), np.ones_like(phase)], 1)
    (a, b, c), *_ = np.linalg.lstsq(basis, y.astype(float), rcond=None)
    return math.hypot(a, b), math.atan2(b, a), c


def tone_fit(y, freq, skip=64, fs_in=FS_IN):
    """Fits a sine of `freq` against the frame centres, leaving out `skip`
    frames at each end (the filter's start and end)."""
    n = len(y)
    phase = 2 * np.pi * freq * frame_times(n, fs_in)
    return fit_sine(y[skip:n - skip], phase[skip:n - skip])


def expected_amplitude(taps, freq, level_db, fs_in=FS_IN):
    """Output amplitude for a tone at `level_db`: 2^24 u |H(f)| with u the
    modulator amplitude, i.e. 2^25 g (u / 2) times the relative response."""
    u = UNIT_AMPLITUDE * 10 ** (level_db / 20)
    return 2 ** 24 * u * abs(tap_response(taps, freq, fs_in)[0])


def peak_frequency(y, rate):
    """Frequency of the strongest spectral line, refined by a parabola through
    the log magnitudes of the three bins around it."""
    y = y.astype(float) - np.mean(y)
    window = np.hanning(len(y))
    spectrum = np.abs(np.fft.rfft(y * window))
    k = int(np.argmax(spectrum[1:-1])) + 1
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-300)
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    return (k + shift) * rate / len(y)


def inband_snr(y, freq, rate, band=(20.0, 20000.0)):
    """Tone-to-noise ratio in dB within `band`: the fitted tone against
    everything else that falls inside the band."""
    y = y.astype(float)
    n = len(y)
    phase = 2 * np.pi * freq * np.arange(n) / rate
    basis = np.stack([np.sin(phase), np.cos(phase), np.ones(n)], 1)
    coef, *_ = np.linalg.lstsq(basis, y, rcond=None)
    residual = y - basis @ coef
    spectrum = np.fft.rfft(residual * np.hanning(n))
    f = np.arange(len(spectrum)) * rate / n
    keep = (f >= band[0]) & (f <= band[1]) & (np.abs(f - freq) > 30)
    noise = np.sum(np.abs(spectrum[keep]) ** 2) * 2 / np.sum(np.hanning(n) ** 2) / n
    signal = (coef[0] ** 2 + coef[1] ** 2) / 2
    return 10 * math.log10(signal / noise)


def bitstream_tone(dff, ch, freq):
    """Amplitude of the `freq` sine in channel `ch` of a DSDIFF file's bit
    stream, ones as +1 and zeros as -1 (half of it is the density swing)."""
    data, offset, size = dsd_chunk(dff)
    sound = np.frombuffer(data[offset:offset + size], dtype=np.uint8)
    bits = np.unpackbits(sound[ch::2]).astype(float) * 2 - 1
    k = np.arange(len(bits))
    return fit_sine(bits, 2 * np.pi * freq * k / FS_IN)[0]


def click_centroid(y, around, half_width=48):
    """Sample-weighted centre of a pulse near frame `around`, in frames."""
    n = np.arange(around - half_width, around + half_width + 1)
    w = y[n].astype(float)
    return float(np.sum(n * w) / np.sum(w))


# ---- Checks -----------------------------------------------------------------

def check_level(tools, taps, report):
    """Level and linearity: each tone's amplitude within 0.05 dB of
    2^25 g (u/2) times the relative response; the output's DC near zero."""
    cases = [((1000, -0.5), (3000, -20)), ((1000, -6), (3000, -40)),
             ((1000, -60), (10000, -10))]
    for left, right in cases:
        frames = tools.tone_and_convert(1.0, "sine:%g:%g" % left, "sine:%g:%g" % right)
        for ch, (freq, level) in enumerate((left, right)):
            amp, _, dc = tone_fit(frames[:, ch], freq)
            want = expected_amplitude(taps, freq, level)
            name = "%s %g Hz at %g dB" % ("LR"[ch], freq, level)
            report.near(db(amp / want), 0, 0.05, name + ": level re prediction", " dB")
            report.within(dc, -4, 4, name + ": DC", " LSB")

    # Above full scale: saturated to the 24-bit rails, never wrapped around.
    frames = tools.tone_and_convert(0.5, "sine:1000:1.5", "sine:1000:-0.5")
    left = frames[:, 0]
    report.check(left.max() == SAMPLE_MAX and left.min() == SAMPLE_MIN,
                 "+1.5 dB tone saturates at %d .. %d" % (left.min(), left.max()))
    # A wrapped sample jumps by about 2^24; a sine of 1 kHz moves at most
    # 2 pi f / fs_out of its amplitude between frames.
    step = np.max(np.abs(np.diff(left.astype(np.int64))))
    report.within(step, 0, 1.2 * 2 * math.pi * 1000 / FS_OUT * 1.19 * FULL_SCALE,
                  "+1.5 dB tone: largest step between frames", " LSB")
    right = frames[:, 1]
    report.check(SAMPLE_MIN < right.min() and right.max() < SAMPLE_MAX,
                 "-0.5 dB tone stays inside the rails (%d .. %d)" % (right.min(), right.max()))


def check_response(tools, taps, report):
    g = float(np.sum(taps))
    report.near(g, DC_GAIN, 1e-12, "sum of the taps (DC gain)")

    def rel_db(freqs):
        return 20 * np.log10(np.abs(tap_response(taps, freqs)) / g)

    # Passband 0 .. 20 kHz, 1 Hz steps.
    passband = rel_db(np.arange(0, 20001, 1.0))
    report.within(passband.min(), -0.0475, -0.0465, "passband minimum re DC", " dB")
    report.within(passband.max(), 0.0, 0.00015, "passband maximum re DC", " dB")

    def crossing(target, low, high):
        for _ in range(60):
            mid = 0.5 * (low + high)
            if rel_db(mid)[0] > target:
                low = mid
            else:
                high = mid
        return 0.5 * (low + high)

    report.near(crossing(-0.1, 20000, 30000), 24661, 2, "-0.1 dB point (taps)", " Hz")
    report.near(crossing(-3.0, 25000, 40000), 31483, 2, "-3 dB point (taps)", " Hz")
    report.near(crossing(-6.0, 30000, 40000), 34257, 2, "-6 dB point (taps)", " Hz")
    report.near(rel_db(44100)[0], -29.2, 0.05, "response at 44,100 Hz (taps)", " dB")
    report.near(rel_db(50000)[0], -57.6, 0.05, "response at 50,000 Hz (taps)", " dB")

    # Stopband 56,448 Hz .. fs/2 on a 0.34 Hz grid (lobes are ~5.5 kHz wide).
    size = 1 << 23
    spectrum = np.abs(np.fft.rfft(taps, size)) / g
    f = np.arange(len(spectrum)) * FS_IN / size
    stop = spectrum[f >= 56448]
    worst = 20 * math.log10(stop.max())
    report.within(worst, -200, -144, "stopband maximum from 56,448 Hz (taps)", " dB")
    report.near(f[f >= 56448][np.argmax(stop)], 56900, 300, "frequency of the worst lobe", " Hz")

    # Measured: tone pairs through the converter against the taps.
    # The reference is the tone actually in the bit stream: above 20 kHz the
    # one-bit loop's gain drifts from 1 by a few hundredths of a dB.
    tones = [(1000, 20000), (5000, 15000), (24661, 31483), (34257, 27000), (40000, 12000)]
    level = -0.5
    measured = {}
    for pair in tones:
        dff = tools.make(0.5, "sine:%g:%g" % (pair[0], level), "sine:%g:%g" % (pair[1], level))
        frames = tools.convert(dff)
        for ch, freq in enumerate(pair):
            amp, _, _ = tone_fit(frames[:, ch], freq)
            present = bitstream_tone(dff, ch, freq)
            print("%s: note  %g Hz: bit stream carries %.4f dB re the requested level"
                  % (report.name, freq, db(present / (UNIT_AMPLITUDE * 10 ** (level / 20)))))
            measured[freq] = db(amp / (2 ** 24 * present * g))
            report.near(measured[freq] - rel_db(freq)[0], 0, 0.01,
                        "measured %g Hz (%.4f dB re DC) against the taps" % (freq, measured[freq]),
                        " dB")
    report.near(measured[24661], -0.1, 0.01, "measured response at 24,661 Hz", " dB")
    report.near(measured[31483], -3.0, 0.01, "measured response at 31,483 Hz", " dB")
    for freq in (1000, 5000, 12000, 15000, 20000):
        report.within(measured[freq], -0.0475, 0.0002, "measured passband at %g Hz" % freq, " dB")

    # A logarithmic sweep follows its phase law through the filter, at the
    # passband level, in blocks of 1024 frames up to 20 kHz.
    f0, f1, duration, level = 100.0, 40000.0, 2.0, -6.0
    dff = tools.make(duration, "sweep:%g:%g:%g" % (f0, f1, level), "silence")
    length = sound_groups(dff) * GROUP_SAMPLES / FS_IN
    frames = tools.convert(dff)
    y = frames[:, 0]
    t = frame_times(len(y))
    rate = math.log(f1 / f0) / length
    phase = 2 * np.pi * f0 / rate * np.expm1(rate * t)
    want = 2 ** 24 * UNIT_AMPLITUDE * 10 ** (level / 20) * g
    errors, phases = [], []
    block = 1024
    for start in range(block, len(y) - block, block):
        centre = t[start + block // 2]
        freq = f0 * math.exp(rate * centre)
        if freq > 20000:
            break
        amp, offset, _ = fit_sine(y[start:start + block], phase[start:start + block])
        errors.append(db(amp / want) - rel_db(freq)[0])
        phases.append(offset)
    report.check(len(errors) > 50, "sweep blocks analysed: %d" % len(errors))
    report.within(max(np.abs(errors)), 0, 0.01, "sweep level error, 100 Hz .. 20 kHz", " dB")
    report.within(max(np.abs(phases)), 0, 0.02, "sweep phase error, 100 Hz .. 20 kHz", " rad")


def check_timing(tools, taps, report):
    """Clicks come out centred where 32 n + 255.5 puts them; so does a tone's
    phase."""
    times = (0.25, 0.4)
    frames = tools.tone_and_convert(0.6, "click:%g:-0.5" % times[0], "click:%g:-0.5" % times[1])
    for ch, when in enumerate(times):
        start = round(when * FS_IN)
        pulse_centre = start + (CLICK_SAMPLES - 1) / 2
        predicted = (pulse_centre - CENTRE) / DECIMATION
        y = frames[:, ch]
        peak = int(np.argmax(np.abs(y)))
        report.check(y[peak] > 0, "%s click comes out positive (%d)" % ("LR"[ch], y[peak]))
        report.check(abs(peak - predicted) <= 1,
                     "%s click peak at frame %d, predicted %.2f" % ("LR"[ch], peak, predicted))
        measured = click_centroid(y, peak)
        report.near(measured - predicted, 0, 0.05,
                    "%s click centre %.4f re predicted frame %.4f" % ("LR"[ch], measured, predicted),
                    " frames")

    for left, right in ((1000, 7000), (3000, 15000)):
        frames = tools.tone_and_convert(0.5, "sine:%g:-6" % left, "sine:%g:-6" % right)
        for ch, freq in enumerate((left, right)):
            _, offset, _ = tone_fit(frames[:, ch], freq)
            error = -offset / (2 * math.pi * freq) * FS_IN / DECIMATION
            report.near(error, 0, 0.05, "%s %g Hz tone delay re 255.5 samples"
                        % ("LR"[ch], freq), " frames")


def check_channels(tools, taps, report):
    """A silent (alternating-bit) channel stays at the silence level whatever
    the other channel holds; an idle modulated channel is identical, frame for
    frame, whether or not the other channel carries a tone."""
    quiet = tools.tone_and_convert(0.5, "silence", "silence")
    silence_values = set(np.unique(quiet).tolist())
    report.check(silence_values <= {-1, 0, 1},
                 "silence decodes to %s (within one step of zero)" % sorted(silence_values))
    for ch in range(2):
        signals = ["silence", "silence"]
        signals[1 - ch] = "sine:1000:-0.5"
        frames = tools.tone_and_convert(0.5, *signals)
        other = frames[:, 1 - ch]
        amp, _, _ = tone_fit(other, 1000)
        report.near(db(amp / expected_amplitude(taps, 1000, -0.5)), 0, 0.05,
                    "%s tone present" % "LR"[1 - ch], " dB")
        report.check(np.array_equal(frames[:, ch], quiet[:, ch]),
                     "%s silence unchanged by a tone on %s (range %d .. %d)"
                     % ("LR"[ch], "LR"[1 - ch], frames[:, ch].min(), frames[:, ch].max()))

    for ch in range(2):
        idle = ["zero", "zero"]
        busy = ["zero", "zero"]
        idle[1 - ch] = "silence"
        busy[1 - ch] = "sine:1000:-0.5"
        a = tools.tone_and_convert(0.5, *idle)
        b = tools.tone_and_convert(0.5, *busy)
        same = np.array_equal(a[:, ch], b[:, ch])
        amp, _, _ = tone_fit(b[:, ch], 1000)
        report.check(same, "%s idle channel identical with and without a tone on %s"
                     % ("LR"[ch], "LR"[1 - ch]))
        report.within(db(amp / FULL_SCALE), -1000, -130,
                      "%s: 1 kHz in the idle channel re full scale" % "LR"[ch], " dB")


def ffmpeg_decode(tools, dff, channels=2):
    """ffmpeg's decoding of `dff` at 88,200 Hz as 32-bit float, (n, channels),
    in the file's channel order."""
    out = dff[:-4] + ".ffmpeg.f32"
    tools.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", dff, "-ar", str(FS_OUT),
               "-f", "f32le", out])
    return np.fromfile(out, dtype="<f4").reshape(-1, channels)


def read_standard_wav(path):
    """The channel mask and samples (n, channels) of a WAVE_FORMAT_EXTENSIBLE
    file of 24-bit PCM, read chunk by chunk as any reader would."""
    data = open(path, "rb").read()
    mask, channels, samples = None, None, None
    for ident, offset, size in read_riff(data):
        if ident == b"fmt ":
            tag, channels = struct.unpack("<HH", data[offset:offset + 4])
            mask = struct.unpack("<I", data[offset + 20:offset + 24])[0]
        elif ident == b"data":
            raw = np.frombuffer(data[offset:offset + size], dtype=np.uint8)
            raw = raw.reshape(-1, 3).astype(np.int32)
            values = raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)
            samples = np.where(values >= 2 ** 23, values - 2 ** 24, values).reshape(-1, channels)
    return mask, samples


def best_correlation(a, b, max_lag=64):
    """The largest normalised correlation of a and b over lags up to max_lag."""
    a, b = a - a.mean(), b - b.mean()
    n = len(a) - 2 * max_lag
    best = 0.0
    for lag in range(-max_lag, max_lag + 1):
        x, y = a[max_lag:max_lag + n], b[max_lag + lag:max_lag + lag + n]
        best = max(best, abs(float(np.dot(x, y))) / math.sqrt(float(np.dot(x, x) * np.dot(y, y))))
    return best


def read_riff(data):
    pos = 12
    while pos + 8 <= len(data):
        ident, size = struct.unpack("<4sI", data[pos:pos + 8])
        yield ident, pos + 8, size
        pos += 8 + size + (size & 1)


def check_ffmpeg(tools, taps, report):
    """FFmpeg as an independent decoder of dff-tone's files: same channel
    order, frequency and polarity as dff2wav, and 6.02 dB quieter."""
    tones = ((1000, -6), (1500, -10))
    dff = tools.make(1.5, "sine:%g:%g" % tones[0], "sine:%g:%g" % tones[1])
    ours = tools.convert(dff) / FULL_SCALE
    theirs = ffmpeg_decode(tools, dff)
    skip = 4096
    for ch, (freq, level) in enumerate(tones):
        name = "LR"[ch]
        a = ours[skip:-skip, ch]
        b = theirs[skip:-skip, ch]
        fa, fb = peak_frequency(a, FS_OUT), peak_frequency(b, FS_OUT)
        report.near(fa, freq, 0.5, "%s dff2wav tone frequency" % name, " Hz")
        report.near(fb, freq, 0.5, "%s ffmpeg tone frequency" % name, " Hz")
        amp_a = fit_sine(a, 2 * np.pi * freq * np.arange(len(a)) / FS_OUT)[0]
        amp_b = fit_sine(b, 2 * np.pi * freq * np.arange(len(b)) / FS_OUT)[0]
        report.near(db(amp_a / amp_b), 20 * math.log10(2), 0.1,
                    "%s level dff2wav re ffmpeg at %g Hz" % (name, freq), " dB")
        # Out-of-order bits keep each byte's density but scramble the noise
        # shaping, burying the tone in noise: both decoders must see it clean.
        snr_a, snr_b = inband_snr(a, freq, FS_OUT), inband_snr(b, freq, FS_OUT)
        report.within(snr_a, 80, 300, "%s dff2wav tone to in-band noise" % name, " dB")
        report.within(snr_b, 80, 300, "%s ffmpeg tone to in-band noise" % name, " dB")

    # The same file with the bits of every byte reversed: the noise check
    # above must see the difference.
    data, offset, size = dsd_chunk(dff)
    sound = np.frombuffer(data[offset:offset + size], dtype=np.uint8)
    reversed_bits = np.packbits(np.unpackbits(sound).reshape(-1, 8)[:, ::-1])
    scrambled = dff[:-4] + ".reversed.dff"
    with open(scrambled, "wb") as f:
        f.write(data[:offset] + reversed_bits.tobytes() + data[offset + size:])
    b = ffmpeg_decode(tools, scrambled)[skip:-skip, 0]
    report.within(inband_snr(b, tones[0][0], FS_OUT), -100, 60,
                  "control: ffmpeg on bit-reversed bytes, tone to in-band noise", " dB")

    # Polarity: a positive pulse must come out positive from both, and in
    # each decoder the left click must lead the right by the same time.
    times = (0.3, 0.6)
    dff = tools.make(0.9, "click:%g:-6" % times[0], "click:%g:-6" % times[1])
    ours = tools.convert(dff) / FULL_SCALE
    theirs = ffmpeg_decode(tools, dff)
    peaks = {}
    for ch in range(2):
        for label, y in (("dff2wav", ours[:, ch]), ("ffmpeg", theirs[:, ch])):
            k = int(np.argmax(np.abs(y)))
            peaks[label, ch] = k
            report.check(y[k] > 0, "%s %s click polarity: extreme %+.4f at frame %d"
                         % ("LR"[ch], label, y[k], k))
    gap = round((times[1] - times[0]) * FS_OUT)
    for label in ("dff2wav", "ffmpeg"):
        report.near(peaks[label, 1] - peaks[label, 0], gap, 1,
                    "%s right click after left" % label, " frames")
    shift = peaks["ffmpeg", 0] - peaks["dff2wav", 0]
    print("%s: note  ffmpeg's click peaks %+d frames from dff2wav's" % (report.name, shift))

    # 5.1 in both containers, a tone of its own on each channel: each of our
    # channels is ffmpeg's channel of the same number, and no other.
    freqs = (500, 700, 900, 1100, 1300, 1500)
    options = ["--channels", "6"] + sum((["--channel", "%d:sine:%d:-10" % (c + 1, f)]
                                         for c, f in enumerate(freqs)), [])
    for suffix in (".dsf", ".dff"):
        path = tools.make(1.0, "sine:%d:-10" % freqs[0], "sine:%d:-10" % freqs[1], options,
                          suffix=suffix)
        wav = path[:-4] + ".wav"
        tools.run([tools.converter, path, wav])
        mask, ours = read_standard_wav(wav)
        theirs = ffmpeg_decode(tools, path, channels=6)
        report.check(mask == 0x3F, "%s 5.1: channel mask 0x%X" % (suffix, mask))
        n = min(len(ours), len(theirs)) - 2 * skip
        ours, theirs = ours[skip:skip + n].astype(float), theirs[skip:skip + n]
        matrix = [[best_correlation(ours[:, c], theirs[:, d]) for d in range(6)]
                  for c in range(6)]
        report.within(min(matrix[c][c] for c in range(6)), 0.999, 1.0,
                      "%s 5.1: least correlation of a channel with ffmpeg's same channel" % suffix)
        report.within(max(matrix[c][d] for c in range(6) for d in range(6) if c != d), 0, 0.05,
                      "%s 5.1: most correlation of a channel with ffmpeg's other channels" % suffix)

    # Our FLAC as FFmpeg reads it: the tags, the picture, and every sample of
    # the WAV the same run writes.
    import id3_files
    cover = bytes.fromhex("89504e470d0a1a0a") + bytes(range(256)) * 8
    tag = id3_files.tag([
        id3_files.frame("TIT2", id3_files.text("T\u00eftle", "utf16")),
        id3_files.frame("TPE1", id3_files.text("Artist")),
        id3_files.frame("APIC", id3_files.apic(cover, "image/png", 3, "cover"))])
    dsf = tools.make(0.5, "sine:1000:-6", "sine:1500:-6", ["--channels", "6"], suffix=".dsf")
    with open(dsf, "ab") as f:
        f.write(tag)
    data = bytearray(open(dsf, "rb").read())
    data[12:20] = struct.pack("<Q", len(data))                # the file's size
    data[20:28] = struct.pack("<Q", len(data) - len(tag))     # where the tag is
    open(dsf, "wb").write(data)
    flac, wav = dsf[:-4] + ".flac", dsf[:-4] + ".std.wav"
    tools.run([tools.converter, dsf, flac])
    tools.run([tools.converter, "--format", "wav", dsf, wav])
    probe = tools.run(["ffprobe", "-v", "error", "-show_entries",
                       "format_tags:stream=codec_name:stream_disposition=attached_pic",
                       "-of", "default=nw=1", flac]).stdout
    report.check("TAG:TITLE=T\u00eftle" in probe and "TAG:ARTIST=Artist" in probe,
                 "ffprobe reads our FLAC's title and artist")
    report.check("codec_name=png" in probe and "DISPOSITION:attached_pic=1" in probe,
                 "ffprobe reads our FLAC's picture as the attached cover")
    decoded = flac[:-5] + ".s32"
    tools.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", flac, "-f", "s32le", decoded])
    theirs = np.fromfile(decoded, dtype="<i4").reshape(-1, 6) >> 8
    _, ours = read_standard_wav(wav)
    report.check(theirs.shape == ours.shape and np.array_equal(theirs, ours),
                 "ffmpeg decodes our FLAC to our WAV's samples (%d frames of 6 channels)"
                 % len(ours))


def check_generator(tools, taps, report):
    """dff-tone on its own: the container layout an outside reader relies on,
    earliest-bit-first order, the modulator's in-band noise and stability at
    the highest level, and the refusal of levels above it."""
    dff = tools.make(0.1, "sine:1000:-6", "silence")
    data = open(dff, "rb").read()
    report.check(data[:4] == b"FRM8" and data[12:16] == b"DSD ", "FRM8 container of form DSD")
    report.check(struct.unpack(">Q", data[4:12])[0] == len(data) - 12,
                 "container size counts the whole file")
    chunks = {ident: (offset, size) for ident, offset, size in read_chunks(data, 16, len(data))}
    report.check(list(chunks) == [b"FVER", b"PROP", b"DSD "],
                 "top-level chunks %s" % [c.decode() for c in chunks])
    offset, size = chunks[b"FVER"]
    report.check(data[offset:offset + size] == struct.pack(">I", 0x01050000), "FVER 1.5.0.0")
    offset, size = chunks[b"PROP"]
    report.check(data[offset:offset + 4] == b"SND ", "PROP of type SND")
    prop = property_chunks(data)
    report.check(prop.get(b"FS  ") == struct.pack(">I", FS_IN), "FS 2822400")
    report.check(prop.get(b"CHNL") == struct.pack(">H", 2) + b"SLFT" + b"SRGT",
                 "CHNL 2, SLFT SRGT")
    report.check(prop.get(b"CMPR", b"")[:19] == b"DSD \x0enot compressed",
                 "CMPR DSD 'not compressed'")
    offset, size = chunks[b"DSD "]
    groups = size // 8
    report.check(size % 8 == 0 and offset + size == len(data),
                 "sound chunk of whole groups ends the file")
    report.check(groups == math.ceil(0.1 * FS_IN / GROUP_SAMPLES),
                 "%d groups for 0.1 s" % groups)
    sound = np.frombuffer(data[offset:offset + size], dtype=np.uint8)
    report.check(np.all(sound[1::2] == 0xAA), "right silence is 1010... (0xAA)")

    # Bit order and noise shaping, straight from the bit stream: a -6 dB
    # tone over 2^20 samples, ones as +1 and zeros as -1.
    dff = tools.make(0.4, "sine:1000:-6", "sine:1000:1.58")
    data, offset, size = dsd_chunk(dff)
    sound = np.frombuffer(data[offset:offset + size], dtype=np.uint8)
    for ch, label in ((0, "-6 dB"), (1, "+1.58 dB (highest)")):
        bits = np.unpackbits(sound[ch::2]).astype(float) * 2 - 1
        n = 1 << 20
        x = bits[len(bits) - n:]
        k = np.arange(len(bits) - n, len(bits))
        u = UNIT_AMPLITUDE * 10 ** ((-6 if ch == 0 else 1.58) / 20)
        amp, offset_rad, _ = fit_sine(x, 2 * np.pi * 1000 * k / FS_IN)
        report.near(db(amp / u), 0, 0.01, "bit stream %s: tone level re input" % label, " dB")
        report.near(offset_rad, 0, 1e-3, "bit stream %s: tone phase" % label, " rad")
        snr = inband_snr(x, 1000, FS_IN)
        report.within(snr + db(UNIT_AMPLITUDE / u), 95, 130,
                      "bit stream %s: in-band noise below 0 dB" % label, " dB")

    # At the highest level the loop must not run away (dff-tone would stop
    # with status 2): slow and fast sines, a full-range sweep, a click.
    for left, right in (("sine:2:1.58", "sine:100000:1.58"),
                        ("sweep:1:100000:1.58", "click:0.5:1.58")):
        tools.make(2.0, left, right)
        report.check(True, "stable at +1.58 dB: %s, %s" % (left, right))

    again = tools.make(0.4, "sine:1000:-6", "sine:1000:1.58")
    report.check(open(dff, "rb").read() == open(again, "rb").read(),
                 "the same options write the same file")

    # Other rates and DSF: the rate in PROP, and a DSF file holding the same
    # samples as the DSDIFF file, in the layout tests/dsd_files.py writes
    # (several blocks, the last ones padded).
    signals = ("sine:1000:-6", "sweep:20:40000:-6")
    for rate, lsb_first in ((FS_IN, False), (2 * 3072000, True)):
        options = ("--rate", str(rate))
        dff = tools.make(0.05, *signals, options=options)
        data, offset, size = dsd_chunk(dff)
        report.check(property_chunks(data).get(b"FS  ") == struct.pack(">I", rate),
                     "DSDIFF at %d Hz: FS says so" % rate)
        dsf = tools.make(0.05, *signals, options=options + ("--lsb-first",) * lsb_first,
                         suffix=".dsf")
        want = dsd_files.dsf(data[offset:offset + size], rate=rate, lsb_first=lsb_first)
        report.check(open(dsf, "rb").read() == want,
                     "DSF at %d Hz, %s first: the DSDIFF file's samples"
                     % (rate, "LSB" if lsb_first else "MSB"))

    def status(*args):
        result = subprocess.run([tools.tone, *args], cwd=tools.workdir,
                                capture_output=True, text=True)
        return result.returncode, result.stderr.strip()

    code, message = status("--left", "sine:1000:1.6", "refused.dff")
    report.check(code == 2 and "stable" in message
                 and not os.path.exists(os.path.join(tools.workdir, "refused.dff")),
                 "+1.6 dB refused with status %d: %s" % (code, message))
    code, message = status("--right", "sweep:20:20:-6", "bad.dff")
    report.check(code == 2, "a sweep without a range refused with status %d: %s"
                 % (code, message))
    code, message = status("--rate", "5644801", "bad.dff")
    report.check(code == 2, "rate 5644801 refused with status %d: %s" % (code, message))
    if os.path.exists("/dev/full"):
        code, message = status("--left", "sine:1000:-6", "/dev/full")
        report.check(code == 1 and os.path.exists("/dev/full"),
                     "a failing write ends with status %d: %s" % (code, message))


def check_dsd128(tools, taps, report):
    """A DSD128 DSF file comes out at 176,400 Hz with its tones' frequency,
    level and delay. The filter's response scales with the rate (1 kHz sees
    what 500 Hz sees at DSD64) and frame n is still centred on input sample
    32 n + 255.5. The DSDIFF file of the same samples gives the same frames."""
    rate = 2 * FS_IN
    tones = ((1000, -6), (3000, -6))
    signals = ["sine:%g:%g" % tone for tone in tones]
    options = ("--rate", str(rate))
    dsf = tools.make(3.0, *signals, options=options + ("--lsb-first",), suffix=".dsf")
    frames = tools.convert(dsf, rate)
    report.check(True, "WAV header: %d Hz, %d frames" % (rate // DECIMATION, len(frames)))
    for ch, (freq, level) in enumerate(tones):
        name = "%s %g Hz at %g dB" % ("LR"[ch], freq, level)
        y = frames[:, ch]
        report.near(peak_frequency(y[4096:-4096], rate // DECIMATION), freq, 0.5,
                    name + ": frequency", " Hz")
        amp, offset, dc = tone_fit(y, freq, fs_in=rate)
        report.near(db(amp / expected_amplitude(taps, freq, level, rate)), 0, 0.05,
                    name + ": level re prediction", " dB")
        report.near(-offset / (2 * math.pi * freq) * rate / DECIMATION, 0, 0.05,
                    name + ": delay re 255.5 samples", " frames")
        report.within(dc, -4, 4, name + ": DC", " LSB")
    dff = tools.make(3.0, *signals, options=options)
    report.check(np.array_equal(tools.convert(dff, rate), frames),
                 "the DSDIFF file of the same samples gives the same frames")


def read_any_wav(path):
    """The rate and samples (n, channels) of any PCM or float WAV the
    converter writes, as float: integers as they are, floats scaled by 2^23
    (24-bit units)."""
    data = open(path, "rb").read()
    rate = bits = channels = None
    for ident, offset, size in read_riff(data):
        if ident == b"fmt ":
            _, channels, rate = struct.unpack("<HHI", data[offset:offset + 8])
            bits = struct.unpack("<H", data[offset + 14:offset + 16])[0]
        elif ident == b"data":
            raw = data[offset:offset + size]
    if bits == 32:
        return rate, np.frombuffer(raw, dtype="<f4").reshape(-1, channels).astype(float) * 2 ** 23
    if bits == 16:
        return rate, np.frombuffer(raw, dtype="<i2").reshape(-1, channels).astype(float)
    b = np.frombuffer(raw, dtype=np.uint8).reshape(-1, 3).astype(np.int32)
    v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
    return rate, np.where(v >= 2 ** 23, v - 2 ** 24, v).reshape(-1, channels).astype(float)


def check_choices(tools, taps, report):
    """The output the user chooses: the clip report, --gain and --gain auto,
    16-bit dither, float, --rate, --replaygain."""
    def convert(source, name, *options):
        out = os.path.join(tools.workdir, name)
        result = tools.run([tools.converter, *options, source, out])
        return read_any_wav(out), result.stderr

    def clip_lines(stderr):
        return [line for line in stderr.splitlines() if "samples saturated" in line]

    # The clip report: none for a tone just below full scale, one that counts
    # every sample at the rails for a hot one.
    quiet = tools.make(1.0, "sine:1000:-0.2", "sine:700:-6")
    hot = tools.make(2.0, "sine:1000:1.5", "sine:700:-6")
    (_, y), err = convert(quiet, "quiet.wav", "--format", "wav")
    report.check(not clip_lines(err) and np.max(np.abs(y)) < 2 ** 23 - 1,
                 "no clip report for a tone at -0.2 dB (peak %.0f)" % np.max(np.abs(y)))
    (_, y), err = convert(hot, "hot.wav", "--format", "wav")
    rails = int(np.sum((y[:, 0] == 2 ** 23 - 1) | (y[:, 0] == -2 ** 23)))
    lines = clip_lines(err)
    counted = int(re.search(r"(\d+) samples saturated", lines[0]).group(1)) if lines else -1
    report.check(len(lines) == 1 and counted == rails and "(FL %d)" % rails in lines[0],
                 "the clip report counts the %d samples at the rails, on FL only" % rails)
    original = tools.run([tools.converter, hot, os.path.join(tools.workdir, "hot-original.wav")])
    report.check("samples saturated" in original.stderr and "saturated" not in original.stdout,
                 "the original form reports on standard error, its standard output unchanged")

    # --gain: exact at 0 dB, and within 0.001 dB elsewhere (float, unsaturated).
    tone = tools.make(2.0, "sine:1000:-6", "sine:1000:-20")
    (_, plain), _ = convert(tone, "plain.wav", "--format", "wav")
    (_, zero), _ = convert(tone, "zero.wav", "--gain", "0")
    report.check(np.array_equal(plain, zero), "--gain 0 gives exactly the samples of no gain")
    (_, unit), _ = convert(tone, "unit.wav", "--bits", "32")
    for gain in (-10.0, -0.37, 3.5, 12.0):
        (_, y), _ = convert(tone, "gain.wav", "--bits", "32", "--gain", "%g" % gain)
        measured = db(tone_fit(y[:, 1], 1000)[0] / tone_fit(unit[:, 1], 1000)[0])
        report.near(measured, gain, 0.001, "--gain %g measured" % gain, " dB")

    # --gain auto: a hot tone brought just under full scale.
    (_, y), err = convert(hot, "auto.wav", "--gain", "auto")
    peak = db(np.max(np.abs(y)) / 2 ** 23)
    report.check(not clip_lines(err) and "--gain auto: " in err,
                 "--gain auto says its gain and saturates nothing")
    report.within(peak, -0.2, 0.0, "--gain auto: peak re full scale", " dB")

    # 16 bits: the same bytes every run; the error against the float output.
    (_, floats), _ = convert(tone, "f.wav", "--bits", "32")
    (_, d1), _ = convert(tone, "d1.wav", "--bits", "16")
    (_, d2), _ = convert(tone, "d2.wav", "--bits", "16")
    (_, rounded), _ = convert(tone, "r.wav", "--bits", "16", "--no-dither")
    report.check(open(os.path.join(tools.workdir, "d1.wav"), "rb").read() ==
                 open(os.path.join(tools.workdir, "d2.wav"), "rb").read(),
                 "16-bit dither: the same bytes on every run")
    ideal = floats / 256
    report.within(float(np.sqrt(np.mean((d1 - ideal) ** 2))), 0.4, 0.75,
                  "16-bit error with TPDF dither, RMS", " LSB")
    report.within(float(np.sqrt(np.mean((rounded - ideal) ** 2))), 0.0, 0.35,
                  "16-bit error without dither, RMS", " LSB")

    # Float: a hot master's peaks above 1.0, and the 24-bit samples / 2^23
    # wherever those did not saturate.
    (_, f), _ = convert(hot, "hot.f.wav", "--bits", "32")
    (_, i24), _ = convert(hot, "hot.24.wav", "--format", "wav")
    report.within(float(np.max(np.abs(f))) / 2 ** 23, 1.0001, 2.0, "float: peak re 1.0")
    inside = (i24 < 2 ** 23 - 1) & (i24 > -2 ** 23)
    report.within(float(np.max(np.abs(f[inside] - i24[inside]))), 0, 1,
                  "float against 24-bit where unsaturated, largest difference", " LSB")

    # 44.1 kHz from DSD64: the 1 kHz level as at 88.2 kHz, a 30 kHz tone gone.
    (_, at441), _ = convert(tone, "441.wav", "--rate", "44100", "--bits", "32")
    level = db(tone_fit(at441[:, 0], 1000, fs_in=FS_IN // 2)[0] / tone_fit(unit[:, 0], 1000)[0])
    report.near(level, 0, 0.01, "44.1 kHz: 1 kHz level re 88.2 kHz output", " dB")
    high = tools.make(2.0, "sine:30000:-6", "silence")
    (_, h88), _ = convert(high, "h88.wav", "--bits", "32")
    (_, h44), _ = convert(high, "h44.wav", "--rate", "44100", "--bits", "32")
    tone_level = tone_fit(h88[:, 0], 30000)[0]
    spectrum = np.abs(np.fft.rfft(h44[4096:-4096, 0] * np.hanning(len(h44) - 8192)))
    spectrum *= 2 / np.sum(np.hanning(len(h44) - 8192))
    report.within(db(float(np.max(spectrum)) / tone_level), -300, -100,
                  "44.1 kHz: a 30 kHz tone's image, strongest line re the tone", " dB")

    # ReplayGain against FFmpeg's ebur128 filter on the same output.
    if shutil.which("ffmpeg"):
        music = tools.make(3.0, "sweep:200:8000:-12", "sine:440:-15")
        out = os.path.join(tools.workdir, "rg.wav")
        err = tools.run([tools.converter, "--replaygain", music, out]).stderr
        ours = float(re.search(r"track gain (-?[\d.]+) dB", err).group(1))
        probe = subprocess.run(["ffmpeg", "-nostdin", "-i", out, "-af", "ebur128", "-f", "null",
                                "-"], capture_output=True, encoding="utf-8", errors="replace")
        integrated = float(re.findall(r"I:\s+(-?[\d.]+) LUFS", probe.stderr)[-1])
        report.near(ours, -18.0 - integrated, 0.1, "ReplayGain re ffmpeg's ebur128 (%.1f LUFS)"
                    % integrated, " dB")
    else:
        print("%s: note  ffmpeg is not installed: ReplayGain not compared" % report.name)


CHECKS = {
    "choices": check_choices,
    "level": check_level,
    "response": check_response,
    "timing": check_timing,
    "channels": check_channels,
    "ffmpeg": check_ffmpeg,
    "generator": check_generator,
    "dsd128": check_dsd128,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--tone", required=True, help="the dff-tone executable")
    parser.add_argument("--converter", required=True, help="the dff2wav executable")
    parser.add_argument("--taps", required=True, help="decimate/fir_coef.cpp")
    args = parser.parse_args()
    if args.check == "ffmpeg" and shutil.which("ffmpeg") is None:
        print("quality: SKIPPED: ffmpeg is not installed, so the cross-check "
              "against an independent decoder did not run")
        return SKIP_EXIT
    taps = load_taps(args.taps)
    report = Report(args.check)
    with tempfile.TemporaryDirectory(prefix="quality-%s-" % args.check) as workdir:
        CHECKS[args.check](Tools(args, workdir), taps, report)
    return report.finish()


if __name__ == "__main__":
    sys.exit(main())
