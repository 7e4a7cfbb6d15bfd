// Local files of the commands: failures are reported once, downloads only
// replace the real name when complete; the file-name prompt and the length
// of a file read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "commands/cmd_common.h"
#include "commands/cmd_file.h"
#include "support/console_capture.h"
#include "support/files.h"

namespace fs = std::filesystem;

namespace {

struct TempDir : ::testing::Test {
    WorkDir work;
    const fs::path dir = work.path();
};

}  // namespace

TEST_F(TempDir, FailuresAreReportedOnceWithThePath) {
    // A full device fails at write or, for what is still buffered, at close:
    // one report either way.
    for (size_t size : {size_t{1} << 16, size_t{1}}) {
        const auto full = console_run("", [size] {
            cmd_file_t f;
            ASSERT_TRUE(f.open("/dev/full"));
            f.puts(std::string(size, 'x').c_str());
            f.printf("%d", 5);
            EXPECT_FALSE(f.close());
        });
        EXPECT_EQ(full.err, "Error writing file:/dev/full!\n") << size;
    }
    const auto open = console_run("", [&] {
        cmd_file_t f;
        EXPECT_FALSE(f.open((dir / "no" / "x.dat").string(), cmd_file_t::kind_t::text, "Error saving file.\n"));
        EXPECT_FALSE(f.write("a", 1));
    });
    EXPECT_EQ(open.err, "Error saving file.\n");
    EXPECT_EQ(console_run("", [&] { EXPECT_FALSE(cmd_make_dir((dir / "a" / "b").string())); }).err,
              "Error writing file:" + (dir / "a" / "b").string() + "!\n");
    EXPECT_TRUE(cmd_make_dir(dir.string()));  // an existing directory is fine
}

TEST_F(TempDir, DownloadReplacesTheRealNameOnlyWhenCommitted) {
    const fs::path img = dir / "sd.img";
    std::ofstream(img) << "good";
    {
        cmd_file_t f;
        ASSERT_TRUE(f.open(img.string(), cmd_file_t::kind_t::download));
        f.write("partial", 7);
    }  // interrupted: no commit
    EXPECT_EQ(slurp_text(img), "good");
    EXPECT_EQ(slurp_text(dir / "sd.img.part"), "partial");
    cmd_file_t f;
    ASSERT_TRUE(f.open(img.string(), cmd_file_t::kind_t::download));
    f.write("complete", 8);
    EXPECT_TRUE(f.commit());
    EXPECT_EQ(slurp_text(img), "complete");
    EXPECT_FALSE(fs::exists(dir / "sd.img.part"));
}

// The default is cut to the longest name the prompt takes; an empty answer
// keeps it, a typed one replaces it, and the end of the input gives none.
TEST(CmdFileName, DefaultCutAnswerTakenNothingAtTheEnd) {
    const std::string long_name(300, 'd');
    std::optional<std::string> kept, typed, ended = "untouched";
    const auto out = console_out("\nb.dat\n", [&] {
        kept = cmd_ask_file_name("Name", long_name.c_str(), 254);
        typed = cmd_ask_file_name("Name", "a.dat");
    });
    EXPECT_EQ(out, "Name[" + long_name.substr(0, 254) + "]:Name[a.dat]:");
    EXPECT_EQ(kept, long_name.substr(0, 254));
    EXPECT_EQ(typed, "b.dat");
    console_out("", [&] { ended = cmd_ask_file_name("Name", "a.dat"); });
    EXPECT_EQ(ended, std::nullopt);
}

// The length of a file read, from wherever it was read up to, and the read
// position back at its start; a pipe has none.
TEST_F(TempDir, LengthOfAFileReadAndNoneForAPipe) {
    const fs::path p = dir / "in.bin";
    std::ofstream(p, std::ios::binary) << "12345";
    file_ptr f(std::fopen(p.string().c_str(), "rb"));
    ASSERT_TRUE(f);
    ASSERT_EQ(std::fgetc(f.get()), '1');
    EXPECT_EQ(cmd_file_length(f.get()), 5);
    EXPECT_EQ(std::fgetc(f.get()), '1');
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    file_ptr in(::fdopen(fds[0], "rb"));
    ::close(fds[1]);
    EXPECT_EQ(cmd_file_length(in.get()), -1);
}
