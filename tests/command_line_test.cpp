#include "app/CommandLine.h"
#include "app/Console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum class Printed { Nothing, Usage, RelativeError };

struct ParseCase {
    std::vector<std::string> words; // after the program name
    bool accepted;
    std::int32_t mode;
    bool excludePath;
    bool compress;
    std::string source;
    std::string destination;
    Printed printed;
};

const ParseCase kParseCases[] = {
    {{}, false, 0, false, false, "", "", Printed::Usage},
    {{"-?"}, false, 0, false, false, "", "", Printed::Usage},
    {{"-a", "-?", "data", "out.zas"}, false, 1, false, false, "data", "out.zas", Printed::Usage},
    {{"-a", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-A", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"/a", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-ac", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-add", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-a", "-c", "data", "out.zas"}, true, 1, false, true, "data", "out.zas", Printed::Nothing},
    {{"-m", "-a", "data", "out.zas"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-a", "-m", "data", "out.zas"}, true, 2, false, false, "data", "out.zas", Printed::Nothing},
    {{"-a", "data", "out.zas", "-c"}, true, 1, false, false, "data", "out.zas", Printed::Nothing},
    {{"-a", "data"}, false, 1, false, false, "data", "", Printed::Usage},
    {{"-m", "data"}, false, 2, false, false, "data", "", Printed::Usage},
    {{"-x", "data.zas"}, true, 4, false, false, "data.zas", "", Printed::Nothing},
    {{"-v", "data.zas", "other"}, true, 3, false, false, "data.zas", "other", Printed::Nothing},
    {{"-v"}, false, 3, false, false, "", "", Printed::Usage},
    {{"-q", "data", "out.zas"}, false, 0, false, false, "data", "out.zas", Printed::Usage},
    {{"-", "/", "-x", "a.zas"}, true, 4, false, false, "a.zas", "", Printed::Nothing},
    {{"-x", "-p", "-c", "a.zas", "dest"}, true, 4, true, true, "a.zas", "dest", Printed::Nothing},
    {{"-a", "e:\\temp", "out.zas"}, false, 1, false, false, "e:\\temp", "out.zas", Printed::RelativeError},
    {{"-a", "-p", "e:\\temp", "out.zas"}, true, 1, true, false, "e:\\temp", "out.zas", Printed::Nothing},
    {{"-a", ".\\data", "out.zas"}, false, 1, false, false, ".\\data", "out.zas", Printed::RelativeError},
    {{"-a", "..\\data", "out.zas"}, false, 1, false, false, "..\\data", "out.zas", Printed::RelativeError},
    {{"-a", "\\data", "out.zas"}, false, 1, false, false, "\\data", "out.zas", Printed::RelativeError},
    {{"-m", ".hidden", "out.zas"}, false, 2, false, false, ".hidden", "out.zas", Printed::RelativeError},
    {{"-x", ".\\a.zas", "..\\dest"}, true, 4, false, false, ".\\a.zas", "..\\dest", Printed::Nothing},
    {{"-a", "data/sub", "out/new.zas"}, true, 1, false, false, "data\\sub", "out\\new.zas", Printed::Nothing},
    {{"-a", "data\\\\sub\\", "Out.ZAS"}, true, 1, false, false, "data\\\\sub\\", "Out.ZAS", Printed::Nothing},
    // "--" ends the options, so that an absolute POSIX path can be the source.
    {{"-a", "-p", "--", "/home/me/data", "out.zas"}, true, 1, true, false, "\\home\\me\\data", "out.zas",
     Printed::Nothing},
    {{"-a", "--", "/home/me/data", "out.zas"}, false, 1, false, false, "/home/me/data", "out.zas",
     Printed::RelativeError},
    {{"-x", "--", "-odd.zas"}, true, 4, false, false, "-odd.zas", "", Printed::Nothing},
    {{"-a", "--"}, false, 1, false, false, "", "", Printed::Usage},
    // A word after the source and destination is never an option.
    {{"-x", "a.zas", "dest", "-?"}, true, 4, false, false, "a.zas", "dest", Printed::Nothing},
    // An empty word is a source like any other; the writer refuses it.
    {{"-a", "", "out.zas"}, true, 1, false, false, "", "out.zas", Printed::Nothing},
};

std::string describe(const ParseCase& c) {
    std::string text = "zas";
    for (const std::string& word : c.words)
        text += " [" + word + "]";
    return text;
}

class ParseCommandLine : public ::testing::TestWithParam<ParseCase> {
protected:
    void SetUp() override { clearFlagsForTesting(); }
    void TearDown() override { clearFlagsForTesting(); }
};

TEST_P(ParseCommandLine, ReadsWordsAsSpecifiedByTheTable) {
    const ParseCase& c = GetParam();
    std::vector<const char*> argv{"zas"};
    for (const std::string& word : c.words)
        argv.push_back(word.c_str());

    std::int32_t mode = -1;
    bool excludePath = true;
    bool compress = true;
    zs source = "stale";
    zs destination = "stale";
    testing::internal::CaptureStdout();
    const bool accepted = parseCommandLine(static_cast<int>(argv.size()), argv.data(), mode, excludePath, compress,
                                           source, destination);
    const std::string output = testing::internal::GetCapturedStdout();

    SCOPED_TRACE(describe(c));
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_EQ(mode, c.mode);
    EXPECT_EQ(excludePath, c.excludePath);
    EXPECT_EQ(compress, c.compress);
    EXPECT_EQ(source.c_str(), c.source);
    EXPECT_EQ(destination.c_str(), c.destination);

    const bool usage = output.find("Usage: zas [options] [source] [destination]\n") != std::string::npos;
    const bool relativeError =
        output.find("\nError: Source path must be relative when \"-p\" option is not used.\n") != std::string::npos;
    EXPECT_EQ(usage, c.printed == Printed::Usage);
    EXPECT_EQ(relativeError, c.printed == Printed::RelativeError);
    EXPECT_EQ(errorRaised(), c.printed == Printed::RelativeError);
    EXPECT_FALSE(warningRaised());
}

// gtest prints a parameter it cannot format as raw bytes; show the words.
void PrintTo(const ParseCase& c, std::ostream* out) {
    *out << describe(c);
}

INSTANTIATE_TEST_SUITE_P(Table, ParseCommandLine, ::testing::ValuesIn(kParseCases));

TEST(ProgramName, IsTheInvokedWordAfterItsLastBackslash) {
    EXPECT_EQ(programName("c:\\tools\\pack.exe"), "pack.exe");
    EXPECT_EQ(programName("zas"), "zas");
    EXPECT_EQ(programName("./bin/zas"), "./bin/zas"); // only the backslash separates
    EXPECT_EQ(programName("c:zas.exe"), "c:zas.exe");
    EXPECT_EQ(programName("tools\\"), "");
}

} // namespace
