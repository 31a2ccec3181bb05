// The real folder seam: the current directory follows the loaded NervaUPSLib.dll, or the
// executable when none is loaded.
#include <gtest/gtest.h>

#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "monitor/monitor_seams.h"
#include "testing/scratch_directory.h"

namespace {

std::string CurrentDirectory() {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(folder), folder);
    return folder;
}

class CurrentDirectoryKeeper {
public:
    CurrentDirectoryKeeper() : saved_(CurrentDirectory()) {}
    ~CurrentDirectoryKeeper() { SetCurrentDirectoryA(saved_.c_str()); }

private:
    std::string saved_;
};

// A UPS that another machine serves needs no library: the executable's folder, where
// Setting.ini and the logs are, becomes current all the same.
TEST(EnterUpsLibraryFolder, WithoutTheLibraryMakesTheExecutablesFolderCurrent) {
    ASSERT_EQ(nullptr, GetModuleHandleA("NervaUPSLib.dll"));
    ScratchDirectory scratch;
    const std::string folder = scratch.Path() + "Program folder";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    CurrentDirectoryKeeper keep;
    SetExeDirectoryForTest(folder + "\\");
    EXPECT_TRUE(EnterUpsLibraryFolder());
    EXPECT_EQ(0, lstrcmpiA(folder.c_str(), CurrentDirectory().c_str())) << CurrentDirectory();

    SetExeDirectoryForTest(folder + "\\missing\\");
    EXPECT_FALSE(EnterUpsLibraryFolder()) << "a folder that is not there";
    SetExeDirectoryForTest("");
    SetCurrentDirectoryA(scratch.Path().c_str());
}

TEST(EnterUpsLibraryFolder, MakesTheLibraryFolderCurrent) {
    ScratchDirectory scratch;
    std::string folder = scratch.Path() + "UPS lib";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(VW_SIM_DIR "/NervaUPSLib.dll", (folder + "\\NervaUPSLib.dll").c_str(), FALSE));
    CurrentDirectoryKeeper keep;
    {
        ScopedModuleHandle library(LoadLibraryA((folder + "\\NervaUPSLib.dll").c_str()));
        ASSERT_TRUE(library);
        EXPECT_TRUE(EnterUpsLibraryFolder());
        EXPECT_EQ(0, lstrcmpiA(folder.c_str(), CurrentDirectory().c_str())) << CurrentDirectory();
        SetCurrentDirectoryA(scratch.Path().c_str());
    }
}

}  // namespace
