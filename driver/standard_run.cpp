#include "driver/standard_run.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "album/album.h"
#include "base/workers.h"
#include "driver/convert.h"
#include "driver/distinct_files.h"
#include "driver/output_formats.h"
#include "driver/temporaries.h"
#include "driver/tracks.h"
#include "measure/measure.h"
#include "split/split.h"
#include "wav/wav.h"

namespace {

constexpr double AutoGainMarginDb = 0.1;  // --gain auto's room below saturation
// BS.1770's gating block: sound shorter than one has no integrated loudness.
constexpr double LoudnessBlockSeconds = 0.4;
constexpr double HundredthsPerDb = 100.0;
constexpr int Pcm16Bits = 16;
constexpr int FloatBits = 32;
// Frames between two figures of the standard form's progress indicator:
// about 6 s of DSD64 sound, so that the figure moves during a single track.
constexpr uint64_t ProgressStep = DivSize / 16;
// Descriptors a run holds beside its tracks' files: the standard streams, the
// input, and a few the libraries and the console's separation open a while.
constexpr rlim_t DescriptorsBesideTracks = 16;

SampleFormat SampleFormatOf(int bits) {
  return bits == Pcm16Bits   ? SampleFormat::Pcm16
         : bits == FloatBits ? SampleFormat::Float32
                             : SampleFormat::Pcm24;
}

// The gain --gain auto chooses for a stream of peak `peak` measured at unit
// gain: just low enough that no sample saturates, with AutoGainMarginDb to
// spare, rounded down to a hundredth of a dB; never above 0 dB.
double AutoGain(uint64_t peak) {
  if (peak == 0) return 0.0;
  const double peak_db = DecibelsOfMagnitude(peak);
  return std::min(0.0,
                  std::floor((-peak_db - AutoGainMarginDb) * HundredthsPerDb) / HundredthsPerDb);
}

// One file a standard run writes, and its part of the output stream.
struct Destination {
  std::string path;
  int track = 0;  // its track's number; 0 for the whole stream in one file
  TrackCut cut;
  TagRecord tags;
  Output output;  // a track's own file; the whole stream's is the run's
  ClipReport clips;
  std::unique_ptr<FrameSink> sink;  // its measurer, then its writer
};

// The streams of a standard run, before and after the rate conversion, and
// the part of the filtered stream the pass makes.
struct Streams {
  StreamFormat filtered, output;
  uint32_t block_frames = 0, out_block_frames = 0;
  uint64_t first = 0, frames = 0;  // of the filtered stream
  bool split = false;
};

StreamFormat PartOf(const StreamFormat& stream, const TrackCut& cut) {
  StreamFormat part = stream;
  part.frames = cut.frames;
  return part;
}

// Whether a split first makes the whole stream's 16-bit samples, so that
// their dither is the one-file run's, and with which dither; it counts
// saturation into `clips`.
struct Quantizing {
  bool on = false;
  bool dither = true;
  ClipReport* clips = nullptr;
};

// The sink the chain ends in: the one destination's, or a splitter into
// each destination's, perhaps after the quantizer.
struct Ending {
  std::unique_ptr<TrackSplitter> splitter;
  std::unique_ptr<Quantizer16> quantizer;
  FrameSink* first = nullptr;
};

Ending EndIn(std::vector<Destination>& destinations, const Streams& s, const Quantizing& q) {
  Ending ending;
  if (!s.split) {
    ending.first = destinations[0].sink.get();
    return ending;
  }
  std::vector<SplitOutput> outputs;
  for (Destination& d : destinations) outputs.push_back({d.cut.first, d.cut.frames, d.sink.get()});
  const uint64_t first_frame = ResampledFrames(s.first, s.filtered.frame_rate, s.output.frame_rate);
  ending.splitter =
      std::make_unique<TrackSplitter>(outputs, s.output.channels, first_frame, WorkerCount());
  ending.first = ending.splitter.get();
  if (q.on) {
    ending.quantizer = std::make_unique<Quantizer16>(s.output, q.dither, s.out_block_frames,
                                                     outputs, first_frame, ending.first, q.clips);
    ending.first = ending.quantizer.get();
  }
  return ending;
}

// Runs the pass through the chain into the destinations' sinks.
Fault RunInto(std::vector<Destination>& destinations, const Streams& s, SoundSource* source,
              double gain_db, const Quantizing& q, Reporter* reporter, PassReport* report) {
  Ending ending = EndIn(destinations, s, q);
  Chain chain = ChainTo(ending.first, s.filtered, s.output.frame_rate, s.block_frames);
  const PassJob job{source, chain.first, nullptr, LinearGain(gain_db), s.frames};
  const uint64_t step = reporter->progress ? ProgressStep : std::max<uint64_t>(s.frames, 1);
  Fault fault = RunSteps(job, s.first, step, reporter, report);
  if (!Failed(fault)) fault = chain.first->Finish();
  return fault;
}

// What a first look at the sound measures. A run into one file measures its
// file. A split measures every track of the album, whichever it writes (the
// album's loudness is that of all of them), and the lead-in and the tail
// too, so that --gain auto chooses the gain of the whole stream, as the
// one-file run does: the tracks put together stay its frames, and --tracks
// writes what the whole split writes.
std::vector<Destination> MeasuredParts(const std::vector<Destination>& destinations,
                                       const SoundSource& source, const Streams& s) {
  if (!s.split) {
    std::vector<Destination> whole(1);
    whole[0].cut = destinations[0].cut;
    return whole;
  }
  std::vector<Destination> parts;
  uint64_t covered = 0;
  for (const Track& track :
       source.tracks.empty() ? std::vector<Track>{WholeTrack()} : source.tracks) {
    const TrackCut cut =
        CutOf(track, s.filtered.frames, s.filtered.frame_rate, s.output.frame_rate);
    if (cut.first > covered) parts.emplace_back().cut = TrackCut{covered, cut.first - covered};
    Destination& part = parts.emplace_back();
    part.track = track.number;
    part.cut = cut;
    covered = std::max(covered, cut.first + cut.frames);
  }
  if (s.output.frames > covered)
    parts.emplace_back().cut = TrackCut{covered, s.output.frames - covered};
  return parts;
}

// A first look at the sound, for --gain auto and ReplayGain: the chain at
// the gain given, into a measurer for each part (MeasuredParts). Chooses the
// gain, and sets each destination's ReplayGain and, for tracks, the album's.
Fault Measure(std::vector<Destination>& destinations, Streams s, const Request& request,
              SoundSource* source, Reporter* reporter, double* gain_db) {
  std::vector<Destination> parts = MeasuredParts(destinations, *source, s);
  std::vector<const Measurer*> tracks;  // of the parts that are tracks, or the one file
  for (Destination& part : parts) {
    const bool loudness = request.replaygain && (part.track > 0 || !s.split);
    auto measurer =
        std::make_unique<Measurer>(PartOf(s.output, part.cut), loudness, s.out_block_frames);
    if (part.track > 0 || !s.split) tracks.push_back(measurer.get());
    part.sink = std::move(measurer);
  }
  s.first = 0;  // the whole stream
  s.frames = s.filtered.frames;
  ReportMeasuring(reporter);
  PassReport report;  // the writing pass meets the same frames and reports them
  const Fault fault = RunInto(parts, s, source, request.gain_db, {}, reporter, &report);
  if (Failed(fault)) return fault;
  uint64_t peak = 0;
  for (const Destination& part : parts) {
    peak = std::max(peak, static_cast<const Measurer*>(part.sink.get())->Result().peak);
  }
  if (request.gain_auto) {
    *gain_db = AutoGain(peak);
    ReportAutoGain(*reporter, request.in, *gain_db, peak);
  }
  if (!request.replaygain) return Fault{};
  // Loudness moves with the gain in dB, the peak with it in proportion.
  const double applied = *gain_db - request.gain_db;
  Measurement album;
  album.loudness_lufs = Measurer::LoudnessOfAll(tracks) + applied;
  for (const Measurer* m : tracks) {
    album.true_peak = std::max(album.true_peak, m->Result().true_peak * LinearGain(applied));
  }
  for (Destination& d : destinations) {
    // The destination's own part: its track's, or the one file's.
    const Destination* part = &parts[0];
    for (const Destination& p : parts) {
      if (p.track == d.track && p.track > 0) part = &p;
    }
    Measurement measured = static_cast<const Measurer*>(part->sink.get())->Result();
    measured.loudness_lufs += applied;
    measured.true_peak *= LinearGain(applied);
    if (!std::isfinite(measured.loudness_lufs)) {
      const bool brief = d.cut.frames < LoudnessBlockSeconds * s.output.frame_rate;
      ReportTagNotes(*reporter, request.in,
                     {brief ? "the sound is shorter than the 0.4 s loudness is measured over: no "
                              "ReplayGain to write"
                            : "the sound is silent: no ReplayGain to write"},
                     d.track);
      continue;
    }
    const ReplayGain values = ReplayGainOf(measured);
    ReportReplayGain(*reporter, request.in, d.track, "track", values);
    if (request.tags) {
      SetUserFields({{ReplayGainTrackGain, values.gain}, {ReplayGainTrackPeak, values.peak}},
                    &d.tags);
    }
  }
  if (!s.split || !std::isfinite(album.loudness_lufs)) return Fault{};
  const ReplayGain values = ReplayGainOf(album);
  ReportReplayGain(*reporter, request.in, 0, "album", values);
  for (Destination& d : destinations) {
    if (request.tags) {
      SetUserFields({{ReplayGainAlbumGain, values.gain}, {ReplayGainAlbumPeak, values.peak}},
                    &d.tags);
    }
  }
  return Fault{};
}

// The folder a run splits into. One that exists receives each track's file
// as it is complete; one that is missing is made under its temporary name,
// and takes its own name once every file in it is complete, so that an
// album's folder appears whole.
struct TrackFolder {
  std::string path;       // as given
  std::string temporary;  // where the files go for now, when the folder is new
  int lock = -1;          // holds the temporary folder's lock
};

Fault MakeTrackFolder(const char* path, TrackFolder* folder) {
  folder->path = path;
  struct stat st;
  if (stat(path, &st) == 0) {
    return S_ISDIR(st.st_mode) ? Fault{} : SystemFault(Failure::FileOpen, path, ENOTDIR);
  }
  if (errno != ENOENT) return SystemFault(Failure::FileOpen, path, errno);
  folder->temporary = TemporaryOf(path);
  bool busy = false;
  folder->lock = CreateTemporaryFolder(folder->temporary, &busy);
  if (busy) return FaultOf(Failure::OutputBusy, path, "written by another conversion");
  if (folder->lock < 0) {
    folder->temporary.clear();
    return SystemFault(Failure::FileOpen, path, errno);
  }
  return Fault{};
}

// Gives the folder its own name, or removes what it holds when the run failed.
Fault FinishTrackFolder(TrackFolder* folder, bool complete) {
  if (folder->temporary.empty()) return Fault{};
  Fault fault;
  if (complete && rename(folder->temporary.c_str(), folder->path.c_str()) != 0) {
    fault = SystemFault(Failure::FileWrite, folder->path.c_str(), errno);
  }
  close(folder->lock);  // its lock would keep its removal from taking it
  if (!complete || Failed(fault)) RemoveStaleTemporary(folder->temporary);
  Forget(folder->temporary);
  folder->temporary.clear();
  return fault;
}

// Whether the process may hold `files` files open at once beside its own.
bool MayOpenAtOnce(size_t files) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  return limit.rlim_cur >= DescriptorsBesideTracks &&
         files <= limit.rlim_cur - DescriptorsBesideTracks;
}

