// The built program, run as a user runs it: exact output and exit status.
#include "TestSupport.h"
#include "platform/Platform.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

namespace {

const char kUsage[] =
    "Usage: zas [options] [source] [destination]\n"
    "\n"
    "Options:\n"
    "  -a\tadd files\n"
    "  -m\tmove files (deletes from source)\n"
    "  -p\texclude source path (also requires -a or -m)\n"
    "  -c\tcompress all files (also requires -a or -m)\n"
    "  -v\tview archive contents\n"
    "  -x\textract files\n"
    "\n"
    "Examples:\n"
    "\n"
    "# Extract files from data.zas to current directory\n"
    "  zas -x data.zas\n"
    "# Add all files from data\\ to archive, keeping the data\\ in names\n"
    "  zas -a data data.zas\n"
    "# Add all files under e:\\temp to archive, excluding the e:\\temp from names\n"
    "  zas -a -p e:\\temp data.zas\n";

TEST(Program, WithoutWordsPrintsBannerAndUsageAndExitsOne) {
    TempDir dir;
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{}, {"-?"}, {"-a", "-?", "data", "out.zas"}, {"-v"}, {"-q", "a", "b"}}) {
        const ProgramRun run = runZas(words, dir.path());
        std::string rest;
        ASSERT_TRUE(startsWithBanner(run.output, &rest)) << run.output;
        EXPECT_EQ(rest, kUsage);
        EXPECT_EQ(run.status, 1);
    }
}

TEST(Program, NamesItselfByTheInvokedWordAfterItsLastBackslash) {
    TempDir dir;
    const ProgramRun run = runZas({}, dir.path(), "c:\\tools\\pack.exe");
    EXPECT_NE(run.output.find("Usage: pack.exe [options] [source] [destination]\n"), std::string::npos);
    EXPECT_NE(run.output.find("  pack.exe -a -p e:\\temp data.zas\n"), std::string::npos);
}

TEST(Program, RefusesAnAbsoluteSourceWithoutExcludePath) {
    TempDir dir;
    const ProgramRun run = runZas({"-a", "e:\\temp", "out.zas"}, dir.path());
    std::string rest;
    ASSERT_TRUE(startsWithBanner(run.output, &rest));
    EXPECT_EQ(rest, "\nError: Source path must be relative when \"-p\" option is not used.\n");
    EXPECT_EQ(run.status, 0); // an error, as in every other run that printed one
}

// A word that begins with '/' is an option. Where absolute paths begin with
// one, a run that failed says how to give such a path instead.
TEST(Program, AfterAFailurePointsToDashDashForASlashWordReadAsAnOption) {
    TempDir dir;
    const auto note = [](const std::string& word, const std::string& corrected) {
        return absolutePathsBeginWithSlash() ? "Note: \"" + word +
                                                   "\" was read as an option; an absolute path needs \"--\" "
                                                   "before it: " +
                                                   corrected + "\n"
                                             : std::string();
    };
    const struct {
        std::vector<std::string> words;
        std::string output;
        int status;
    } cases[] = {
        {{"-v", "/tmp/x.zas"},
         "Reading archive ...\nError: Could not open file \"\"\n" + note("/tmp/x.zas", "zas -v -- /tmp/x.zas"), 0},
        {{"-a", "-p", "/abs/data", "out.zas"}, kUsage + note("/abs/data", "zas -a -p -- /abs/data out.zas"), 1},
    };
    for (const auto& c : cases) {
        const ProgramRun run = runZas(c.words, dir.path());
        EXPECT_EQ(withoutBanner(run), c.output);
        EXPECT_EQ(run.status, c.status);
    }
    // A run that went well, or one without such a word, says nothing more.
    EXPECT_EQ(withoutBanner(runZas({"-v", "missing.zas"}, dir.path())),
              "Reading archive missing.zas...\nError: Could not open file \"missing.zas\"\n");
}

} // namespace
