// libFuzzer target: the DSDIFF chunk walk, or else the DSF head, over an
// in-memory file, then the reading of its tags and of a few words of every
// channel of whatever sound it finds.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "album/album.h"
#include "dsdiff/dsdiff.h"
#include "dsf/dsf.h"
#include "resample/resample.h"

namespace {
constexpr uint64_t MaxFuzzWords = 64;  // keeps every execution short
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("input", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
  SoundSource source;
  SoundProperties properties;
  Fault fault = ChunkWalk(fd, "input", &source, &properties);
  if (fault.failure == Failure::NotDsd) fault = ReadDsfHead(fd, "input", &source, &properties);
  if (!Failed(fault)) {
    // The tags, as a standard-form run reads them: each note a line, every
    // field a name and a value.
    if (source.layout == SoundLayout::ChannelBlocks) {
      ReadDsfDetails(size, &source);
    } else {
      ReadDsdiffDetails(size, &source);
    }
    for (const TagComment& comment : source.tags.comments) {
      if (comment.name.empty() || comment.value.find('\0') != std::string::npos) __builtin_trap();
    }
    // The marks' tracks come in time order, numbered from 1, and cut within
    // the stream when they can be cut at all; names made of their text stay
    // in their directory.
    const uint64_t frames = std::max<uint64_t>(source.words, WindowWords) - WindowWords;
    const bool cuts = TrackProblem(source.tracks, frames).empty();
    for (size_t t = 0; t < source.tracks.size(); ++t) {
      const Track& track = source.tracks[t];
      if (track.number != static_cast<int>(t) + 1) __builtin_trap();
      if (t > 0 && track.start < source.tracks[t - 1].start) __builtin_trap();
      const TrackCut cut = CutOf(track, frames, source.sample_rate / 32, 44100);
      if (cuts &&
          cut.first + cut.frames > ResampledFrames(frames, source.sample_rate / 32, 44100)) {
        __builtin_trap();
      }
      const std::string name = TrackFileName(DefaultNameTemplate, track, "", "", ".flac");
      if (name.find('/') != std::string::npos || name.empty() || name[0] == '.') __builtin_trap();
      if (cuts) TrackTags(source, source.tracks, t);
    }
    if (source.channels < 1 || source.channels > MaxChannels) __builtin_trap();
    const uint32_t words = static_cast<uint32_t>(std::min(source.words, MaxFuzzWords));
    source.words_present = WordsPresent(source, std::min<uint64_t>(size, source.data_end), words);
    if (source.words_present > words) __builtin_trap();
    std::vector<uint8_t> buffer(SourceBufferBytes(source, words));
    std::vector<ChannelWord> channels[MaxChannels];
    ChannelWord* pointers[MaxChannels];
    for (int c = 0; c < source.channels; ++c) {
      channels[c].resize(words);
      pointers[c] = channels[c].data();
    }
    std::vector<DamagedFrame> damaged;
    fault = ReadSourceWords(source, 0, words, buffer.data(), pointers, &damaged);
    if (Failed(fault)) __builtin_trap();  // every word counted present must be readable
  }
  close(fd);
  return 0;
}
