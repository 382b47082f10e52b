// What a run promises about the user's files and the console: a DSD file is
// never the output, a refused run changes nothing, channel files are never
// reached through a planted name, console text never lands in the audio, and
// every failure names its file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "tests/test_support.h"

namespace {

const Bytes OldWav = "the WAV of an earlier run";

// The console lines of standard error: without the diagnostics ("dff2wav: "
// lines, such as the clip report) that accompany them there.
Bytes ConsoleLines(const Bytes& err) {
  Bytes lines;
  for (size_t start = 0, end; start < err.size(); start = end + 1) {
    end = std::min(err.find('\n', start), err.size());
    if (err.compare(start, 9, "dff2wav: ") != 0) lines += err.substr(start, end - start + 1);
  }
  return lines;
}

// A folder with a DSD64 input "in.dff" and the WAV a plain run makes of it.
struct Folder {
  TempDir dir;
  Bytes input = DsdiffOf(RandomSound(300 * 8, 51));
  Bytes wav;
  Folder() {
    WriteFile(dir / "in.dff", input);
    EXPECT_EQ(RunConverter(dir.path, {"in.dff", "expected.wav"}).exit_status, 0);
    wav = ReadFile(dir / "expected.wav");
    unlink((dir / LeftChannelFile).c_str());
    unlink((dir / RightChannelFile).c_str());
  }
};

TEST(Safety, ADsdFileIsNeverTheOutput) {
  Folder f;
  WriteFile(f.dir / "b.dff", DsdiffOf(RandomSound(256, 52)));
  WriteFile(f.dir / "c.dsf", DsfOf(RandomSound(256, 53)));
  ASSERT_EQ(symlink("b.dff", (f.dir / "link.wav").c_str()), 0);
  const std::vector<std::vector<std::string>> runs = {
      {"expected.wav", "in.dff"},    // arguments swapped
      {"in.dff", "b.dff", "c.dsf"},  // dff2wav *.dff
      {"in.dff", "c.dsf"},          {"in.dff", "./b.dff"}, {"in.dff", "link.wav"},
  };
  for (const auto& args : runs) {
    const Bytes target = ReadFile(f.dir / args[1]);
    const RunResult run = RunConverter(f.dir.path, args);
    EXPECT_EQ(run.exit_status, 1) << args[1];
    EXPECT_EQ(run.out, "The output file is a DSD file; refusing to overwrite it.\n") << args[1];
    EXPECT_EQ(run.err, "dff2wav: " + args[1] + ": is a DSD file; refusing to overwrite it\n");
    EXPECT_EQ(ReadFile(f.dir / args[1]), target) << args[1];
    EXPECT_FALSE(FileExists(f.dir / LeftChannelFile)) << args[1];
  }
  // Standard output that is a DSD file: appended to, or opened in place.
  const Bytes dsd = ReadFile(f.dir / "b.dff");
  for (const char* command : {"\"$DFF2WAV\" in.dff - >> b.dff", "\"$DFF2WAV\" in.dff - 1<> b.dff",
                              "\"$DFF2WAV\" in.dff /dev/stdout 1<> b.dff"}) {
    EXPECT_EQ(RunShell(f.dir.path, Bytes(command) + " 2> err"), 1) << command;
    EXPECT_EQ(ReadFile(f.dir / "b.dff"), dsd) << command;
    EXPECT_EQ(ReadFile(f.dir / "err").substr(0, 24), "The output file is a DSD") << command;
  }
}

TEST(Safety, AnOutputThatAnotherRunWritesIsLeftAlone) {
  Folder f;
  WriteFile(f.dir / "out.wav", OldWav);
  WriteFile(f.dir / "text.dff", "not a DSD file at all");
  const int fd = open((f.dir / "out.wav").c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const struct {
    const char* input;
    Bytes last_line;
  } cases[] = {
      {"in.dff", "The output file is in use by another conversion.\n"},
      {"text.dff", "This is not a DSDIFF file.\n"},  // which would empty the output
  };
  for (const auto& c : cases) {
    const RunResult run = RunConverter(f.dir.path, {c.input, "out.wav"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out.substr(run.out.size() - c.last_line.size()), c.last_line) << c.input;
    EXPECT_EQ(ReadFile(f.dir / "out.wav"), OldWav) << c.input;
  }
  close(fd);
  // A run's lock ends with the run, even when its output was a descriptor
  // that outlives it.
  EXPECT_EQ(RunShell(f.dir.path,
                     "exec 3<> kept.wav; \"$DFF2WAV\" in.dff - >&3 2> err && "
                     "\"$DFF2WAV\" in.dff kept.wav > err"),
            0);
}

// Names planted where the channel files go: each is refused, and nothing
// it points at, nor the output, changes; no run waits on a FIFO.
TEST(Safety, PlantedChannelFileNamesAreRefused) {
  Folder f;
  WriteFile(f.dir / "precious", "the user's own file");
  ASSERT_EQ(mkdir((f.dir / "somedir").c_str(), 0755), 0);
  const struct {
    const char* what;
    std::function<int(const std::string&)> plant;
    const char* reason;
  } cases[] = {
      {"symlink to a file",
       [&](auto p) { return symlink((f.dir / "precious").c_str(), p.c_str()); },
       "is a symbolic link; refusing to write through it"},
      {"dangling symlink", [&](auto p) { return symlink((f.dir / "created").c_str(), p.c_str()); },
       "is a symbolic link; refusing to write through it"},
      {"symlink to a directory", [&](auto p) { return symlink("somedir", p.c_str()); },
       "is a symbolic link; refusing to write through it"},
      {"hard link", [&](auto p) { return link((f.dir / "precious").c_str(), p.c_str()); },
       "has other hard links; refusing to write through them"},
      {"FIFO", [](auto p) { return mkfifo(p.c_str(), 0644); }, "is a FIFO; refusing to use it"},
      {"directory", [](auto p) { return mkdir(p.c_str(), 0755); },
       "is a directory; refusing to use it"},
  };
  for (const char* name : {LeftChannelFile, RightChannelFile}) {
    for (const auto& c : cases) {
      WriteFile(f.dir / "out.wav", OldWav);
      ASSERT_EQ(c.plant(f.dir / name), 0) << c.what;
      const RunResult run = RunConverter(f.dir.path, {"in.dff", "out.wav"});
      EXPECT_EQ(run.exit_status, 1) << name << ", " << c.what;
      EXPECT_EQ(run.out.substr(run.out.size() - 16), "File Open Error\n") << c.what;
      EXPECT_EQ(run.err, "dff2wav: " + Bytes(name) + ": " + c.reason + "\n");
      EXPECT_EQ(ReadFile(f.dir / "precious"), "the user's own file") << c.what;
      EXPECT_FALSE(FileExists(f.dir / "created")) << c.what;
      if (name == RightChannelFile) {
        EXPECT_FALSE(FileExists(f.dir / LeftChannelFile)) << c.what;  // nothing new is left
      }
      EXPECT_EQ(ReadFile(f.dir / "out.wav"), OldWav) << name << ", " << c.what;
      std::filesystem::remove_all(f.dir / LeftChannelFile);
      std::filesystem::remove_all(f.dir / RightChannelFile);
    }
  }
}

TEST(Safety, ConsoleTextNeverLandsInTheAudio) {
  Folder f;
  const Bytes console = RunConverter(f.dir.path, {"in.dff", "file.wav"}).out;
  // Each command leaves the audio in x.wav and the console in err.
  const char* commands[] = {
      "\"$DFF2WAV\" in.dff - > x.wav 2> err",
      "\"$DFF2WAV\" in.dff /dev/stdout > x.wav 2> err",
      "\"$DFF2WAV\" in.dff x.wav > x.wav 2> err",
      "\"$DFF2WAV\" in.dff - 2> err | cat > x.wav",
      "\"$DFF2WAV\" in.dff - > x.wav 2>&1 && echo > err",  // the console has nowhere to go
      "\"$DFF2WAV\" in.dff x.wav <&- >&- 2>&- && echo > err",
      "\"$DFF2WAV\" in.dff x.wav > x.wav 2>&1 && echo > err",
      "\"$DFF2WAV\" in.dff /dev/stderr 2> x.wav > /dev/null && echo > err",
  };
  for (const char* command : commands) {
    EXPECT_EQ(RunShell(f.dir.path, command), 0) << command;
    EXPECT_TRUE(ReadFile(f.dir / "x.wav") == f.wav) << command;
    if (Bytes(command).find("echo") == Bytes::npos) {
      EXPECT_EQ(ConsoleLines(ReadFile(f.dir / "err")), console) << command;
    }
    unlink((f.dir / "x.wav").c_str());
  }
  // Standard output shared with what comes next: that follows the WAV.
  EXPECT_EQ(RunShell(f.dir.path, "{ \"$DFF2WAV\" in.dff - 2> err; printf T; } > x.wav"), 0);
  EXPECT_TRUE(ReadFile(f.dir / "x.wav") == f.wav + "T");
}

TEST(Safety, AConsoleReaderThatGoesAwayDoesNotCutTheRunShort) {
  Folder f;
  RunOptions options;
  options.console_reader_gone = true;
  const RunResult run = RunConverter(f.dir.path, {"in.dff", "out.wav"}, options);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(ReadFile(f.dir / "out.wav") == f.wav);
}

TEST(Safety, ARunStoppedHalfWayLeavesNoWavThatLooksComplete) {
  Folder f;
  WriteFile(f.dir / "out.wav", f.wav);  // a complete WAV of an earlier run
  RunOptions options;
  options.file_size_bytes = f.wav.size() / 2;  // the run is killed half-way
  const RunResult run = RunConverter(f.dir.path, {"in.dff", "out.wav"}, options);
  EXPECT_EQ(run.exit_status, 1);  // the limit fails the write: it does not kill the run
  EXPECT_EQ(ReadFile(f.dir / "out.wav").substr(0, 4), Bytes(4, '\0'));
}

// Holes once found in the handling of files and descriptors. Each row runs
// the converter through the shell in the folder, after what it sets up, and
// checks what the run left; a row whose tool or privilege this machine lacks
// is skipped with a message.
TEST(Safety, FileHandlingHolesStayClosed) {
  Folder f;
  WriteFile(f.dir / "big.dff", DsdiffOf(RandomSound(8 * 20000, 54)));
  auto file = [&](const char* name) { return ReadFile(f.dir / name); };
  auto last_line = [&](const char* name) {
    const Bytes text = file(name);
    return text.substr(text.rfind('\n', text.size() - 2) + 1);
  };
  const struct {
    const char* what;
    const char* needs;  // a shell test of what the row needs
    const char* command;
    int status;
    std::function<void()> check;
  } rows[] = {
      {"a file-size limit", "true",
       "(ulimit -f 20; exec \"$DFF2WAV\" big.dff out.wav) > out.txt 2> err", 1,
       [&] {
         EXPECT_EQ(last_line("out.txt"), "File Write Error\n");
         const Bytes err = file("err");  // a channel file may reach the limit first
         EXPECT_EQ(err.substr(err.size() - 17), ": File too large\n") << err;
         EXPECT_EQ(file("out.wav").substr(0, 4), Bytes(4, '\0'));  // not a complete WAV
       }},
      {"a loop device over the input, and a second node of that device",
       "[ \"$(id -u)\" = 0 ] && losetup -f > /dev/null 2>&1",
       "L=$(losetup -f --show in.dff 2> /dev/null) || exit 99; "
       "mknod alias b $(stat -c '0x%t 0x%T' \"$L\"); "
       "\"$DFF2WAV\" in.dff \"$L\" > out.txt 2> err; a=$?; "
       "\"$DFF2WAV\" \"$L\" alias > out2.txt 2>> err; b=$?; "
       "losetup -d \"$L\"; rm alias; exit $((a + b))",
       2,
       [&] {
         EXPECT_EQ(file("out.txt"), "Input and output must be different files.\n");
         EXPECT_EQ(file("out2.txt"), "Input and output must be different files.\n");
         EXPECT_EQ(file("in.dff"), f.input);
       }},
      {"the output's name swapped for the console's file between check and open",
       "command -v strace > /dev/null",
       // strace holds the run for a second after its first look at out.wav.
       // (The leak checker of a sanitized build cannot run under ptrace.)
       "(sleep 0.4; ln -f log out.wav) & ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null "
       "-P out.wav "
       "-e inject=all:delay_exit=1s:when=1 \"$DFF2WAV\" in.dff out.wav > log 2> err; s=$?; "
       "wait; exit $s",
       0,
       [&] {
         EXPECT_TRUE(file("log") == f.wav);  // the audio alone
         EXPECT_EQ(file("err").substr(0, 11), "DsdLR64Size");
       }},
      // Descriptors 0, 1 and 2 and a limit of four: the run may open one more.
      {"too few descriptors to keep the console apart", "true",
       "exec > x.wav 2>&1; /usr/bin/python3 -c 'import os, resource; os.closerange(3, 1 << 16); "
       "resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4)); "
       "os.execv(os.environ[\"DFF2WAV\"], [\"dff2wav\", \"in.dff\", \"-\"])'",
       1, [&] { EXPECT_EQ(file("x.wav"), ""); }},
      {"a channel file of another user", "[ \"$(id -u)\" = 0 ]",
       "touch dsdl.tmp && chown 65534 dsdl.tmp && \"$DFF2WAV\" in.dff out.wav > out.txt 2> err", 1,
       [&] {
         EXPECT_EQ(last_line("out.txt"), "File Open Error\n");
         EXPECT_EQ(file("err").rfind("dff2wav: dsdl.tmp: is owned by user 65534", 0), 0u)
             << file("err");
       }},
      {"a socket in a channel file's place", "true",
       "/usr/bin/python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"dsdr.tmp\")' && "
       "\"$DFF2WAV\" in.dff out.wav > out.txt 2> err",
       1,
       [&] {
         EXPECT_EQ(last_line("out.txt"), "File Open Error\n");
         EXPECT_EQ(file("err"), "dff2wav: dsdr.tmp: is a socket; refusing to use it\n");
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    for (const char* name : {LeftChannelFile, RightChannelFile, "out.wav", "log", "x.wav"}) {
      unlink((f.dir / name).c_str());
    }
    if (RunShell(f.dir.path, row.needs) != 0) {
      std::printf("skipped: %s: this machine lacks what it needs (%s)\n", row.what, row.needs);
      continue;
    }
    EXPECT_EQ(RunShell(f.dir.path, row.command), row.status);
    row.check();
  }
}

TEST(Safety, EveryFailureNamesItsFileAndReason) {
  Folder f;
  WriteFile(f.dir / "out.wav", OldWav);
  ASSERT_EQ(mkfifo((f.dir / "fifo").c_str(), 0644), 0);
  WriteFile(f.dir / "text.dff", "not a DSD file at all");
  const struct {
    std::vector<std::string> args;
    Bytes out, err;
  } cases[] = {
      {{"no/such.dff", "out.wav"},
       "File Open Error\n",
       "dff2wav: no/such.dff: No such file or directory\n"},
      {{"in.dff", "no/dir/x.wav"},
       "File Open Error\n",
       "dff2wav: no/dir/x.wav: No such file or directory\n"},
      {{".", "out.wav"}, "File Open Error\n", "dff2wav: .: Is a directory\n"},
      {{"fifo", "out.wav"},
       "File Open Error\n",
       "dff2wav: fifo: not a regular file or block device; the input must be readable at any "
       "offset\n"},
      {{"text.dff", "x.wav"},
       "This is not a DSDIFF file.\n",
       "dff2wav: text.dff: neither a DSDIFF file nor a well-formed DSF file\n"},
      {{"in.dff"}, WrongArgumentsMessage, "usage: dff2wav IN OUT (dff2wav --help tells more)\n"},
  };
  for (const auto& c : cases) {
    const RunResult run = RunConverter(f.dir.path, c.args);
    EXPECT_EQ(run.exit_status, 1) << c.args[0];
    EXPECT_EQ(run.out, c.out) << c.args[0];
    EXPECT_EQ(run.err, c.err) << c.args[0];
    EXPECT_EQ(ReadFile(f.dir / "out.wav"), OldWav) << c.args[0];
  }
  EXPECT_EQ(ReadFile(f.dir / "x.wav"), "");  // an input that fails leaves an empty output
  // A failure before the output is opened still keeps its line out of the audio.
  EXPECT_EQ(RunShell(f.dir.path, "\"$DFF2WAV\" no.dff - > x.wav 2> err"), 1);
  EXPECT_EQ(ReadFile(f.dir / "x.wav"), "");
  EXPECT_EQ(ReadFile(f.dir / "err"),
            "File Open Error\ndff2wav: no.dff: No such file or directory\n");
}

}  // namespace
