// The request that keeps Windows awake: made once while held, cleared and closed when let
// go, and a request Windows will not make written once and never in the monitor's way.
#include "monitor/power_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

using Lines = std::vector<std::string>;

// What the fake entry points were asked, and how they answer.
struct FakePower {
    Lines calls;
    DWORD createError = 0;  // nonzero: PowerCreateRequest fails with it
    DWORD setError = 0;     // nonzero: PowerSetRequest fails with it
    HANDLE created = nullptr;
    std::wstring reason;
};
FakePower* fake = nullptr;

std::string TypeName(POWER_REQUEST_TYPE type) {
    return type == PowerRequestSystemRequired ? "SystemRequired" : "type " + std::to_string(type);
}

HANDLE WINAPI FakeCreate(PREASON_CONTEXT context) {
    fake->calls.push_back("create");
    if (context != nullptr && context->Version == POWER_REQUEST_CONTEXT_VERSION &&
        context->Flags == POWER_REQUEST_CONTEXT_SIMPLE_STRING) {
        fake->reason = context->Reason.SimpleReasonString;
    }
    if (fake->createError != 0) {
        SetLastError(fake->createError);
        return INVALID_HANDLE_VALUE;
    }
    // A real handle, so that its closing can be seen.
    fake->created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return fake->created;
}

BOOL WINAPI FakeSet(HANDLE request, POWER_REQUEST_TYPE type) {
    const char* which = request == fake->created ? "" : " (another handle)";
    fake->calls.push_back(std::string("set ") + TypeName(type) + which);
    if (fake->setError == 0) return TRUE;
    SetLastError(fake->setError);
    return FALSE;
}

BOOL WINAPI FakeClear(HANDLE request, POWER_REQUEST_TYPE type) {
    const char* which = request == fake->created ? "" : " (another handle)";
    fake->calls.push_back(std::string("clear ") + TypeName(type) + which);
    return TRUE;
}

const PowerRequestApi kFakeApi = {FakeCreate, FakeSet, FakeClear};

bool StillOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

class PowerRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartEventLogEmpty(scratch);
        fake = &power;
        SetPowerRequestApiForTest(&kFakeApi);
    }
    void TearDown() override {
        SetPowerRequestApiForTest(nullptr);
        fake = nullptr;
        CloseEventLogFileForTest();
    }
    Lines LogLines() const { return EventLogTexts(scratch); }

    ScratchDirectory scratch;
    FakePower power;
};

TEST_F(PowerRequestTest, IsMadeOnceWhileHeldAndClearedAndClosedWhenLetGo) {
    KeepSystemAwake(true);
    KeepSystemAwake(true);
    ASSERT_EQ((Lines{"create", "set SystemRequired"}), power.calls);
    EXPECT_TRUE(StillOpen(power.created));
    EXPECT_NE(std::wstring::npos, power.reason.find(L"mains power has failed")) << "what powercfg /requests shows";

    KeepSystemAwake(false);
    KeepSystemAwake(false);
    EXPECT_EQ((Lines{"create", "set SystemRequired", "clear SystemRequired"}), power.calls);
    EXPECT_FALSE(StillOpen(power.created)) << "the request's handle is closed with its owner";
    EXPECT_EQ(Lines{}, LogLines());

    // The next outage makes a request of its own.
    KeepSystemAwake(true);
    EXPECT_EQ(5u, power.calls.size());
    EXPECT_EQ("create", power.calls[3]);
}

TEST_F(PowerRequestTest, ARequestWindowsWillNotMakeIsWrittenOnceAndHoldsNothing) {
    struct Case {
        const char* name;
        DWORD createError;
        DWORD setError;
        Lines callsPerOutage;
        std::string line;
    };
    const Case cases[] = {
        // Wine 8's PowerCreateRequest is a stub that fails this way.
        {"create fails", ERROR_CALL_NOT_IMPLEMENTED, 0, {"create"}, "PowerCreateRequest():ER=120"},
        {"set fails", 0, ERROR_ACCESS_DENIED, {"create", "set SystemRequired"}, "PowerSetRequest():ER=5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        SetPowerRequestApiForTest(&kFakeApi);
        power = FakePower();
        power.createError = c.createError;
        power.setError = c.setError;
        // Two outages while it keeps failing: one line.
        for (int outage = 0; outage < 2; ++outage) {
            KeepSystemAwake(true);
            KeepSystemAwake(false);
        }
        Lines twice = c.callsPerOutage;
        twice.insert(twice.end(), c.callsPerOutage.begin(), c.callsPerOutage.end());
        EXPECT_EQ(twice, power.calls) << "nothing to clear where nothing was set";
        EXPECT_EQ(Lines{c.line}, LogLines());
        if (power.created != nullptr) {
            EXPECT_FALSE(StillOpen(power.created)) << "a handle not set is closed at once";
        }

        // Once a request has been made, the next failure is written again.
        power.createError = 0;
        power.setError = 0;
        KeepSystemAwake(true);
        KeepSystemAwake(false);
        power.createError = c.createError;
        power.setError = c.setError;
        KeepSystemAwake(true);
        EXPECT_EQ((Lines{c.line, c.line}), LogLines());
        KeepSystemAwake(false);
    }
}

// The system's own entry points: under Wine they may be stubs. Either the request is
// made, or its failure is one line; the call returns either way.
TEST_F(PowerRequestTest, TheSystemsRequestIsMadeOrItsFailureWrittenOnce) {
    SetPowerRequestApiForTest(nullptr);
    KeepSystemAwake(true);
    KeepSystemAwake(false);
    KeepSystemAwake(true);
    KeepSystemAwake(false);
    const Lines lines = LogLines();
    ASSERT_LE(lines.size(), 1u);
    if (!lines.empty()) {
        const bool named = lines[0].rfind("PowerCreateRequest():ER=", 0) == 0 ||
                           lines[0].rfind("PowerSetRequest():ER=", 0) == 0;
        EXPECT_TRUE(named) << lines[0];
    }
    EXPECT_TRUE(power.calls.empty()) << "the fake was not used";
}

}  // namespace
