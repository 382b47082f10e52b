#include "flac/flac.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// FLAC's streamable subset codes rates up to this in a frame header; above
// it the rate comes from the stream info alone.
constexpr uint32_t MaxSubsetRate = 655350;
constexpr uint32_t SeekPointSeconds = 10;  // one seek point per this much sound
constexpr char ChannelMaskField[] = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK";
constexpr int MaskFieldBytes = 16;  // "0x" and up to 8 hex digits, and the end
// The first bytes of every FLAC stream, written last to a file.
constexpr uint8_t FlacMark[] = {'f', 'L', 'a', 'C'};
constexpr uint64_t FlacMarkBytes = sizeof FlacMark;

// Writes `bytes` at the position libFLAC is at; on a file the mark stays
// zeros until Finish writes it.
FLAC__StreamEncoderWriteStatus WriteBytes(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                          size_t bytes, uint32_t, uint32_t, void* data) {
  auto* out = static_cast<FlacWriter::Output*>(data);
  size_t done = 0;
  if (out->stream.placed && out->position < FlacMarkBytes) {
    static constexpr uint8_t zeros[FlacMarkBytes] = {};
    done = std::min<size_t>(bytes, FlacMarkBytes - out->position);
    if (Failed(WriteOutput(out->stream, out->position, zeros, done))) {
      out->os_error = errno;
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
  }
  if (Failed(WriteOutput(out->stream, out->position + done, buffer + done, bytes - done))) {
    out->os_error = errno;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  out->position += bytes;
  out->end = std::max(out->end, out->position);
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus SeekTo(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
  auto* out = static_cast<FlacWriter::Output*>(data);
  if (!out->stream.placed) return FLAC__STREAM_ENCODER_SEEK_STATUS_UNSUPPORTED;
  out->position = offset;
  return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus TellWhere(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                        void* data) {
  auto* out = static_cast<FlacWriter::Output*>(data);
  if (!out->stream.placed) return FLAC__STREAM_ENCODER_TELL_STATUS_UNSUPPORTED;
  *offset = out->position;
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

bool AppendComment(FLAC__StreamMetadata* block, const char* name, const char* value) {
  FLAC__StreamMetadata_VorbisComment_Entry entry;
  return FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name, value) &&
         FLAC__metadata_object_vorbiscomment_append_comment(block, entry, /*copy=*/false);
}

// The Vorbis comments: the tags, then the channel mask where the layout is
// not FLAC's default. Null when memory runs out.
FLAC__StreamMetadata* CommentBlock(const TagRecord* tags, const StreamFormat& format) {
  FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  bool built = block != nullptr;
  for (size_t i = 0; tags && built && i < tags->comments.size(); ++i) {
    built = AppendComment(block, tags->comments[i].name.c_str(), tags->comments[i].value.c_str());
  }
  const uint32_t mask = ChannelMask(format.speakers, format.channels);
  if (built && mask != DefaultFlacChannelMask(format.channels)) {
    char value[MaskFieldBytes];
    std::snprintf(value, sizeof value, "0x%04X", static_cast<unsigned>(mask));
    built = AppendComment(block, ChannelMaskField, value);
  }
  if (!built && block) FLAC__metadata_object_delete(block);
  return built ? block : nullptr;
}

FLAC__StreamMetadata* PictureBlock(const TagPicture& picture) {
  FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE);
  if (!block) return nullptr;
  block->data.picture.type = static_cast<FLAC__StreamMetadata_Picture_Type>(picture.type);
  std::string mime = picture.mime, description = picture.description;
  const bool built =
      FLAC__metadata_object_picture_set_mime_type(block, mime.data(), /*copy=*/true) &&
      FLAC__metadata_object_picture_set_description(
          block, reinterpret_cast<FLAC__byte*>(description.data()), /*copy=*/true) &&
      FLAC__metadata_object_picture_set_data(
          block, reinterpret_cast<FLAC__byte*>(const_cast<char*>(picture.data.data())),
          static_cast<FLAC__uint32>(picture.data.size()), /*copy=*/true);
  if (!built) FLAC__metadata_object_delete(block);
  return built ? block : nullptr;
}

// Seek points every SeekPointSeconds, filled in as the frames are written.
FLAC__StreamMetadata* SeekTable(const StreamFormat& format) {
  FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
  if (block &&
      FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
          block, format.frame_rate * SeekPointSeconds, format.frames) &&
      FLAC__metadata_object_seektable_template_sort(block, /*compact=*/true)) {
    return block;
  }
  if (block) FLAC__metadata_object_delete(block);
  return nullptr;
}

// The bytes a comment takes in the block: its length field, "NAME=value".
constexpr size_t CommentLengthBytes = 4;
size_t CommentBytes(const std::string& name, const std::string& value) {
  return CommentLengthBytes + name.size() + 1 + value.size();
}

// The noncharacters U+FFFE (EF BF BE) and U+FFFF (EF BF BF), which libFLAC
// takes for no character.
constexpr char NonCharacterLead[] = "\xEF\xBF";
constexpr unsigned char FirstNonCharacterTail = 0xBE;
constexpr size_t NonCharacterBytes = 3;

std::string WithoutNonCharacters(std::string value) {
  for (size_t at = value.find(NonCharacterLead); at != std::string::npos;
       at = value.find(NonCharacterLead, at)) {
    if (at + 2 < value.size() &&
        static_cast<unsigned char>(value[at + 2]) >= FirstNonCharacterTail) {
      value.erase(at, NonCharacterBytes);
    } else {
      ++at;
    }
  }
  return value;
}

bool IsLegalValue(const std::string& value) {
  return FLAC__format_vorbiscomment_entry_value_is_legal(
      reinterpret_cast<const FLAC__byte*>(value.data()), static_cast<uint32_t>(value.size()));
}

}  // namespace

void FitTagsToFlac(TagRecord* record) {
  std::string changed, dropped;
  // The block holds the vendor string and the count, and perhaps the
  // channel mask comment too.
  size_t block = CommentLengthBytes + std::strlen(FLAC__VENDOR_STRING) + CommentLengthBytes +
                 CommentBytes(ChannelMaskField, "0x00000000");
  std::vector<TagComment> kept;
  for (TagComment& c : record->comments) {
    if (!IsLegalValue(c.value)) {
      c.value = WithoutNonCharacters(c.value);
      changed += " " + c.name;
      if (!IsLegalValue(c.value)) continue;
    }
    if (block + CommentBytes(c.name, c.value) > MaxFlacBlockBytes) {
      dropped += " " + c.name;
      continue;
    }
    block += CommentBytes(c.name, c.value);
    kept.push_back(std::move(c));
  }
  record->comments = std::move(kept);
  if (!changed.empty()) {
    record->notes.push_back("characters FLAC cannot hold (U+FFFE, U+FFFF) left out of" + changed);
  }
  if (!dropped.empty()) {
    record->notes.push_back("values past the 16 MiB that FLAC holds of comments left out:" +
                            dropped);
  }
}

uint32_t DefaultFlacChannelMask(int channels) {
  // Mono; FL FR; FL FR FC; FL FR BL BR; FL FR FC BL BR; FL FR FC LFE BL BR.
  constexpr uint32_t defaults[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F};
  return channels >= 1 && channels <= MaxChannels ? defaults[channels] : 0;
}

FlacWriter::FlacWriter(const OutputStream& out, const WriterSettings& settings, ClipReport* clips)
    : format_(settings.stream),
      samples_(settings.samples),
      maker_(MakeSampleMaker(settings.samples, settings.dither, settings.stream, clips)),
      tags_(settings.tags),
      compression_(settings.compression),
      max_block_frames_(settings.max_block_frames) {
  output_.stream = out;
}

FlacWriter::~FlacWriter() {
  if (encoder_) FLAC__stream_encoder_delete(encoder_);
  for (FLAC__StreamMetadata* block : metadata_) FLAC__metadata_object_delete(block);
}

Fault FlacWriter::EncoderFault() const {
  if (output_.os_error != 0) {
    return SystemFault(Failure::FileWrite, output_.stream.path, output_.os_error);
  }
  const FLAC__StreamEncoderState state = FLAC__stream_encoder_get_state(encoder_);
  if (state == FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR) return Fault{Failure::MemoryAlloc};
  return FaultOf(Failure::FileWrite, output_.stream.path, FLAC__StreamEncoderStateString[state]);
}

Fault FlacWriter::Start() {
  const Fault no_memory{Failure::MemoryAlloc};
  encoder_ = FLAC__stream_encoder_new();
  if (!encoder_) return no_memory;
  try {
    for (int c = 0; c < format_.channels; ++c) samples_of_block_[c].resize(max_block_frames_);
  } catch (const std::bad_alloc&) {
    return no_memory;
  }
  FLAC__StreamMetadata* comments = CommentBlock(tags_, format_);
  if (!comments) return no_memory;
  metadata_.push_back(comments);
  for (size_t i = 0; tags_ && i < tags_->pictures.size(); ++i) {
    FLAC__StreamMetadata* picture = PictureBlock(tags_->pictures[i]);
    if (!picture) return no_memory;
    metadata_.push_back(picture);
  }
  // On a pipe the points could not be filled in afterwards: no table.
  if (output_.stream.placed && format_.frames > 0) {
    FLAC__StreamMetadata* seek_table = SeekTable(format_);
    if (!seek_table) return no_memory;
    metadata_.push_back(seek_table);
  }
  FLAC__StreamEncoder* e = encoder_;
  if (!FLAC__stream_encoder_set_channels(e, format_.channels) ||
      !FLAC__stream_encoder_set_bits_per_sample(e, SampleBits(samples_)) ||
      !FLAC__stream_encoder_set_sample_rate(e, format_.frame_rate) ||
      !FLAC__stream_encoder_set_streamable_subset(e, format_.frame_rate <= MaxSubsetRate) ||
      !FLAC__stream_encoder_set_compression_level(e, compression_) ||
      !FLAC__stream_encoder_set_total_samples_estimate(e, format_.frames) ||
      !FLAC__stream_encoder_set_metadata(e, metadata_.data(),
                                         static_cast<uint32_t>(metadata_.size()))) {
    return EncoderFault();
  }
  const FLAC__StreamEncoderInitStatus status = FLAC__stream_encoder_init_stream(
      e, WriteBytes, SeekTo, TellWhere, /*metadata_callback=*/nullptr, &output_);
  if (status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR) return EncoderFault();
  if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    return FaultOf(Failure::FileWrite, output_.stream.path,
                   FLAC__StreamEncoderInitStatusString[status]);
  }
  return Fault{};
}

Fault FlacWriter::Write(const FrameBlock& block) {
  const FLAC__int32* channels[MaxChannels];
  for (int c = 0; c < format_.channels; ++c) {
    MakeIntegerSamples(&maker_, block, c, samples_of_block_[c].data());
    channels[c] = samples_of_block_[c].data();
  }
  if (FLAC__stream_encoder_process(encoder_, channels, block.frames)) return Fault{};
  return EncoderFault();
}

Fault FlacWriter::Finish() {
  // Writes the last frame, then the stream info with its MD5 and the seek
  // table, where the output can be written at offsets.
  if (!FLAC__stream_encoder_finish(encoder_)) return EncoderFault();
  // A run of many tracks keeps its writers to the end: their buffers go now.
  for (std::vector<int32_t>& samples : samples_of_block_) std::vector<int32_t>().swap(samples);
  return CompleteOutput(output_.stream, FlacMark, FlacMarkBytes, output_.end);
}