// The files of a run that splits: checked against the input and each other,
// then opened, in the temporary folder when the folder is new. What can be
// refused before any is made (more files than may be open at once, a name
// that is a symbolic link) is refused first, so that a refusal leaves no
// folder or empty file behind.
Fault OpenTrackFiles(const Request& request, TrackFolder* folder,
                     std::vector<Destination>* destinations) {
  if (!MayOpenAtOnce(destinations->size())) {
    return FaultOf(Failure::FileOpen, request.out,
                   "one file per track is more files open at once than ulimit -n allows");
  }
  for (const Destination& d : *destinations) {
    struct stat st;
    if (lstat(d.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return FaultOf(Failure::FileOpen, d.path.c_str(),
                     "is a symbolic link; refusing to write through it");
    }
  }
  std::vector<std::string> paths = {request.in};
  for (const Destination& d : *destinations) paths.push_back(d.path);
  size_t first = 0, second = 0;
  if (FindSameFile(paths, &first, &second)) {
    return FaultOf(Failure::SameFile, (*destinations)[second - 1].path.c_str(),
                   first == 0 ? "is the input" : "is another track's file");
  }
  Fault fault = MakeTrackFolder(request.out, folder);
  for (Destination& d : *destinations) {
    if (Failed(fault)) break;
    if (!folder->temporary.empty()) {
      // A new file in the run's own folder, which appears only when whole.
      d.path = folder->temporary + d.path.substr(d.path.find_last_of('/'));
      fault = OpenOutput(d.path.c_str(), -1, &d.output, /*follow_links=*/false);
      KeepTrackOf(d.path, false);
    } else {
      fault = OpenReplacedOutput(d.path.c_str(), -1, &d.output, /*follow_links=*/false);
    }
    if (!Failed(fault) && !SeparateConsoleFromOpenedOutput(d.output.fd)) {
      fault = FaultOf(Failure::FileOpen, d.output.path, "is the console's file");
    }
    if (!Failed(fault) && d.output.busy) {
      fault = FaultOf(Failure::OutputBusy, d.output.path, "written by another conversion");
    }
  }
  return fault;
}

void CloseTrackFiles(std::vector<Destination>* destinations) {
  for (Destination& d : *destinations) (void)CloseOutput(&d.output);
}

// The files of a split, one per track to write, with their tags.
std::vector<Destination> TrackDestinations(const Request& request, const SoundSource& source,
                                           const std::vector<TrackFile>& plan) {
  std::vector<Destination> destinations;
  for (const TrackFile& file : plan) {
    Destination d;
    d.path = file.path;
    d.track = file.track.number;
    d.cut = file.cut;
    if (request.tags) {
      d.tags = source.tracks.empty()
                   ? source.tags
                   : TrackTags(source, source.tracks, static_cast<size_t>(file.track.number - 1));
    }
    destinations.push_back(std::move(d));
  }
  return destinations;
}

}  // namespace

