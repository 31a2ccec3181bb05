// The entry points, the sessions they share and the poller thread of each session.
// The state's lock is held only to look a session up or swap it: never across a
// network call, a wait or the callback, which the monitor may take its time over.
#include "network_ups/network_ups_library.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "log/repeated_failure_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "network_ups/network_ups_device.h"
#include "network_ups/network_ups_readings.h"
#include "network_ups/network_ups_status.h"
#include "network_ups/network_ups_text.h"
#include "ups/network_ups_events.h"

// A poll asks two questions at the most (the status, then the measurements) before it
// waits for the next: the monitor's silence rule for a network UPS outlasts the slowest
// poll a server may give within its limits.
static_assert(kNetworkUpsSilenceLimitSeconds * 1000 >
                  2 * static_cast<int64_t>(kNetworkUpsAnswerLimitMs) + kNetworkUpsPollIntervalMs,
              "a slow server must never look silent");

namespace {

constexpr int32_t kInvalidHandleError = 6;   // ERROR_INVALID_HANDLE
constexpr int32_t kOutOfMemoryError = 8;     // ERROR_NOT_ENOUGH_MEMORY
constexpr int32_t kBadDeviceError = 87;      // ERROR_INVALID_PARAMETER
constexpr int32_t kNoChargeError = 1167;     // ERROR_DEVICE_NOT_CONNECTED: no charge read yet

// One connection to the followed UPS, from OpenCOM to its close.
struct Session {
    int64_t handle = 0;
    NetworkUpsDevice device;
    std::string model;  // read once at the connection
    // Manual-reset events: `stop` ends every wait of the connection and of the poller at
    // once; `wake` only the poller's pause between polls (Shutdown lets an exchange finish).
    ScopedKernelHandle stop;
    ScopedKernelHandle wake;
    // Used by one thread at a time: OpenCOM, then the poller, then Shutdown once the poller has ended.
    std::unique_ptr<NetworkUpsConnection> connection;
    ScopedKernelHandle poller;
    DWORD pollerId = 0;
    std::atomic<bool> stopping{false};  // a stop we asked for: no loss is reported, nothing at all
    std::atomic<bool> chargeKnown{false};
    std::atomic<int32_t> charge{0};
};

struct LibraryState {
    std::mutex lock;  // guards the members below
    std::string user;
    std::string password;
    NetworkUpsLimits limits;
    std::shared_ptr<Session> opening;  // being connected by OpenCOM
    std::shared_ptr<Session> current;  // opened, polled once started
    int64_t lastHandle = 0;
};

// Never destroyed, like every object the service's threads share.
LibraryState& State() {
    static auto* state = new LibraryState;
    return *state;
}

std::atomic<NervaEventCallback> eventCallback{nullptr};

// A server that is down is tried once a second: its line is written once an hour.
RepeatedFailureLog& ConnectFailures() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

RepeatedFailureLog& LoginRefusals() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

std::shared_ptr<Session> FindSession(int64_t handle) {
    LibraryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.current != nullptr && state.current->handle == handle) return state.current;
    return nullptr;
}

std::shared_ptr<Session> TakeSession(int64_t handle) {
    LibraryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.current == nullptr || state.current->handle != handle) return nullptr;
    return std::move(state.current);
}

// True once the poller has ended (or never started) within `limitMs`. Never waits for
// itself: a callback that closes its own connection returns at once.
bool WaitForPoller(const Session& session, DWORD limitMs) {
    if (!session.poller) return true;
    if (GetCurrentThreadId() == session.pollerId) return false;
    return WaitForSingleObject(session.poller.Get(), limitMs) == WAIT_OBJECT_0;
}

// Ends the session's poller and waits at once; the connection closes when the last
// holder lets the session go (a poller still inside the callback holds it until it returns).
void StopSession(const std::shared_ptr<Session>& session) {
    if (session == nullptr) return;
    session->stopping = true;
    SetEvent(session->wake.Get());
    SetEvent(session->stop.Get());
    WaitForPoller(*session, kNetworkUpsStopWaitMs);
}

void Tell(const Session& session, int32_t code) {
    const NervaEventCallback callback = eventCallback.load();
    if (callback != nullptr && !session.stopping.load()) callback(session.handle, code, nullptr);
}

