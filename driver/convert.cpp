#include "driver/convert.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "base/workers.h"
#include "channel/channel_files.h"
#include "driver/distinct_files.h"
#include "driver/input_formats.h"
#include "driver/output_formats.h"
#include "driver/run_files.h"
#include "flac/flac.h"
#include "measure/measure.h"
#include "pass/pass.h"
#include "resample/resample.h"
#include "wav/wav.h"

namespace {

constexpr double UnitGain = 1.0;
constexpr double AutoGainMarginDb = 0.1;  // --gain auto's room below saturation
constexpr double HundredthsPerDb = 100.0;
// Frames between two figures of the standard form's progress indicator:
// about 6 s of DSD64 sound, so that the figure moves during a single track.
constexpr uint64_t ProgressStep = DivSize / 16;

// What a run holds open, closed in one place however the run ends.
struct OpenFiles {
  int input = -1;
  uint64_t input_bytes = 0;
  Output output;
  ChannelFiles channels;
};

void CloseAll(OpenFiles* files) {
  if (files->input >= 0) close(files->input);
  files->input = -1;
  CloseChannelFiles(&files->channels);
  (void)CloseOutput(&files->output);
}

int Fail(Reporter* reporter, OpenFiles* files, const Fault& fault) {
  ReportFailure(reporter, fault);
  CloseAll(files);
  return ExitFailure;
}

// The original form is a run with no options of a two-channel input; an
// input whose channels are unknown (it failed before saying) counts as one.
RunForm FormOf(const Request& request, const Fault& head, const SoundSource& source,
               const SoundProperties& properties) {
  if (!MayBeOriginalForm(request)) return RunForm::Standard;
  // The source knows its channels once the head is read; a head that failed
  // may still have said them.
  const bool described = !Failed(head) || head.failure == Failure::DataTooSmall;
  const uint32_t channels =
      described ? static_cast<uint32_t>(source.channels) : properties.channels;
  return channels == 0 || channels == StereoChannels ? RunForm::Original : RunForm::Standard;
}

// A run whose files are not all distinct would overwrite the input, or let
// the channel files (in the original form) overwrite either. `kept` is the
// descriptor of an output that is standard output, or -1; the fault's reason
// is kept in `reason`.
Fault CheckDistinctFiles(const Request& request, RunForm form, int kept, std::string* reason) {
  std::vector<std::string> paths = {request.in, kept >= 0 ? DescriptorPath(kept) : request.out};
  std::vector<const char*> names = {request.in, request.out};
  if (form == RunForm::Original) {
    for (const char* channel_file : {LeftChannelFile, RightChannelFile}) {
      paths.push_back(channel_file);
      names.push_back(channel_file);
    }
  }
  size_t first = 0, second = 0;
  if (!FindSameFile(paths, &first, &second)) return Fault{};
  *reason = std::string("is the same file as ") + names[first];
  return FaultOf(Failure::SameFile, names[second], reason->c_str());
}

// Prepares the pass, starts the writer, and runs the pass over the job's
// frames in steps of at most `step` frames (the original form's divisions),
// reporting each step; a run of no frames still takes one.
Fault RunSteps(const PassJob& job, uint64_t step, Reporter* reporter, PassReport* report) {
  const uint64_t steps = std::max<uint64_t>(1, (job.frames + step - 1) / step);
  Pass pass;
  Fault fault = PassPrepare(*job.source, *job.sink, WorkerCount(), &pass);
  if (!Failed(fault)) fault = job.sink->Start();
  for (uint64_t s = 0; s < steps && !Failed(fault); ++s) {
    const uint64_t first = s * step;
    fault = PassFrames(&pass, job, first, std::min(step, job.frames - first), report);
    if (!Failed(fault)) ReportProgress(reporter, s + 1, steps);
  }
  if (!Failed(fault)) ReportPassEnd(reporter);
  PassRelease(&pass);
  return fault;
}

// The original form: the size report, the channel files, the 44-byte WAV.
int ConvertOriginal(Reporter* reporter, OpenFiles* files, SoundSource* source) {
  bool data_left_out = false;
  const RunSizes sizes = RunSizesOf(DsdSizeOf(source->words, &data_left_out));
  ReportDivisionSizes(*reporter, sizes);
  if (data_left_out) ReportSoundTruncated(*reporter, *source, sizes.DsdSize);

  Fault fault = OpenChannelFiles(&files->channels);
  if (Failed(fault)) return Fail(reporter, files, fault);
  // Refused this late so that a second run in the same directory says what
  // it always said: that the channel files are in use.
  if (files->output.busy) {
    return Fail(reporter, files,
                FaultOf(Failure::OutputBusy, files->output.path, "written by another conversion"));
  }
  // The file's own channel order, left first, as the original form always had it.
  source->file_channel[0] = 0;
  source->file_channel[1] = 1;
  source->words_present =
      WordsPresent(*source, std::min(files->input_bytes, source->data_end), sizes.DsdLR64Size);
  const uint64_t missing_words = sizes.DsdLR64Size - source->words_present;
  if (missing_words > 0) {
    ReportSoundMissing(*reporter, *source, missing_words);
    data_left_out = true;
  }
  ReportWavSizes(*reporter, sizes);

  ClipReport clips;
  OriginalWavWriter writer(StreamOf(files->output), sizes, source->sample_rate / WordSamples,
                           PassBlockFrames(*source), &clips);
  const PassJob job{source, &writer, &files->channels, UnitGain, ComputedFrames(sizes)};
  PassReport report;
  fault = RunSteps(job, DivSize, reporter, &report);
  if (!Failed(fault)) fault = FinishChannelFiles(&files->channels, ChannelFileWords(sizes));
  if (!Failed(fault)) fault = writer.Finish();
  if (!Failed(fault)) fault = CloseOutput(&files->output);
  if (Failed(fault)) return Fail(reporter, files, fault);
  StreamFormat stereo;  // the file's own order: left, then right
  stereo.channels = StereoChannels;
  stereo.speakers[0] = FrontLeft;
  stereo.speakers[1] = FrontRight;
  ReportClips(*reporter, source->path, clips, stereo, 0.0);
  ReportDamagedFrames(source->path, report.damaged);
  ReportFinished(*reporter);
  CloseAll(files);
  return data_left_out || !report.damaged.empty() ? ExitFailure : ExitSuccess;
}

// The chain of stages a standard run's frames go through: a resampler when
// the output rate is not the filter's, then the final sink.
struct Chain {
  std::unique_ptr<Resampler> resampler;
  FrameSink* first = nullptr;
};

Chain ChainTo(FrameSink* last, const StreamFormat& filtered, uint32_t out_rate,
              uint32_t block_frames) {
  Chain chain;
  chain.first = last;
  if (out_rate != filtered.frame_rate) {
    chain.resampler = std::make_unique<Resampler>(filtered, out_rate, block_frames, last);
    chain.first = chain.resampler.get();
  }
  return chain;
}

// The output's stream: the filtered one at the output rate.
StreamFormat AtRate(StreamFormat format, uint32_t rate) {
  format.frames = ResampledFrames(format.frames, format.frame_rate, rate);
  format.frame_rate = rate;
  return format;
}

SampleFormat SampleFormatOf(int bits) {
  return bits == 16   ? SampleFormat::Pcm16
         : bits == 32 ? SampleFormat::Float32
                      : SampleFormat::Pcm24;
}

// The gain --gain auto chooses for a stream measured at unit gain: just low
// enough that no sample saturates, with AutoGainMarginDb to spare, rounded
// down to a hundredth of a dB; never above 0 dB.
double AutoGain(uint64_t peak) {
  if (peak == 0) return 0.0;
  const double peak_db = DecibelsOfMagnitude(peak);
  return std::min(0.0,
                  std::floor((-peak_db - AutoGainMarginDb) * HundredthsPerDb) / HundredthsPerDb);
}

// The standard form: an extensible WAV or a FLAC file of every frame whose
// window lies in the sound, at the chosen gain, depth and rate, one summary
// line.
int ConvertStandard(Reporter* reporter, OpenFiles* files, const Request& request,
                    const InputFormatRow& reader, SoundSource* source) {
  if (files->output.busy) {
    return Fail(reporter, files,
                FaultOf(Failure::OutputBusy, files->output.path, "written by another conversion"));
  }
  // Sound the input does not hold is left out: a file cut short converts to
  // what it holds, and a size field that claims more sound than any file
  // could hold costs nothing.
  source->words_present =
      WordsPresent(*source, std::min(files->input_bytes, source->data_end), source->words);
  StreamFormat filtered;
  filtered.frame_rate = source->sample_rate / WordSamples;
  filtered.channels = source->channels;
  std::copy(source->speakers, source->speakers + source->channels, filtered.speakers);
  filtered.frames = std::max<uint64_t>(source->words_present, WindowWords) - WindowWords;
  const uint32_t out_rate = request.rate != 0 ? request.rate : filtered.frame_rate;
  const StreamFormat output = AtRate(filtered, out_rate);
  const SampleFormat samples = SampleFormatOf(request.bits);
  ReportSummary(*reporter, request, *source, output);
  const uint64_t missing_words = source->words - source->words_present;
  if (missing_words > 0) ReportSoundMissing(*reporter, *source, missing_words);

  TagRecord* tags = nullptr;
  if (request.tags) {
    reader.read_details(files->input_bytes, source);
    ReportTagNotes(*reporter, request.in, source->tags.notes);
    tags = &source->tags;
  }
  const uint32_t block_frames = PassBlockFrames(*source);
  const uint32_t out_block_frames =
      ResampledBlockFrames(block_frames, filtered.frame_rate, out_rate);
  // Without a progress figure to show, the pass runs in one step: every
  // step's end waits for its slowest piece.
  const uint64_t step = reporter->progress ? ProgressStep : std::max<uint64_t>(filtered.frames, 1);

  // A first look at the sound, for --gain auto and ReplayGain: the filter
  // and the resampler at unit gain (or the gain given), into a measurer.
  double gain_db = request.gain_db;
  if (request.gain_auto || request.replaygain) {
    Measurer measurer(output, request.replaygain, out_block_frames);
    Chain chain = ChainTo(&measurer, filtered, out_rate, block_frames);
    ReportMeasuring(reporter);
    PassReport measured_report;  // the writing pass meets the same frames and reports them
    Fault fault =
        RunSteps(PassJob{source, chain.first, nullptr, LinearGain(gain_db), filtered.frames}, step,
                 reporter, &measured_report);
    if (!Failed(fault)) fault = chain.first->Finish();
    if (Failed(fault)) return Fail(reporter, files, fault);
    Measurement measured = measurer.Result();
    if (request.gain_auto) {
      gain_db = AutoGain(measured.peak);
      ReportAutoGain(*reporter, request.in, gain_db, measured.peak);
    }
    if (request.replaygain) {
      // Loudness moves with the gain in dB, the peak with it in proportion.
      const double applied = gain_db - request.gain_db;
      measured.loudness_lufs += applied;
      measured.true_peak *= LinearGain(applied);
      if (!std::isfinite(measured.loudness_lufs)) {
        ReportTagNotes(*reporter, request.in, {"the sound is silent: no ReplayGain to write"});
      } else {
        const ReplayGain values = ReplayGainOf(measured);
        ReportReplayGain(*reporter, request.in, values);
        if (tags) SetReplayGain(values.gain, values.peak, tags);
      }
    }
  }

  ClipReport clips;
  WriterSettings settings;
  settings.stream = output;
  settings.samples = samples;
  settings.dither = request.dither;
  settings.compression = request.compression;
  settings.tags = tags;
  settings.max_block_frames = out_block_frames;
  std::unique_ptr<FrameSink> writer =
      RowOf(request.format).open(StreamOf(files->output), settings, &clips);
  Chain chain = ChainTo(writer.get(), filtered, out_rate, block_frames);
  const PassJob job{source, chain.first, nullptr, LinearGain(gain_db), filtered.frames};
  PassReport report;
  Fault fault = RunSteps(job, step, reporter, &report);
  if (!Failed(fault)) fault = chain.first->Finish();
  if (!Failed(fault)) fault = CloseOutput(&files->output);
  if (Failed(fault)) return Fail(reporter, files, fault);
  ReportClips(*reporter, request.in, clips, output, gain_db);
  ReportDamagedFrames(request.in, report.damaged);
  CloseAll(files);
  return missing_words > 0 || !report.damaged.empty() ? ExitFailure : ExitSuccess;
}

}  // namespace

