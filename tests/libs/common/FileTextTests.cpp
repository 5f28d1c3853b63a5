#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "System/Posix/PosixFileSystem.h"
#include "Utils/FileText.h"
#include "Utils/idfromstring.h"
#include "support/NamedPipe.h"

namespace {

namespace fs = std::filesystem;

class CTempFolder
{
public:
    CTempFolder()
    {
        char acTemplate[] = "/tmp/tarn_filetext_XXXXXX";
        if (mkdtemp(acTemplate))
            m_kPath = acTemplate;
    }
    ~CTempFolder()
    {
        if (!m_kPath.empty())
        {
            std::error_code kError;
            fs::remove_all(m_kPath, kError);
        }
    }
    const std::string& Path() const { return m_kPath; }

private:
    std::string m_kPath;
};

bool WriteFile(const std::string& kPath, const std::string& kText)
{
    FILE* pFile = fopen(kPath.c_str(), "wb");
    if (!pFile)
        return false;
    const bool bWritten = kText.empty() || fwrite(kText.data(), 1, kText.size(), pFile) == kText.size();
    return fclose(pFile) == 0 && bWritten;
}

}  // namespace

// Every reader of a data file given by a path: it reads regular files only,
// and refuses anything else before opening it, so that a named pipe never
// holds the caller (each pipe case fails, not hangs, if a reader opens it).
TEST(FileText, ReadsRegularFilesOnlyAndNeverWaitsOnAPipe)
{
    CTempFolder kFolder;
    ASSERT_FALSE(kFolder.Path().empty());
    const std::string kText = "{\"Name\":\"Biped\"}\n";
    struct SCase
    {
        const char* pLabel;
        // Makes the entry at the given path; false when it could not.
        std::function<bool(const std::string&)> kMake;
        uint64 ui64Limit;
        // The reader's problem; empty when the file is read.
        std::string kProblem;
        // The code of Posix::OpenRegularFile (0 when it opens the file).
        int iCode;
        bool bPipe;
    };
    const std::string kTarget = kFolder.Path() + "/target.json";
    ASSERT_TRUE(WriteFile(kTarget, kText));
    const SCase akCases[] = {
        {"regular file", [&](const std::string& kPath) { return WriteFile(kPath, kText); }, 1024, "", 0, false},
        {"empty regular file", [](const std::string& kPath) { return WriteFile(kPath, ""); }, 1024, "", 0, false},
        {"link to a regular file",
         [&](const std::string& kPath) { return symlink(kTarget.c_str(), kPath.c_str()) == 0; }, 1024, "", 0, false},
        {"named pipe", [](const std::string& kPath) { return mkfifo(kPath.c_str(), 0600) == 0; }, 1024,
         "not a regular file", EINVAL, true},
        {"link to a named pipe",
         [&](const std::string& kPath) {
             return mkfifo((kPath + ".fifo").c_str(), 0600) == 0 &&
                    symlink((kPath + ".fifo").c_str(), kPath.c_str()) == 0;
         },
         1024, "not a regular file", EINVAL, true},
        {"directory", [](const std::string& kPath) { return mkdir(kPath.c_str(), 0700) == 0; }, 1024,
         "not a regular file", EISDIR, false},
        {"missing file", [](const std::string&) { return true; }, 1024, "cannot be opened: No such file or directory",
         ENOENT, false},
        {"dangling symbolic link",
         [&](const std::string& kPath) {
             return symlink((kFolder.Path() + "/nowhere.json").c_str(), kPath.c_str()) == 0;
         },
         1024, "dangling symbolic link", ENOENT, false},
        {"symbolic link loop",
         [](const std::string& kPath) {
             return symlink((kPath + ".other").c_str(), kPath.c_str()) == 0 &&
                    symlink(kPath.c_str(), (kPath + ".other").c_str()) == 0;
         },
         1024, "symbolic link loop", ELOOP, false},
        {"larger than the limit", [&](const std::string& kPath) { return WriteFile(kPath, kText); }, 4,
         "17 bytes is more than the limit of 4 bytes (0 MiB)", 0, false},
    };
    int iCase = 0;
    for (const SCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pLabel);
        const std::string kPath = kFolder.Path() + "/case" + std::to_string(iCase++) + ".json";
        ASSERT_TRUE(kCase.kMake(kPath));
        const std::string kWatched = kCase.bPipe ? (fs::is_symlink(kPath) ? kPath + ".fifo" : kPath) : "";

        Common::CFileText kFile;
        char acProblem[Common::CFileText::ProblemCapacity] = "unset";
        bool bRead = false;
        uint32 uiId = 0;
        const auto Read = [&] {
            bRead = kFile.Read(kPath.c_str(), kCase.ui64Limit, acProblem);
            uiId = GenerateUIntIdFromFile(kPath.c_str());
        };
        if (kCase.bPipe)
        {
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kWatched, Read)) << "a reader opened the pipe";
        }
        else
            Read();

        EXPECT_EQ(bRead, kCase.kProblem.empty());
        EXPECT_EQ(std::string(acProblem), kCase.kProblem);
        const bool bWhole = kCase.kProblem.empty() || kCase.ui64Limit < kText.size();
        EXPECT_EQ(uiId != kInvalidIndex, bWhole);
        if (bRead)
        {
            EXPECT_EQ(std::string(kFile.GetText(), kFile.GetLength()), fs::file_size(kPath) ? kText : "");
        }

        char acOpenProblem[128] = "unset";
        int iCode = -1;
        uint64 ui64Size = 1;
        const auto Open = [&] {
            const int iFile =
                Common::Posix::OpenRegularFile(kPath.c_str(), acOpenProblem, sizeof(acOpenProblem), &ui64Size, &iCode);
            if (iFile >= 0)
                close(iFile);
        };
        if (kCase.bPipe)
        {
            EXPECT_TRUE(TestSupport::RunWithoutOpeningPipe(kWatched, Open)) << "a reader opened the pipe";
        }
        else
            Open();
        EXPECT_EQ(iCode, kCase.iCode);
        if (kCase.iCode == 0)
        {
            EXPECT_EQ(ui64Size, fs::file_size(kPath));
        }
    }
}