// The measurements of one connection, read after the status and never ahead of it: in one
// LIST VAR round trip, or, from a server that refuses the list, one GET VAR at a time, as
// many as fit into kMeasurementBudgetTicks of a poll (one at least) and the rest in the
// polls that follow. A variable the UPS lacks is left out.
struct Measurements {
    std::map<std::string, std::string> values;  // the last value of each variable the UPS has
    bool read = false;         // a whole round has been read on this connection
    bool roundOpen = false;    // a round is under way
    size_t next = 0;           // its next variable, one at a time
    bool listRefused = false;  // the server refused LIST VAR
    int64_t roundStarted = 0;  // MonotonicNow() at the start of the last round
};

// Of a poll's time, what one-at-a-time reads may take before the next poll's status is due.
constexpr int64_t kMeasurementBudgetTicks = kNetworkUpsPollIntervalMs * (kTicksPerSecond / 1000) / 2;

enum class MeasureOutcome { RoundDone, UnderWay, Lost };

// The variables one at a time: the charge, which the battery rules weigh, first.
const std::vector<std::string>& OneAtATimeOrder() {
    static const std::vector<std::string> order = [] {
        std::vector<std::string> names = {"battery.charge"};
        for (const char* name : kNetworkUpsMeasurementVariables) {
            if (names[0] != name) names.emplace_back(name);
        }
        return names;
    }();
    return order;
}

// A record: the status's mains flag with the measurements last read. The charge is kept
// for GetCurrentBatteryLevel.
void TellReadings(Session& session, bool mainsFailed, const Measurements& measurements) {
    auto readings = std::make_unique<NetworkUpsReadings>(MakeNetworkUpsReadings(mainsFailed, measurements.values));
    readings->MeasurementsRead = measurements.read;
    if (readings->ChargeKnown) {
        session.charge = readings->Charge;
        session.chargeKnown = true;
    }
    const NervaEventCallback callback = eventCallback.load();
    if (callback == nullptr || session.stopping.load()) return;
    callback(session.handle, kUpsEventNetworkReadings, readings.release());  // the callee deletes it
}

MeasureOutcome RoundDone(Measurements& measurements) {
    measurements.read = true;
    measurements.roundOpen = false;
    measurements.next = 0;
    return MeasureOutcome::RoundDone;
}

// Goes on with the open round; `pollStarted` is when this poll asked for the status.
MeasureOutcome ReadMeasurements(Session& session, Measurements& measurements, int64_t pollStarted) {
    NetworkUpsConnection& connection = *session.connection;
    const std::string& ups = session.device.Ups;
    if (!measurements.listRefused) {
        std::map<std::string, std::string> all;
        const NetworkUpsVarResult listed = connection.ListVars(ups, all);
        if (listed == NetworkUpsVarResult::Lost) return MeasureOutcome::Lost;
        if (listed == NetworkUpsVarResult::Value) {
            measurements.values.clear();
            for (const char* name : kNetworkUpsMeasurementVariables) {
                const auto found = all.find(name);
                if (found != all.end()) measurements.values[name] = found->second;
            }
            return RoundDone(measurements);
        }
        measurements.listRefused = true;  // from now on one at a time, this round included
        measurements.next = 0;
    }
    const std::vector<std::string>& order = OneAtATimeOrder();
    for (bool firstOfPoll = true; measurements.next < order.size(); firstOfPoll = false) {
        if (session.stopping.load()) return MeasureOutcome::UnderWay;
        if (!firstOfPoll && MonotonicNow() - pollStarted >= kMeasurementBudgetTicks) return MeasureOutcome::UnderWay;
        const std::string& name = order[measurements.next];
        std::string value;
        const NetworkUpsVarResult result = connection.GetVar(ups, name, value);
        if (result == NetworkUpsVarResult::Lost) return MeasureOutcome::Lost;
        if (result == NetworkUpsVarResult::Value) {
            measurements.values[name] = value;
        } else {
            measurements.values.erase(name);
        }
        ++measurements.next;
        Tell(session, kUpsEventAlive);  // every answer says the UPS is there
    }
    return RoundDone(measurements);
}

