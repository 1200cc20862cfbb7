// What the program does as a Windows program: drive-letter paths, options
// with a slash, and paths longer than the system's MAX_PATH.
#include "BuildSupport.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(run.status, 1);
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

} // namespace
