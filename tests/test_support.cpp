#include "tests/test_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

std::vector<ChannelWord> WordsOf(const Bytes& file) {
  std::vector<ChannelWord> words(file.size() / sizeof(ChannelWord));
  std::memcpy(words.data(), file.data(), words.size() * sizeof(ChannelWord));
  return words;
}

Bytes ReferenceFrame(const ChannelWord* left, const ChannelWord* right) {
  const int32_t samples[] = {ReferenceSample(left, 1.0), ReferenceSample(right, 1.0)};
  FrameBlock block;
  block.channels[0] = samples;
  block.channels[1] = samples + 1;
  block.frames = 1;
  uint8_t bytes[OriginalFrameBytes];
  ClipReport clips;
  PackPcm24(block, 2, bytes, &clips);
  return Bytes(reinterpret_cast<char*>(bytes), OriginalFrameBytes);
}

Bytes BigEndian(uint64_t value, int bytes) {
  Bytes out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

Bytes ChunkDeclaring(const Bytes& id, uint64_t declared, const Bytes& data) {
  Bytes chunk = id + BigEndian(declared, 8) + data;
  if (data.size() % 2) chunk.push_back('\0');
  return chunk;
}

Bytes Chunk(const Bytes& id, const Bytes& data) { return ChunkDeclaring(id, data.size(), data); }

Bytes Container(const std::vector<Bytes>& chunks, const Bytes& form) {
  Bytes body = form;
  for (const Bytes& c : chunks) body += c;
  return "FRM8" + BigEndian(body.size(), 8) + body;
}

Bytes FverChunk() { return Chunk("FVER", Bytes("\x01\x05\x00\x00", 4)); }

std::vector<Bytes> ChannelIdsOf(int channels) {
  switch (channels) {
    case 1:
      return {"C   "};
    case 2:
      return {"SLFT", "SRGT"};
    case 3:
      return {"MLFT", "MRGT", "C   "};
    case 4:
      return {"MLFT", "MRGT", "LS  ", "RS  "};
    case 5:
      return {"MLFT", "MRGT", "C   ", "LS  ", "RS  "};
    case 6:
      return {"MLFT", "MRGT", "C   ", "LFE ", "LS  ", "RS  "};
  }
  return std::vector<Bytes>(channels, "C000");  // more than the converter takes
}

uint32_t DsfChannelTypeOf(int channels) {
  const uint32_t types[] = {0, 1, 2, 3, 4, 6, 7};
  return channels >= 1 && channels <= 6 ? types[channels] : 2;
}

Bytes PropChunkWithIds(uint32_t rate, const std::vector<Bytes>& ids, const Bytes& compression) {
  Bytes channels = BigEndian(ids.size(), 2);
  for (const Bytes& id : ids) channels += id;
  const Bytes name = "not compressed";
  return Chunk("PROP",
               "SND " + Chunk("FS  ", BigEndian(rate, 4)) + Chunk("CHNL", channels) +
                   Chunk("CMPR", compression + Bytes(1, static_cast<char>(name.size())) + name));
}

Bytes PropChunk(uint32_t rate, uint16_t channels, const Bytes& compression) {
  return PropChunkWithIds(rate, ChannelIdsOf(channels), compression);
}

Bytes DsdiffOf(const Bytes& sound) { return DsdiffOf(sound, 2); }

Bytes DsdiffOf(const Bytes& sound, int channels) {
  return Container({FverChunk(), PropChunk(2822400, channels), Chunk("DSD ", sound)});
}

Bytes LittleEndian(uint64_t value, int bytes) {
  Bytes out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

Bytes DsfOf(const Bytes& sound, const DsfOptions& o) {
  const size_t channels = o.channels;
  const size_t channel_bytes = sound.size() / channels;
  const size_t blocks = (channel_bytes + o.block_bytes - 1) / o.block_bytes;
  Bytes data(blocks * channels * o.block_bytes, '\0');
  for (size_t i = 0; i < channel_bytes; ++i) {
    for (size_t c = 0; c < channels; ++c) {
      uint8_t byte = static_cast<uint8_t>(sound[channels * i + c]);
      if (o.lsb_first) {
        uint8_t reversed = 0;
        for (int b = 0; b < 8; ++b) reversed |= ((byte >> b) & 1) << (7 - b);
        byte = reversed;
      }
      data[(i / o.block_bytes * channels + c) * o.block_bytes + i % o.block_bytes] =
          static_cast<char>(byte);
    }
  }
  const uint64_t samples = o.samples ? o.samples : uint64_t{channel_bytes} * 8;
  const uint32_t type = o.channel_type ? o.channel_type : DsfChannelTypeOf(o.channels);
  const Bytes fmt = "fmt " + LittleEndian(52, 8) + LittleEndian(1, 4) + LittleEndian(0, 4) +
                    LittleEndian(type, 4) + LittleEndian(o.channels, 4) + LittleEndian(o.rate, 4) +
                    LittleEndian(o.lsb_first ? 1 : 8, 4) + LittleEndian(samples, 8) +
                    LittleEndian(o.block_bytes, 4) + LittleEndian(0, 4);
  const Bytes body = fmt + "data" + LittleEndian(12 + data.size(), 8) + data;
  const uint64_t total = 28 + body.size() + o.tail.size();
  const uint64_t tag_offset = o.tail.empty() ? 0 : 28 + body.size();
  return "DSD " + LittleEndian(28, 8) + LittleEndian(total, 8) + LittleEndian(tag_offset, 8) +
         body + o.tail;
}

InputFile::InputFile(const Bytes& bytes) : fd(memfd_create("input", MFD_CLOEXEC)) {
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("cannot make an input file");
  }
}

InputFile::~InputFile() { close(fd); }

Bytes RandomSound(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes sound(bytes, '\0');
  for (char& c : sound) c = static_cast<char>(rng());
  return sound;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dff2wav-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

RunResult RunConverter(const std::string& dir, const std::vector<std::string>& args,
                       const RunOptions& options) {
  // Everything the child needs is prepared before the fork: a test may run
  // several conversions from threads, and the child must not allocate.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(DFF2WAV_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const struct rlimit address_space = {options.address_space_bytes, options.address_space_bytes};
  const struct rlimit file_size = {options.file_size_bytes, options.file_size_bytes};
  int pipe_fds[2], err_fds[2], gone_fds[2];
  if (pipe(pipe_fds) != 0 || pipe(err_fds) != 0 || pipe(gone_fds) != 0) {
    throw std::runtime_error("pipe failed");
  }
  close(gone_fds[0]);  // nobody will ever read this one
  const pid_t child = fork();
  if (child == 0) {
    dup2(options.console_reader_gone ? gone_fds[1] : pipe_fds[1], STDOUT_FILENO);
    dup2(err_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    close(err_fds[0]);
    close(err_fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (options.address_space_bytes && setrlimit(RLIMIT_AS, &address_space) != 0) _exit(127);
    if (options.file_size_bytes && setrlimit(RLIMIT_FSIZE, &file_size) != 0) _exit(127);
    execv(DFF2WAV_PATH, argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  close(err_fds[1]);
  close(gone_fds[1]);
  RunResult result;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, got);
  while ((got = read(err_fds[0], buffer, sizeof buffer)) > 0) result.err.append(buffer, got);
  close(pipe_fds[0]);
  close(err_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

int RunShell(const std::string& dir, const std::string& command) {
  // Braces keep a command that backgrounds a part of itself in `dir`.
  const std::string line =
      "cd '" + dir + "' && export DFF2WAV='" + DFF2WAV_PATH + "' && {\n" + command + "\n}";
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
