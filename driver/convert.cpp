#include "driver/convert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "channel/channel_files.h"
#include "driver/distinct_files.h"
#include "driver/input_formats.h"
#include "driver/run_files.h"
#include "driver/run_steps.h"
#include "driver/standard_run.h"
#include "driver/tracks.h"
#include "wav/wav.h"

namespace {

constexpr double UnitGain = 1.0;

// The original form is a run with no options of a two-channel input; an
// input whose channels are unknown (it failed before saying) counts as one.
RunForm FormOf(const Request& request, bool splits, const Fault& head, const SoundSource& source,
               const SoundProperties& properties) {
  if (!MayBeOriginalForm(request) || splits) return RunForm::Standard;
  // The source knows its channels once the head is read; a head that failed
  // may still have said them.
  const bool described = !Failed(head) || head.failure == Failure::DataTooSmall;
  const uint32_t channels =
      described ? static_cast<uint32_t>(source.channels) : properties.channels;
  return channels == 0 || channels == StereoChannels ? RunForm::Original : RunForm::Standard;
}

// Whether the run writes one file per track into the directory OUT.
bool Splits(const Request& request) {
  struct stat st;
  return request.split || (stat(request.out, &st) == 0 && S_ISDIR(st.st_mode));
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

// The original form: the size report, the channel files, the 44-byte WAV.
int ConvertOriginal(Reporter* reporter, OpenFiles* files, const InputFormatRow& reader,
                    SoundSource* source) {
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
  fault = RunSteps(job, 0, DivSize, reporter, &report);
  if (!Failed(fault)) fault = FinishChannelFiles(&files->channels, ChannelFileWords(sizes));
  if (!Failed(fault)) fault = writer.Finish();
  if (!Failed(fault)) fault = CloseOutput(&files->output);
  if (Failed(fault)) return Fail(reporter, files, fault);
  StreamFormat stereo;  // the file's own order: left, then right
  stereo.channels = StereoChannels;
  stereo.speakers[0] = FrontLeft;
  stereo.speakers[1] = FrontRight;
  ReportClips(*reporter, source->path, clips, stereo, 0.0);
  // A disc image's damage names its tracks.
  if (!report.damaged.empty()) reader.read_details(files->input_bytes, source);
  ReportDamagedFrames(source->path, report.damaged, *source);
  ReportFinished(*reporter);
  CloseAll(files);
  return data_left_out || !report.damaged.empty() ? ExitFailure : ExitSuccess;
}

}  // namespace

int Convert(const Request& request, Reporter* reporter) {
  const bool splits = Splits(request);
  SetRunForm(reporter,
             MayBeOriginalForm(request) && !splits ? RunForm::Original : RunForm::Standard);
  int kept = -1;
  // A console that cannot be kept apart from the audio gets no line at all.
  if (!splits && !SeparateConsoleFromOutput(request.out, &kept)) return ExitFailure;
  OpenFiles files;
  files.output.fd = kept;
  Fault fault = OpenInput(request.in, &files.input, &files.input_bytes);
  if (Failed(fault)) return Fail(reporter, &files, fault);

  SoundSource source;
  SoundProperties properties;
  const InputFormatRow* reader = nullptr;
  const Fault head = ReadSoundHead(files.input, request.in, ReadChoices{request.area}, &source,
                                   &properties, &reader);
  const RunForm form = FormOf(request, splits, head, source, properties);
  SetRunForm(reporter, form);
  ReportTagNotes(*reporter, request.in, source.notes);
  // A run that splits opens its tracks' files once it knows them.
  std::string same_file_reason;
  if (!splits) fault = CheckDistinctFiles(request, form, kept, &same_file_reason);
  if (Failed(fault)) return Fail(reporter, &files, fault);
  // The original form writes in place, as it always has; the standard form
  // under a temporary name, so that its output appears only when complete.
  if (!splits) {
    fault = form == RunForm::Original ? OpenOutput(request.out, kept, &files.output)
                                      : OpenReplacedOutput(request.out, kept, &files.output);
  }
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
  return form == RunForm::Original
             ? ConvertOriginal(reporter, &files, *reader, &source)
             : ConvertStandard(reporter, &files, request, *reader, splits, &source);
}

namespace {

// One description to list: the head read for `area`, then the rest.
Fault ReadToList(const Request& request, const OpenFiles& files, DiscArea area, Reporter* reporter,
                 SoundSource* source) {
  SoundProperties properties;
  const InputFormatRow* reader = nullptr;
  const Fault fault =
      ReadSoundHead(files.input, request.in, ReadChoices{area}, source, &properties, &reader);
  ReportTagNotes(*reporter, request.in, source->notes);
  if (fault.failure == Failure::UnsupportedSound) {
    ReportRefusal(reporter, properties, fault);
    return Fault{Failure::UnsupportedSound};
  }
  if (Failed(fault)) return fault;
  source->words_present =
      WordsPresent(*source, std::min(files.input_bytes, source->data_end), source->words);
  reader->read_details(files.input_bytes, source);
  return Fault{};
}

}  // namespace

int ListTracks(const Request& request, Reporter* reporter) {
  SetRunForm(reporter, RunForm::Standard);
  OpenFiles files;
  Fault fault = OpenInput(request.in, &files.input, &files.input_bytes);
  if (Failed(fault)) return Fail(reporter, &files, fault);
  std::vector<SoundSource> sources(1);
  fault = ReadToList(request, files, request.area, reporter, &sources[0]);
  // A disc image lists both of its areas unless one is asked for.
  const SoundSource& first = sources[0];
  if (!Failed(fault) && first.disc && request.area == DiscArea::Default &&
      first.disc->stereo.present && first.disc->multichannel.present) {
    sources.emplace_back();
    fault = ReadToList(request, files, DiscArea::Multichannel, reporter, &sources[1]);
  }
  if (fault.failure == Failure::UnsupportedSound) {
    CloseAll(&files);
    return ExitFailure;
  }
  if (Failed(fault)) return Fail(reporter, &files, fault);
  std::string sheet, problem;
  for (SoundSource& source : sources) {
    std::string problem_here = ResolveTracks(request, &source, &sheet);
    if (problem_here.empty()) problem_here = TrackProblem(source.tracks, DeclaredFrames(source));
    if (problem.empty()) problem = problem_here;
  }
  // What was found is shown even when it cannot be cut.
  if (request.json) {
    ReportTrackJson(sources, sheet);
  } else {
    ReportTrackList(sources, sheet);
  }
  if (!problem.empty()) {
    return Fail(reporter, &files, FaultOf(Failure::BadTracks, request.in, problem.c_str()));
  }
  CloseAll(&files);
  return ExitSuccess;
}
