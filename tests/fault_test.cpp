// Runs that meet bad input or a failing system: each ends with one line and
// exit status 1, leaves the input as it was, and never mixes up files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "dsdiff/dsdiff.h"
#include "tests/test_support.h"

namespace {

// Lines of standard output.
std::vector<Bytes> LinesOf(const Bytes& out) {
  std::vector<Bytes> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != Bytes::npos; start = end + 1) {
    lines.push_back(out.substr(start, end - start));
  }
  return lines;
}

TEST(FailedRun, ChannelFileThatCannotBeCreated) {
  TempDir dir;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(256, 5)));
  ASSERT_EQ(mkdir((dir / RightChannelFile).c_str(), 0755), 0);
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out,
            "DsdLR64Size = 00000020\nDivNum = 00000001\nLastDivSize = 00000020\nFile Open Error\n");
  EXPECT_EQ(ReadFile(dir / "out.wav"), "");
}

TEST(FailedRun, InputThatIsNotDsdLeavesAnEmptyOutput) {
  TempDir dir;
  WriteFile(dir / "in.dff", "RIFF0000WAVE");
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "This is not a DSDIFF file.\n");
  EXPECT_TRUE(FileExists(dir / "out.wav"));
  EXPECT_EQ(ReadFile(dir / "out.wav"), "");
  EXPECT_FALSE(FileExists(dir / LeftChannelFile));
}

TEST(BadInput, WalkThatRunsOutEndsWithOneLine) {
  TempDir dir;
  const Bytes inputs[] = {
      Container({FverChunk(), Chunk("DST ", Bytes(4000, 'x'))}),
      Container({FverChunk(), PropChunk()}).substr(0, 60),
      Container({ChunkDeclaring("COMT", 1u << 30, "abc")}),
  };
  for (const Bytes& input : inputs) {
    WriteFile(dir / "in.dff", input);
    const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "No DSD sound data found.\n");
    EXPECT_EQ(ReadFile(dir / "in.dff"), input);
    EXPECT_FALSE(FileExists(dir / LeftChannelFile));
  }
}

TEST(BadInput, SoundDataOver4GiBWarnsRightAfterTheSizeReport) {
  TempDir dir;
  // A 4.5 GiB chunk head and no sound: a directory in place of "dsdl.tmp"
  // ends the run right after the warning, before any sound is converted.
  WriteFile(dir / "in.dff",
            Container({FverChunk(), ChunkDeclaring("DSD ", 0x120000000, Bytes(64, 'x'))}));
  ASSERT_EQ(mkdir((dir / LeftChannelFile).c_str(), 0755), 0);
  const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
  EXPECT_EQ(run.exit_status, 1);
  const std::vector<Bytes> lines = LinesOf(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[0], "DsdLR64Size = 1FFFFFFF");
  EXPECT_EQ(lines[1], "DivNum = 00000040");
  EXPECT_EQ(lines[2], "LastDivSize = 007FFFFF");
  // 0x120000000 - 0xFFFFFFF8 = 536870920 bytes are left out.
  EXPECT_EQ(lines[3].rfind("Warning: ", 0), 0u) << lines[3];
  EXPECT_NE(lines[3].find("536870920 bytes"), Bytes::npos) << lines[3];
  EXPECT_EQ(lines[4], "File Open Error");
}