// Once a second until the UPS is lost or the session is stopped, a record each time, as
// the maker's library sends one a second: what the monitor and its network server show
// stays fresh. What decides comes first: each poll asks for the status and reports the
// mains state, a low battery and a forced shutdown before it asks anything else, so a
// slow answer to the measurements never holds them up. What the first poll finds counts
// as appearing: a UPS already low or in its forced shutdown when we connect is reported
// as such. The measurements follow: with the first poll, after every change between OB
// and OL, and at least every kNetworkUpsReadingsIntervalSeconds; a round read in full is
// sent at once in a record of its own.
void Poll(Session& session) {
    NetworkUpsConnection& connection = *session.connection;
    NetworkUpsStatus previous;
    bool first = true;
    Measurements measurements;
    int64_t nextPoll = MonotonicNow();
    while (!session.stopping.load()) {
        const int64_t started = MonotonicNow();
        std::string text;
        if (connection.GetVar(session.device.Ups, "ups.status", text) != NetworkUpsVarResult::Value) break;
        const NetworkUpsStatus status = ParseNetworkUpsStatus(text);
        const bool mainsChanged = !first && status.OnBattery != previous.OnBattery;
        // The code first, then the record (the monitor takes the first poll's in silence).
        if (mainsChanged) Tell(session, status.OnBattery ? kUpsEventMainsFailed : kUpsEventMainsRestored);
        TellReadings(session, status.OnBattery, measurements);
        // After the record, so that the monitor knows whether mains holds when it hears them.
        if (status.BatteryLow && !previous.BatteryLow) Tell(session, kUpsEventBatteryLow);
        if (status.ForcedShutdown && !previous.ForcedShutdown) Tell(session, kUpsEventForcedShutdown);
        previous = status;

        // A change of the mains state starts the round anew (the charge first); the interval
        // never cuts short a round still under way.
        const bool intervalDue =
            started - measurements.roundStarted >= kNetworkUpsReadingsIntervalSeconds * kTicksPerSecond;
        if (first || mainsChanged || (intervalDue && !measurements.roundOpen)) {
            measurements.roundOpen = true;
            measurements.roundStarted = started;
            measurements.next = 0;
        }
        first = false;
        // A stop asks nothing more: a Shutdown waits for this poll to end before its LOGOUT.
        if (measurements.roundOpen && !session.stopping.load()) {
            const MeasureOutcome outcome = ReadMeasurements(session, measurements, started);
            if (outcome == MeasureOutcome::Lost) break;
            if (outcome == MeasureOutcome::RoundDone) TellReadings(session, status.OnBattery, measurements);
        }

        // Once a second from the start of the last poll; a poll that took longer is followed at once.
        nextPoll += static_cast<int64_t>(kNetworkUpsPollIntervalMs) * (kTicksPerSecond / 1000);
        const uint32_t remainingMs = MsUntilMonotonic(nextPoll);
        if (remainingMs == 0) {
            nextPoll = MonotonicNow();
            continue;
        }
        if (WaitForSingleObject(session.wake.Get(), remainingMs) == WAIT_OBJECT_0) break;
    }
    if (!session.stopping.load()) Tell(session, kUpsEventDeviceLost);  // once; the monitor reconnects
}

DWORD WINAPI PollerThread(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<Session>> holder(static_cast<std::shared_ptr<Session>*>(parameter));
    const std::shared_ptr<Session> session = *holder;
    holder.reset();
    Poll(*session);
    return 0;
}

std::string ReadModel(NetworkUpsConnection& connection, const std::string& ups, bool& lost) {
    for (const char* name : {"ups.model", "device.model"}) {
        std::string value;
        const NetworkUpsVarResult result = connection.GetVar(ups, name, value);
        if (result == NetworkUpsVarResult::Lost) {
            lost = true;
            return std::string();
        }
        // The server's text is cut to the safe set here, before anything of ours sees it.
        if (result == NetworkUpsVarResult::Value) {
            std::string model = NetworkUpsText(value);
            if (!model.empty()) return model;
        }
    }
    return NetworkUpsText(ups);  // ours, but it goes the same ways as the model
}

