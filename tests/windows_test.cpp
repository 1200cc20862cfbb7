// What the program does as a Windows program: drive-letter paths, options
// with a slash, paths longer than the system's MAX_PATH, one file reached by
// several spellings, names the system would read as other names, and an
// archive replaced in place.
#include "ArchiveFixture.h"
#include "BuildSupport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h" // <windows.h>

namespace {

TEST(Windows, PacksADriveLetterSourceWithExcludePathAndSlashOptions) {
    TempDir dir;
    writeFile(dir / "data" / "maps" / "a.map", "tiles");
    writeFile(dir / "data" / "b.txt", "text");
    const std::string source = (dir / "data").string(); // C:\...\data
    ASSERT_EQ(source[1], ':');

    ProgramRun run = runZas({"/A", "/p", source, "out.zas"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    const ArchiveContents archive = loadArchive(dir / "out.zas");
    ASSERT_TRUE(archive.loaded);
    ASSERT_EQ(archive.dirs.size(), 2u);
    EXPECT_EQ(archive.dirs.at(0).name, "\\");
    EXPECT_EQ(archive.dirs.at(1).name, "\\maps\\");

    // A destination with a drive letter and a trailing backslash.
    run = runZas({"/x", "out.zas", (dir / "restored").string() + "\\"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(readFile(dir / "restored" / "maps" / "a.map"), "tiles");
    EXPECT_EQ(readFile(dir / "restored" / "b.txt"), "text");
}

TEST(Windows, RefusesADriveLetterSourceWithoutExcludePath) {
    TempDir dir;
    const ProgramRun run = runZas({"-a", "c:\\temp", "out.zas"}, dir.path());
    EXPECT_EQ(withoutBanner(run), "\nError: Source path must be relative when \"-p\" option is not used.\n");
    EXPECT_EQ(run.status, 0); // an error, as in every other run that printed one
}

TEST(Windows, ReportsDirectoriesBeyondMaxPath) {
    TempDir dir;
    // Build a chain of directories deeper than MAX_PATH through the
    // long-path form of the wide calls, then a file at its bottom.
    std::wstring deep = L"\\\\?\\" + (dir / "data").wstring();
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    for (int level = 0; level < 6; ++level) {
        deep += L"\\" + std::wstring(50, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << level;
    }
    const HANDLE file = CreateFileW((deep + L"\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    writeFile(dir / "data" / "short.txt", "short");

    const ProgramRun run = runZas({"-a", "data", "out.zas"}, dir.path());
    EXPECT_NE(run.output.find("Warning: Leaving out \"data\\"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\": its path is too long\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Archiving completed with warnings.\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.status, 0);
    const ArchiveContents archive = loadArchive(dir / "out.zas");
    ASSERT_TRUE(archive.loaded);
    ASSERT_EQ(archive.files.size(), 1u);
    EXPECT_EQ(archive.files[0].name, "short.txt");
}

// Another spelling of an existing path: its short (8.3) form where the
// system gives one that differs, else other letter case through a detour.
std::string otherSpelling(const fs::path& directory, const std::string& name) {
    char shortForm[MAX_PATH];
    const DWORD length = GetShortPathNameA(directory.string().c_str(), shortForm, MAX_PATH);
    if (length > 0 && length < MAX_PATH && fs::path(shortForm).filename() != directory.filename())
        return std::string(shortForm) + "\\" + name;
    std::string upper = directory.string();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper + "\\..\\" + directory.filename().string() + "\\" + name;
}

TEST(Windows, OneFileIsRecognisedUnderAnyOfItsSpellings) {
    TempDir dir;
    writeFile(dir / "LongDirectoryName" / "a.txt", "a");
    writeFile(dir / "LongDirectoryName" / "b.txt", "b");
    const std::string plain = (dir / "LongDirectoryName" / "a.txt").string();
    EXPECT_TRUE(isSameFile(plain.c_str(), otherSpelling(dir / "LongDirectoryName", "a.txt").c_str()));
    EXPECT_FALSE(isSameFile(plain.c_str(), otherSpelling(dir / "LongDirectoryName", "b.txt").c_str()));
    EXPECT_FALSE(isSameFile(plain.c_str(), (dir / "missing.txt").string().c_str()));
}

TEST(Windows, MoveModeKeepsItsOwnArchiveReachedByAnotherSpelling) {
    TempDir dir;
    const fs::path source = dir / "LongDirectoryName";
    writeFile(source / "a.txt", "precious");
    writeFile(source / "out.zas", "an older archive");
    const std::string archive = otherSpelling(source, "out.zas");

    ProgramRun run = runZas({"-m", "-p", source.string(), archive}, dir.path());
    EXPECT_NE(run.output.find("Warning: Keeping file"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(source / "a.txt"));
    ASSERT_TRUE(fs::exists(source / "out.zas"));
    run = runZas({"-x", (source / "out.zas").string(), "restored"}, dir.path());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(readFile(dir / "restored" / "a.txt"), "precious");
}

TEST(Windows, NamesTheSystemWouldShortenAreSkippedNotWrittenOverAnother) {
    // As a Linux build packs x and x.: Windows would write both to x.
    TempDir dir;
    writeFile(dir / "a.zas", archiveBytes({{"\\"}}, {{"x", "first"}, {"x.", "second"}}));
    const auto [output, status] = runAfterBanner({"-x", "a.zas", "out"}, dir.path());
    EXPECT_EQ(output, "Reading archive a.zas...\n"
                      "Extracting files to \"out\\\"\n"
                      "Extracting files, 0% complete...    \r"
                      "Warning: Skipped file \"\\x.\": its path is not safe to extract\n" +
                          std::string(48, ' ') + "\n  Total 1 files extracted, 1 failed\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(dir / "out" / "x"), "first");
    EXPECT_EQ(namesIn(dir / "out"), (std::set<std::string>{"x"}));
}

// Files whose names only the long-path form of the wide calls keeps as they
// are; removed the same way, since the ordinary calls would reach others.
class UnshortenedFiles {
public:
    explicit UnshortenedFiles(const fs::path& directory) : m_prefix(L"\\\\?\\" + directory.wstring() + L"\\") {}
    ~UnshortenedFiles() {
        for (const std::wstring& name : m_made)
            DeleteFileW((m_prefix + name).c_str());
    }
    UnshortenedFiles(const UnshortenedFiles&) = delete;
    UnshortenedFiles& operator=(const UnshortenedFiles&) = delete;

    bool make(const std::wstring& name) {
        const HANDLE file = CreateFileW((m_prefix + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        m_made.push_back(name);
        return true;
    }
    bool exists(const std::wstring& name) const {
        return GetFileAttributesW((m_prefix + name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    std::wstring m_prefix;
    std::vector<std::wstring> m_made;
};

TEST(Windows, PackingLeavesOutNamesTheSystemWouldReadAsOthers) {
    TempDir dir;
    writeFile(dir / "data" / "x", "moved");
    UnshortenedFiles odd(dir / "data");
    const std::vector<std::string> names{"x.", "y ", "con.txt"};
    for (const std::string& name : names)
        ASSERT_TRUE(odd.make(std::wstring(name.begin(), name.end()))) << name;

    const auto [output, status] = runAfterBanner({"-m", "data", "o.zas"}, dir.path());
    for (const std::string& name : names)
        EXPECT_NE(output.find("Warning: Leaving out \"data\\" + name + "\": its name could not be extracted again\n"),
                  std::string::npos)
            << name << " in:\n" << output;
    EXPECT_EQ(status, 0);
    const ArchiveContents archive = loadArchive(dir / "o.zas");
    ASSERT_TRUE(archive.loaded);
    ASSERT_EQ(archive.files.size(), 1u);
    EXPECT_EQ(archive.files[0].name, "x");
    // Move mode keeps what it left out.
    for (const std::string& name : names)
        EXPECT_TRUE(odd.exists(std::wstring(name.begin(), name.end()))) << name;
}

TEST(Windows, AReplacedArchiveStaysHidden) {
    TempDir dir;
    writeFile(dir / "data" / "a.txt", "a");
    writeFile(dir / "hidden.zas", "an older archive");
    ASSERT_TRUE(SetFileAttributesA((dir / "hidden.zas").string().c_str(), FILE_ATTRIBUTE_HIDDEN));
    for (const char* archive : {"hidden.zas", "new.zas"}) {
        const ProgramRun run = runZas({"-a", "data", archive}, dir.path());
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(loadArchive(dir / archive).files.size(), 1u) << archive;
    }
    EXPECT_NE(GetFileAttributesA((dir / "hidden.zas").string().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(GetFileAttributesA((dir / "new.zas").string().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

} // namespace
