// Helpers shared by the tests: DSDIFF containers built in memory, scratch
// directories, and running the dff2wav executable with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channel/channel_files.h"
#include "decimate/filter.h"
#include "driver/messages.h"
#include "wav/wav.h"

using Bytes = std::string;

// The closing message of a complete run, in Shift-JIS.
inline const Bytes FinishedLine = FinishedMessage;

// A channel file's bytes as words.
std::vector<ChannelWord> WordsOf(const Bytes& file);
// The reference filter's frame of the original WAV for the windows starting
// at `left` and `right`: two 24-bit samples, saturated.
Bytes ReferenceFrame(const ChannelWord* left, const ChannelWord* right);

// An IFF chunk: identifier, 64-bit big-endian size, data, a pad byte when the
// data's length is odd. `declared` overrides the size field.
Bytes Chunk(const Bytes& id, const Bytes& data);
Bytes ChunkDeclaring(const Bytes& id, uint64_t declared, const Bytes& data);
Bytes BigEndian(uint64_t value, int bytes);
Bytes LittleEndian(uint64_t value, int bytes);

// "FRM8", the container size, the form type, then the chunks.
Bytes Container(const std::vector<Bytes>& chunks, const Bytes& form = "DSD ");
Bytes FverChunk();
// The channel ids and DSF channel types the test files use for 1 to 6
// channels: C; FL FR; FL FR C; FL FR BL BR; FL FR C BL BR; FL FR C LFE BL BR.
std::vector<Bytes> ChannelIdsOf(int channels);
uint32_t DsfChannelTypeOf(int channels);
// A "PROP" chunk of type "SND " with the given sample rate, channel ids (or
// the ids for `channels` channels) and compression type.
Bytes PropChunk(uint32_t rate = 2822400, uint16_t channels = 2, const Bytes& compression = "DSD ");
Bytes PropChunkWithIds(uint32_t rate, const std::vector<Bytes>& ids,
                       const Bytes& compression = "DSD ");
// A minimal DSD64 stereo file around `sound`.
Bytes DsdiffOf(const Bytes& sound);
// A DSD64 file of `channels` channels around `sound` (their bytes interleaved).
Bytes DsdiffOf(const Bytes& sound, int channels);
// The DSF file of the same samples as DsdiffOf(sound) (interleaved bytes,
// earliest sample in each byte's top bit): blocks of `block_bytes` per
// channel, bits per sample 1 (`lsb_first`) or 8. `samples` per channel
// defaults to all of them; `tail` follows the data (an ID3 tag, say);
// `channel_type` defaults to the type for `channels`.
struct DsfOptions {
  DsfOptions() = default;
  explicit DsfOptions(bool lsb_first, uint32_t block_bytes = 4096)
      : lsb_first(lsb_first), block_bytes(block_bytes) {}
  bool lsb_first = false;
  uint32_t block_bytes = 4096;
  uint32_t rate = 2822400;
  uint32_t channels = 2;
  uint32_t channel_type = 0;
  uint64_t samples = 0;
  Bytes tail;
};
Bytes DsfOf(const Bytes& sound, const DsfOptions& options = {});
Bytes RandomSound(size_t bytes, uint32_t seed);

// A fresh directory below the system's temporary directory, removed with
// everything in it when the object goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct RunResult {
  int exit_status;  // -1 when the process did not exit normally
  Bytes out;        // everything written to standard output
  Bytes err;        // everything written to standard error
};

// An unnamed file holding `bytes`, for the readers; closed when the object goes.
struct InputFile {
  explicit InputFile(const Bytes& bytes);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  int fd;
};

// How the converter's process is started, beyond its arguments.
struct RunOptions {
  uint64_t address_space_bytes = 0;  // RLIMIT_AS when not 0
  uint64_t file_size_bytes = 0;      // RLIMIT_FSIZE when not 0: a larger write kills the run
  bool console_reader_gone = false;  // standard output is a pipe nobody reads: writes fail
};

// Runs dff2wav with `args` in working directory `dir`.
RunResult RunConverter(const std::string& dir, const std::vector<std::string>& args,
                       const RunOptions& options = {});

// Runs a shell command line in `dir` with $DFF2WAV exported as the
// converter; returns its exit status.
int RunShell(const std::string& dir, const std::string& command);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
bool FileExists(const std::string& path);