TEST(BadInput, MissingSoundBecomesSilenceAndTheRunFinishes) {
  TempDir dir;
  // The chunk declares 125 groups; the file holds 70 and a half.
  const Bytes held = RandomSound(70 * 8 + 4, 11);
  const Bytes declared_head = Container({FverChunk(), ChunkDeclaring("DSD ", 1000, "")});
  WriteFile(dir / "short.dff", declared_head + held);
  const RunResult run = RunConverter(dir.path, {"short.dff", "short.wav"});
  EXPECT_EQ(run.exit_status, 1);
  const std::vector<Bytes> lines = LinesOf(run.out);
  ASSERT_EQ(lines.size(), 10u) << run.out;
  EXPECT_EQ(lines[3].rfind("Warning: ", 0), 0u) << lines[3];
  EXPECT_NE(lines[3].find(" 55 groups"), Bytes::npos) << lines[3];
  EXPECT_EQ(lines[4], "WavSize = 0000028E");
  EXPECT_EQ(run.out.substr(run.out.size() - FinishedLine.size()), FinishedLine);

  // Silence words are 0xAAAAAAAA; as input bytes that is 0x55 on both channels.
  const Bytes padded = held.substr(0, 70 * 8) + Bytes(55 * 8, '\x55');
  WriteFile(dir / "full.dff", DsdiffOf(padded));
  const RunResult full = RunConverter(dir.path, {"full.dff", "full.wav"});
  EXPECT_EQ(full.exit_status, 0);
  EXPECT_EQ(ReadFile(dir / "short.wav"), ReadFile(dir / "full.wav"));
  EXPECT_EQ(ReadFile(dir / "short.wav").size(), 44u + 750);
}

TEST(Output, ToAPipeIsWrittenInOrder) {
  TempDir dir;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(200000 * 8, 33)));  // several pieces
  ASSERT_EQ(RunConverter(dir.path, {"in.dff", "file.wav"}).exit_status, 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0644), 0);
  Bytes piped;
  std::thread reader([&] { piped = ReadFile(dir / "pipe"); });
  const RunResult run = RunConverter(dir.path, {"in.dff", "pipe"});
  reader.join();
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(piped == ReadFile(dir / "file.wav"));
}

TEST(UnsupportedSound, IsRefusedBeforeTheSizeReport) {
  TempDir dir;
  const struct {
    Bytes prop;
    Bytes line;
  } cases[] = {
      {PropChunk(44100),
       "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; this "
       "file is 44100 Hz.\n"},
      {PropChunk(45158400),
       "Only DSD64 to DSD512 (2822400 or 3072000 Hz times 1, 2, 4 or 8) are supported; this "
       "file is 45158400 Hz.\n"},
      {PropChunk(2822400, 2, "ABCD"),
       "Only DSD and DST sound data are supported; this file's compression is \"ABCD\".\n"},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "in.dff",
              Container({FverChunk(), c.prop, Chunk("DSD ", RandomSound(512, 31))}));
    const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, c.line);
    EXPECT_EQ(ReadFile(dir / "out.wav"), "");
    EXPECT_FALSE(FileExists(dir / LeftChannelFile));
  }
}

TEST(UnsupportedSound, UntrustedPropertyChunksConvertAsWithout) {
  TempDir dir;
  const Bytes sound = Chunk("DSD ", RandomSound(4000, 32));
  WriteFile(dir / "plain.dff", Container({FverChunk(), sound}));
  ASSERT_EQ(RunConverter(dir.path, {"plain.dff", "plain.wav"}).exit_status, 0);
  const Bytes plain = ReadFile(dir / "plain.wav");
  const Bytes fs128 = Chunk("FS  ", BigEndian(5644800, 4));
  const Bytes props[] = {
      PropChunk(),
      Chunk("PROP", "XYZ " + fs128),
      Chunk("PROP", "SND " + Bytes(37, '\x5A')),
      Chunk("PROP", "SND " + fs128 + ChunkDeclaring("CHNL", 40, BigEndian(6, 2))),
  };
  for (const Bytes& prop : props) {
    WriteFile(dir / "in.dff", Container({FverChunk(), prop, sound}));
    const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
    EXPECT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(ReadFile(dir / "out.wav") == plain, true);
  }
}

