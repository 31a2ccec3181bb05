// Setting.ini's lock: the descriptor a file is created with, and the write that uses it.
#include "common/file_security.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "testing/scratch_directory.h"

namespace {

struct DaclSeen {
    bool read = false;
    bool isProtected = false;
    std::vector<std::string> allowed;  // the SIDs of the allow entries
    std::vector<ACCESS_MASK> masks;
};

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return "?";
    std::string copy = text;
    LocalFree(text);
    return copy;
}

DaclSeen DaclOf(PSECURITY_DESCRIPTOR descriptor) {
    DaclSeen seen;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        return seen;
    }
    seen.read = true;
    seen.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        if (static_cast<ACE_HEADER*>(ace)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            seen.allowed.push_back("not an allow entry");
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        seen.allowed.push_back(SidText(&allowed->SidStart));
        seen.masks.push_back(allowed->Mask);
    }
    return seen;
}

// What a file is created with: SYSTEM and Administrators with full control, nobody
// else, and nothing that the folder would pass on. (Wine keeps no descriptor given at
// creation and reads a file's back from its Unix owner and mode, so what reaches the
// disk is seen on Windows only: `icacls Setting.ini`.)
TEST(AdminOnlySecurity, GrantsSystemAndAdministratorsFullControlAndNothingElseOrInherited) {
    AdminOnlySecurity security;
    ASSERT_NE(security.Attributes(), nullptr) << GetLastError();
    EXPECT_EQ(security.Attributes()->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(security.Attributes()->bInheritHandle);
    const DaclSeen seen = DaclOf(security.Attributes()->lpSecurityDescriptor);
    ASSERT_TRUE(seen.read);
    EXPECT_TRUE(seen.isProtected);
    EXPECT_EQ(seen.allowed, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}));
    for (ACCESS_MASK mask : seen.masks) EXPECT_EQ(mask & FILE_ALL_ACCESS, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
}

TEST(AdminOnlySecurity, AFileWrittenWithItIsWrittenAndReplacedAsAnyOther) {
    ScratchDirectory scratch;
    for (const char* content : {"WAIT_TIME=60\r\n", "WAIT_TIME=120\r\n"}) {
        AdminOnlySecurity security;
        ASSERT_TRUE(WriteFileAtomically(scratch.File("Setting.ini"), content, security.Attributes())) << GetLastError();
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), content);
    }
}

}  // namespace