void LoginRefused(const std::string& user) {
    if (LoginRefusals().Failed(MessageText("Remote_login_refused") + ":" + user)) {
        ReportWindowsEvent(kEventTypeWarning, kEventRemoteLoginRefused);
    }
}

// Connects, logs in when a user is set, checks that the UPS answers and reads its model.
bool OpenSession(Session& session, const std::string& user, const std::string& password, uint32_t& error) {
    NetworkUpsConnection& connection = *session.connection;
    const std::string& ups = session.device.Ups;
    if (!connection.Connect(session.device.Host, session.device.Port)) {
        error = connection.LastError();
        return false;
    }
    if (!user.empty()) {
        switch (connection.Login(user, password, ups)) {
            case NetworkUpsLoginResult::Accepted:
                LoginRefusals().Succeeded();
                break;
            case NetworkUpsLoginResult::Refused:
                // Watched read-only all the same: a wrong password never leaves the computer unwatched.
                LoginRefused(user);
                break;
            case NetworkUpsLoginResult::NotSupported:
                break;
            case NetworkUpsLoginResult::Lost:
                error = connection.LastError();
                return false;
        }
    }
    std::string status;
    const NetworkUpsVarResult answered = connection.GetVar(ups, "ups.status", status);
    if (answered != NetworkUpsVarResult::Value) {
        error = answered == NetworkUpsVarResult::Lost ? connection.LastError() : kNetworkUpsUpsLostError;
        return false;
    }
    bool lost = false;
    session.model = ReadModel(connection, ups, lost);
    if (lost) {
        error = connection.LastError();
        return false;
    }
    return true;
}

int32_t InitLibrary(NervaEventCallback callback) {
    eventCallback = callback;
    return 0;
}

int32_t FinishLibrary() {
    std::shared_ptr<Session> opening;
    std::shared_ptr<Session> current;
    {
        LibraryState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        opening = state.opening;  // OpenCOM drops it itself once its connect has ended
        current = std::move(state.current);
    }
    eventCallback = nullptr;
    StopSession(opening);
    StopSession(current);
    return 0;
}

int32_t NoDevices(int64_t** devices, int32_t* count) {
    if (devices != nullptr) *devices = nullptr;
    if (count != nullptr) *count = 0;
    return 0;
}

int32_t NoPorts(char*** names, int32_t* count) {
    if (names != nullptr) *names = nullptr;
    if (count != nullptr) *count = 0;
    return 0;
}

int32_t FreeNoPorts(char**) { return 0; }

int32_t OpenDevice(const char* port, int64_t* device) {
    NetworkUpsDevice parsed;
    if (port == nullptr || device == nullptr || !ParseNetworkUpsDevice(port, parsed)) {
        ConnectFailures().Failed("NetworkUps:ER=" + std::to_string(kBadDeviceError));
        return kBadDeviceError;
    }
    auto session = std::make_shared<Session>();
    session->device = parsed;
    session->stop.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    session->wake.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!session->stop || !session->wake) {
        const uint32_t error = GetLastError();
        ConnectFailures().Failed("NetworkUps:ER=" + std::to_string(error));
        return static_cast<int32_t>(error);
    }
    std::string user;
    std::string password;
    std::shared_ptr<Session> previous;
    std::shared_ptr<Session> earlierOpening;
    LibraryState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        user = state.user;
        password = state.password;
        session->connection = std::make_unique<NetworkUpsConnection>(session->stop.Get(), state.limits);
        previous = std::move(state.current);  // one followed UPS at a time
        earlierOpening = state.opening;
        state.opening = session;
    }
    StopSession(earlierOpening);
    StopSession(previous);

    uint32_t error = 0;
    bool opened = OpenSession(*session, user, password, error);
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.opening == session) state.opening.reset();
        if (opened && session->stopping.load()) {
            opened = false;
            error = kNetworkUpsStoppedError;
        }
        if (opened) {
            session->handle = ++state.lastHandle;
            state.current = session;
            *device = session->handle;
        }
    }
    if (!opened) {
        if (error == 0) error = kNetworkUpsProtocolError;
        // A connect that we stopped ourselves is no failure of the server's.
        if (error != kNetworkUpsStoppedError) ConnectFailures().Failed("NetworkUps:ER=" + std::to_string(error));
        return static_cast<int32_t>(error);
    }
    ConnectFailures().Succeeded();
    return 0;
}