TEST(SameFile, IsRefusedBeforeAnythingIsTruncated) {
  TempDir dir;
  const Bytes input = DsdiffOf(RandomSound(256, 12));
  WriteFile(dir / "a.dff", input);
  ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
  ASSERT_EQ(link((dir / "a.dff").c_str(), (dir / "hard.dff").c_str()), 0);
  ASSERT_EQ(symlink("a.dff", (dir / "soft.dff").c_str()), 0);
  ASSERT_EQ(symlink(LeftChannelFile, (dir / "dangling.wav").c_str()), 0);
  const std::vector<std::vector<std::string>> runs = {
      {"a.dff", "a.dff"},         {"a.dff", "./x/../a.dff"}, {"a.dff", "hard.dff"},
      {"a.dff", "soft.dff"},      {"a.dff", dir / "a.dff"},  {"a.dff", LeftChannelFile},
      {"a.dff", "x/../dsdr.tmp"}, {"a.dff", "dangling.wav"},
  };
  for (const auto& args : runs) {
    const RunResult run = RunConverter(dir.path, args);
    EXPECT_EQ(run.exit_status, 1) << args[1];
    EXPECT_EQ(run.out, "Input and output must be different files.\n") << args[1];
    EXPECT_EQ(ReadFile(dir / "a.dff"), input);
    EXPECT_FALSE(FileExists(dir / LeftChannelFile)) << args[1];
    EXPECT_FALSE(FileExists(dir / RightChannelFile)) << args[1];
  }
  // An input that is a channel file would be overwritten by the split.
  WriteFile(dir / LeftChannelFile, input);
  const RunResult run = RunConverter(dir.path, {LeftChannelFile, "out.wav"});
  EXPECT_EQ(run.out, "Input and output must be different files.\n");
  EXPECT_EQ(ReadFile(dir / LeftChannelFile), input);
  EXPECT_FALSE(FileExists(dir / "out.wav"));
}