int ConvertStandard(Reporter* reporter, OpenFiles* files, const Request& request,
                    const InputFormatRow& reader, bool splits, SoundSource* source) {
  if (!splits && files->output.busy) {
    return Fail(reporter, files,
                FaultOf(Failure::OutputBusy, files->output.path, "written by another conversion"));
  }
  // Sound the input does not hold is left out: a file cut short converts to
  // what it holds, and a size field that claims more sound than any file
  // could hold costs nothing.
  source->words_present =
      WordsPresent(*source, std::min(files->input_bytes, source->data_end), source->words);
  Streams s;
  s.split = splits;
  s.filtered.frame_rate = source->sample_rate / WordSamples;
  s.filtered.channels = source->channels;
  std::copy(source->speakers, source->speakers + source->channels, s.filtered.speakers);
  s.filtered.frames = std::max<uint64_t>(source->words_present, WindowWords) - WindowWords;
  const uint32_t out_rate = request.rate != 0 ? request.rate : s.filtered.frame_rate;
  s.output = AtRate(s.filtered, out_rate);
  s.block_frames = PassBlockFrames(*source);
  s.out_block_frames = ResampledBlockFrames(s.block_frames, s.filtered.frame_rate, out_rate);
  s.frames = s.filtered.frames;
  const SampleFormat samples = SampleFormatOf(request.bits);

  if (request.tags || splits) reader.read_details(files->input_bytes, source);
  std::vector<TrackFile> plan;
  if (splits) {
    std::string sheet;
    std::string problem = ResolveTracks(request, source, &sheet);
    // Tracks are checked against the sound the container declares; those that
    // a file cut short does not hold are left out below.
    if (problem.empty()) problem = TrackProblem(source->tracks, DeclaredFrames(*source));
    if (problem.empty())
      problem = PlanTrackFiles(request, *source, s.filtered.frames, out_rate, &plan);
    if (!problem.empty()) {
      return Fail(reporter, files, FaultOf(Failure::BadTracks, request.in, problem.c_str()));
    }
  }
  std::vector<int> absent;  // tracks the input holds none of
  for (size_t f = plan.size(); f-- > 0;) {
    if (plan[f].cut.frames > 0 || plan[f].cut.first < s.output.frames) continue;
    absent.insert(absent.begin(), plan[f].track.number);
    plan.erase(plan.begin() + static_cast<std::ptrdiff_t>(f));
  }
  ReportSummary(*reporter, request, *source, s.output, splits ? plan.size() : 0);
  const uint64_t missing_words = source->words - source->words_present;
  if (missing_words > 0) ReportSoundMissing(*reporter, *source, missing_words);
  if (!absent.empty()) ReportTracksAbsent(*reporter, request.in, absent);
  if (request.tags) {
    ReportTagNotes(*reporter, request.in, source->tags.notes);
    for (const Track& track : source->tracks) {
      ReportTagNotes(*reporter, request.in, track.tags.notes, track.number);
    }
  }

  std::vector<Destination> destinations;
  TrackFolder folder;
  if (splits && plan.empty()) {
    return Fail(reporter, files,
                FaultOf(Failure::BadTracks, request.in, "the input holds none of its tracks"));
  }
  if (splits) {
    destinations = TrackDestinations(request, *source, plan);
    const Fault fault = OpenTrackFiles(request, &folder, &destinations);
    if (Failed(fault)) {
      CloseTrackFiles(&destinations);
      FinishTrackFolder(&folder, false);
      return Fail(reporter, files, fault);
    }
    // The pass makes what the tracks need. Only rate conversion and dither
    // carry anything from one frame to the next: without them it starts at
    // the first track; rate conversion needs the sound to its end.
    uint64_t first = UINT64_MAX, end = 0;
    for (const Destination& d : destinations) {
      first = std::min(first, d.cut.first);
      end = std::max(end, d.cut.first + d.cut.frames);
    }
    const bool resampled = out_rate != s.filtered.frame_rate;
    const bool dithered = samples == SampleFormat::Pcm16 && request.dither;
    s.first = resampled || dithered ? 0 : first;
    s.frames = resampled ? s.filtered.frames : end - s.first;
  } else {
    Destination whole;
    whole.path = request.out;
    whole.cut = TrackCut{0, s.output.frames};
    whole.tags = source->tags;
    destinations.push_back(std::move(whole));
  }

  double gain_db = request.gain_db;
  Fault fault;
  if (request.gain_auto || request.replaygain) {
    fault = Measure(destinations, s, request, source, reporter, &gain_db);
  }
  const OutputFormatRow& row = RowOf(request.format);
  for (Destination& d : destinations) {
    if (!request.tags || !row.fit_tags) continue;
    const size_t notes = d.tags.notes.size();
    row.fit_tags(&d.tags);
    ReportTagNotes(*reporter, request.in, {d.tags.notes.begin() + notes, d.tags.notes.end()},
                   d.track);
  }
  // Each track's writer stores the quantizer's 16-bit samples as they are.
  ClipReport clips;
  const Quantizing q{splits && samples == SampleFormat::Pcm16, request.dither, &clips};
  for (Destination& d : destinations) {
    if (Failed(fault)) break;
    WriterSettings settings;
    settings.stream = PartOf(s.output, d.cut);
    settings.samples = samples;
    settings.dither = request.dither && !q.on;
    settings.compression = request.compression;
    settings.tags = request.tags ? &d.tags : nullptr;
    settings.max_block_frames = s.out_block_frames;
    const OutputStream out = StreamOf(splits ? d.output : files->output);
    d.sink = row.open(out, settings, &d.clips);
  }
  PassReport report;
  if (!Failed(fault)) fault = RunInto(destinations, s, source, gain_db, q, reporter, &report);
  // Each file takes its name only once every one is complete.
  for (Destination& d : destinations) {
    d.sink.reset();
    const Fault closed = !splits         ? Fault{}
                         : Failed(fault) ? CloseOutput(&d.output)
                                         : CommitOutput(&d.output);
    if (!Failed(fault)) fault = closed;
    AddClips(d.clips, &clips);
  }
  if (!Failed(fault) && !splits) fault = CommitOutput(&files->output);
  for (const Destination& d : destinations) Forget(d.path);
  const Fault finished = FinishTrackFolder(&folder, !Failed(fault));
  if (!Failed(fault)) fault = finished;
  if (Failed(fault)) return Fail(reporter, files, fault);
  ReportClips(*reporter, request.in, clips, s.output, gain_db);
  ReportDamagedFrames(request.in, report.damaged, *source);
  CloseAll(files);
  reporter->output_written = true;
  return missing_words > 0 || !report.damaged.empty() ? ExitFailure : ExitSuccess;
}