int32_t StartEvents(int64_t device) {
    const std::shared_ptr<Session> session = FindSession(device);
    if (session == nullptr) return kInvalidHandleError;
    std::lock_guard<std::mutex> guard(State().lock);
    if (session->poller) return 0;  // already polled
    auto* holder = new std::shared_ptr<Session>(session);
    DWORD id = 0;
    // Suspended until its id is known, so that its callbacks can tell it from other threads.
    HANDLE thread = CreateThread(nullptr, 0, PollerThread, holder, CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        delete holder;
        return static_cast<int32_t>(error);
    }
    session->pollerId = id;
    session->poller.Reset(thread);
    ResumeThread(thread);
    return 0;
}

int32_t CloseDevice(int64_t device) {
    const std::shared_ptr<Session> session = TakeSession(device);
    if (session == nullptr) return kInvalidHandleError;
    StopSession(session);
    return 0;
}

int32_t ModelName(int64_t device, char** model) {
    const std::shared_ptr<Session> session = FindSession(device);
    if (session == nullptr || model == nullptr) return kInvalidHandleError;
    char* copy = static_cast<char*>(std::malloc(session->model.size() + 1));  // the caller frees it
    if (copy == nullptr) return kOutOfMemoryError;
    std::memcpy(copy, session->model.c_str(), session->model.size() + 1);
    *model = copy;
    return 0;
}

int32_t BatteryLevel(int64_t device, int32_t* level) {
    const std::shared_ptr<Session> session = FindSession(device);
    if (session == nullptr || level == nullptr) return kInvalidHandleError;
    if (!session->chargeKnown.load()) return kNoChargeError;
    *level = session->charge.load();
    return 0;
}

// The end of the login, in place of an output-off: the serving machine switches the
// output off itself once every logged-in computer has logged out. An exchange in flight
// is let finish (the LOGOUT can only follow its answer); only a server that answers
// neither it nor the LOGOUT within kNetworkUpsLogoutLimitMs gives a failure.
int32_t EndLogin(int64_t device, int32_t /*backupTime*/) {
    const int64_t deadline = MonotonicDeadlineAfterMs(kNetworkUpsLogoutLimitMs);
    const std::shared_ptr<Session> session = TakeSession(device);
    if (session == nullptr) return kInvalidHandleError;
    session->stopping = true;  // the poller asks nothing more
    SetEvent(session->wake.Get());
    if (!WaitForPoller(*session, MsUntilMonotonic(deadline))) {
        // A server that does not answer what it was asked will not answer LOGOUT either.
        SetEvent(session->stop.Get());
        WaitForPoller(*session, kNetworkUpsStopWaitMs);
        return static_cast<int32_t>(kNetworkUpsTimedOutError);
    }
    NetworkUpsConnection& connection = *session->connection;
    if (connection.Logout(MsUntilMonotonic(deadline))) return 0;
    return static_cast<int32_t>(connection.LastError() != 0 ? connection.LastError() : kNetworkUpsClosedError);
}

}  // namespace

int32_t LoadNetworkUpsLibrary(UpsLibrary& table, uint32_t& /*error*/) {
    table = UpsLibrary();
    table.InitNervaUPSLib = &InitLibrary;
    table.FinishNervaUPSLib = &FinishLibrary;
    table.GetUPSList = &NoDevices;
    table.GetCOMList = &NoPorts;
    table.FreeCOMList = &FreeNoPorts;
    table.OpenCOM = &OpenDevice;
    table.StartEventThreadForCOM = &StartEvents;
    table.CloseCOM = &CloseDevice;
    table.GetModelName = &ModelName;
    table.GetCurrentBatteryLevel = &BatteryLevel;
    table.Shutdown = &EndLogin;
    return 1;
}

void SetNetworkUpsCredentials(const std::string& user, const std::string& password) {
    LibraryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.user = user;
    state.password = password;
}

void SetNetworkUpsLimitsForTest(const NetworkUpsLimits& limits) {
    LibraryState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.limits = limits;
}

void ResetNetworkUpsLibraryForTest() {
    ConnectFailures().Succeeded();
    LoginRefusals().Succeeded();
}