// An output that cannot be opened at all, and is no other file either.
TEST(SameFile, AnOutputInAMissingDirectoryIsADifferentFile) {
  TempDir dir;
  WriteFile(dir / "a.dff", DsdiffOf(RandomSound(256, 13)));
  const RunResult run = RunConverter(dir.path, {"a.dff", "missing/a.dff"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "File Open Error\n");
}

TEST(WriteFailure, FullDeviceIsReportedNotFinished) {
  TempDir dir;
  const Bytes input = DsdiffOf(RandomSound(4096, 14));
  WriteFile(dir / "in.dff", input);
  const RunResult run = RunConverter(dir.path, {"in.dff", "/dev/full"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(LinesOf(run.out).back(), "File Write Error");
  EXPECT_EQ(run.out.find(FinishedLine), Bytes::npos);
  EXPECT_EQ(run.err, "dff2wav: /dev/full: No space left on device\n");
  EXPECT_EQ(ReadFile(dir / "in.dff"), input);
}

TEST(AllocationFailure, IsReportedBeforeTheHeaderIsWritten) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than any limit here allows";
#endif
  TempDir dir;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(4096, 15)));
  // Step the address-space limit up until the run succeeds; below that, every
  // run that starts must end with the allocation failure and no frames.
  bool failed = false, succeeded = false;
  for (uint64_t mib = 4; mib <= 512 && !succeeded; mib += 2) {
    const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"}, {mib << 20});
    if (run.out.rfind("DsdLR64Size", 0) != 0) continue;  // too little to start at all
    if (run.exit_status == 0) {
      succeeded = true;
      continue;
    }
    const std::vector<Bytes> lines = LinesOf(run.out);
    EXPECT_EQ(run.exit_status, 1) << mib << " MiB";
    ASSERT_EQ(lines.back(), "Memory Alloc Error") << mib << " MiB: " << run.out;
    // After the split's three size lines, or after all six.
    EXPECT_TRUE(lines.size() == 4 || lines.size() == 7) << mib << " MiB: " << run.out;
    EXPECT_EQ(ReadFile(dir / "out.wav").size(), 0u) << mib << " MiB";
    failed = true;
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(succeeded);
}

// Holds an exclusive lock on `path` for as long as the object lives.
struct HeldLock {
  explicit HeldLock(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_CREAT, 0644)) {
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldLock() { close(fd); }
  int fd;
};

TEST(ChannelLocks, ABusyChannelFileIsLeftAlone) {
  TempDir dir;
  WriteFile(dir / "in.dff", DsdiffOf(RandomSound(256, 16)));
  for (const char* locked : {LeftChannelFile, RightChannelFile}) {
    WriteFile(dir / LeftChannelFile, "left of another run");
    WriteFile(dir / RightChannelFile, "right of another run");
    WriteFile(dir / "out.wav", "the output of another run");
    HeldLock lock(dir / locked);
    const RunResult run = RunConverter(dir.path, {"in.dff", "out.wav"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(LinesOf(run.out).back(), "Channel files are in use by another conversion.");
    EXPECT_EQ(ReadFile(dir / "out.wav"), "the output of another run");
    EXPECT_EQ(ReadFile(dir / LeftChannelFile), "left of another run") << locked;
    EXPECT_EQ(ReadFile(dir / RightChannelFile), "right of another run") << locked;
  }
}

TEST(ChannelLocks, OldChannelFilesAreReplacedExactly) {
  TempDir fresh, used;
  const Bytes input = DsdiffOf(RandomSound(4000, 19));
  WriteFile(fresh / "in.dff", input);
  WriteFile(used / "in.dff", input);
  WriteFile(used / LeftChannelFile, RandomSound(100000, 20));  // longer than the new ones
  WriteFile(used / RightChannelFile, RandomSound(1000, 21));   // shorter
  ASSERT_EQ(RunConverter(fresh.path, {"in.dff", "out.wav"}).exit_status, 0);
  ASSERT_EQ(RunConverter(used.path, {"in.dff", "out.wav"}).exit_status, 0);
  EXPECT_EQ(ReadFile(used / LeftChannelFile), ReadFile(fresh / LeftChannelFile));
  EXPECT_EQ(ReadFile(used / RightChannelFile), ReadFile(fresh / RightChannelFile));
  EXPECT_EQ(ReadFile(used / LeftChannelFile).size(), 2000u);
  EXPECT_EQ(ReadFile(used / "out.wav"), ReadFile(fresh / "out.wav"));
}

TEST(ChannelLocks, ConcurrentRunsInOneDirectoryNeverMix) {
  TempDir solo_a, solo_b, shared;
  const Bytes input_a = DsdiffOf(RandomSound(1 << 21, 17));
  const Bytes input_b = DsdiffOf(RandomSound(1 << 21, 18));
  for (const TempDir* dir : {&solo_a, &solo_b, &shared}) {
    WriteFile(*dir / "a.dff", input_a);
    WriteFile(*dir / "b.dff", input_b);
  }
  ASSERT_EQ(RunConverter(solo_a.path, {"a.dff", "a.wav"}).exit_status, 0);
  ASSERT_EQ(RunConverter(solo_b.path, {"b.dff", "b.wav"}).exit_status, 0);
  const Bytes want_a = ReadFile(solo_a / "a.wav"), want_b = ReadFile(solo_b / "b.wav");
  for (int round = 0; round < 3; ++round) {
    RunResult run_a, run_b;
    std::thread a([&] { run_a = RunConverter(shared.path, {"a.dff", "a.wav"}); });
    std::thread b([&] { run_b = RunConverter(shared.path, {"b.dff", "b.wav"}); });
    a.join();
    b.join();
    for (auto [run, wav, want] :
         {std::tuple{&run_a, "a.wav", &want_a}, std::tuple{&run_b, "b.wav", &want_b}}) {
      if (run->exit_status == 0) {
        EXPECT_EQ(ReadFile(shared / wav) == *want, true) << wav << " is mixed, round " << round;
      } else {
        EXPECT_EQ(LinesOf(run->out).back(), "Channel files are in use by another conversion.");
      }
    }
    EXPECT_TRUE(run_a.exit_status == 0 || run_b.exit_status == 0);
  }
}

}  // namespace