int Convert(const Request& request, Reporter* reporter) {
  SetRunForm(reporter, MayBeOriginalForm(request) ? RunForm::Original : RunForm::Standard);
  int kept = -1;
  // A console that cannot be kept apart from the audio gets no line at all.
  if (!SeparateConsoleFromOutput(request.out, &kept)) return ExitFailure;
  OpenFiles files;
  files.output.fd = kept;
  Fault fault = OpenInput(request.in, &files.input, &files.input_bytes);
  if (Failed(fault)) return Fail(reporter, &files, fault);

  SoundSource source;
  SoundProperties properties;
  const InputFormatRow* reader = nullptr;
  const Fault head = ReadSoundHead(files.input, request.in, &source, &properties, &reader);
  const RunForm form = FormOf(request, head, source, properties);
  SetRunForm(reporter, form);
  ReportTagNotes(*reporter, request.in, source.notes);
  std::string same_file_reason;
  fault = CheckDistinctFiles(request, form, kept, &same_file_reason);
  if (Failed(fault)) return Fail(reporter, &files, fault);
  fault = OpenOutput(request.out, kept, &files.output);
  if (kept < 0 && files.output.fd >= 0 && !SeparateConsoleFromOpenedOutput(files.output.fd)) {
    CloseAll(&files);
    return ExitFailure;
  }
  if (Failed(fault)) return Fail(reporter, &files, fault);
  if (Failed(head)) {
    // The original form's output was emptied when it was opened, and still
    // is; the standard form leaves it as it was.
    if (form == RunForm::Original) EmptyOutput(files.output);
    if (head.failure == Failure::UnsupportedSound) {
      ReportRefusal(reporter, properties, head);
      CloseAll(&files);
      return ExitFailure;
    }
    return Fail(reporter, &files, head);
  }
  return form == RunForm::Original ? ConvertOriginal(reporter, &files, &source)
                                   : ConvertStandard(reporter, &files, request, *reader, &source);
}
