#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "System/Posix/PosixFileSystem.h"
#include "TempFolder.h"
#include "Utils/FileText.h"
#include "Utils/idfromstring.h"
#include "support/NamedPipe.h"

namespace fs = std::filesystem;
using CommonTests::WriteFile;

// Every reader of a data file given by a path: it reads regular files only,
// and refuses anything else before opening it, so that a named pipe never
// holds the caller (each pipe case fails, not hangs, if a reader opens it).
TEST(FileText, ReadsRegularFilesOnlyAndNeverWaitsOnAPipe)
{
    CommonTests::STempFolder kFolder;
    const std::string kText = "{\"Name\":\"Biped\"}\n";
    const std::string kTarget = kFolder.kPath + "/target.json";
    ASSERT_TRUE(WriteFile(kTarget, kText));
    const auto Link = [](const std::string& kTo, const std::string& kAt) {
        return symlink(kTo.c_str(), kAt.c_str()) == 0;
    };
    const auto Pipe = [](const std::string& kAt) { return mkfifo(kAt.c_str(), 0600) == 0; };
    // Label, how the entry is made at a path, the size limit, the reader's
    // problem (empty when it reads the file), the code of OpenRegularFile.
    const std::tuple<const char*, std::function<bool(const std::string&)>, uint64, std::string, int> akCases[] = {
        {"regular file", [&](auto& kAt) { return WriteFile(kAt, kText); }, 1024, "", 0},
        {"empty regular file", [](auto& kAt) { return WriteFile(kAt, ""); }, 1024, "", 0},
        {"link to a regular file", [&](auto& kAt) { return Link(kTarget, kAt); }, 1024, "", 0},
        {"named pipe", Pipe, 1024, "not a regular file", EINVAL},
        {"link to a named pipe", [&](auto& kAt) { return Pipe(kAt + ".fifo") && Link(kAt + ".fifo", kAt); }, 1024,
         "not a regular file", EINVAL},
        {"directory", [](auto& kAt) { return mkdir(kAt.c_str(), 0700) == 0; }, 1024, "not a regular file", EISDIR},
        {"missing file", [](auto&) { return true; }, 1024, "cannot be opened: No such file or directory", ENOENT},
        {"dangling symbolic link", [&](auto& kAt) { return Link(kFolder.kPath + "/nowhere", kAt); }, 1024,
         "dangling symbolic link", ENOENT},
        {"symbolic link loop", [&](auto& kAt) { return Link(kAt + ".other", kAt) && Link(kAt, kAt + ".other"); }, 1024,
         "symbolic link loop", ELOOP},
        {"larger than the limit", [&](auto& kAt) { return WriteFile(kAt, kText); }, 4,
         "17 bytes is more than the limit of 4 bytes (0 MiB)", 0},
    };
    for (const auto& [pLabel, kMake, ui64Limit, kProblem, iExpectedCode] : akCases)
    {
        SCOPED_TRACE(pLabel);
        const std::string kPath = kFolder.kPath + "/" + pLabel;
        ASSERT_TRUE(kMake(kPath));
        Common::CFileText kFile;
        char acProblem[Common::CFileText::ProblemCapacity] = "unset";
        char acOpenProblem[128] = "unset";
        bool bRead = false;
        uint32 uiId = 0;
        int iCode = -1;
        uint64 ui64Size = 1;
        const auto Read = [&] {
            bRead = kFile.Read(kPath.c_str(), ui64Limit, acProblem);
            uiId = GenerateUIntIdFromFile(kPath.c_str());
            const int iFile =
                Common::Posix::OpenRegularFile(kPath.c_str(), acOpenProblem, sizeof(acOpenProblem), &ui64Size, &iCode);
            if (iFile >= 0)
                close(iFile);
        };
        std::error_code kError;
        if (!fs::is_fifo(kPath, kError))
            Read();
        else
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kPath, Read)) << "a reader opened the pipe";
        EXPECT_EQ(bRead, kProblem.empty());
        EXPECT_EQ(std::string(acProblem), kProblem);
        EXPECT_EQ(iCode, iExpectedCode);
        // The identifier of a file reads the whole of any regular file.
        EXPECT_EQ(uiId != kInvalidIndex, iExpectedCode == 0);
        if (bRead)
        {
            EXPECT_EQ(std::string(kFile.GetText(), kFile.GetLength()), fs::file_size(kPath) ? kText : "");
        }
        if (iExpectedCode == 0)
        {
            EXPECT_EQ(ui64Size, fs::file_size(kPath));
        }
    }
}
