#include "network_ups/network_ups_host_lookup.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "network_ups/network_ups_connection.h"

namespace {

int SystemLookup(const std::string& host, std::vector<in_addr>& addresses) {
    WinsockUse winsock;  // the caller's may end before the lookup does
    if (!winsock.Started()) return static_cast<int>(winsock.Error());
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (error != 0) return error;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        }
    }
    freeaddrinfo(list);
    return 0;
}

std::atomic<HostLookupFn> lookupInUse{&SystemLookup};

// One lookup, shared by the thread that makes it and every caller that waits for it:
// whoever lets go last frees it. Its results are written before `done` is signalled
// and read only after it.
struct Lookup {
    ScopedKernelHandle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::string host;
    int error = 0;
    std::vector<in_addr> addresses;
};

struct LookupsUnderWay {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<Lookup>> byHost;
};

// Never destroyed: a lookup thread may outlive everything else.
LookupsUnderWay& UnderWay() {
    static auto* lookups = new LookupsUnderWay;
    return *lookups;
}

DWORD WINAPI LookupThread(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<Lookup>> holder(static_cast<std::shared_ptr<Lookup>*>(parameter));
    const std::shared_ptr<Lookup> lookup = *holder;
    holder.reset();
    lookup->error = lookupInUse.load()(lookup->host, lookup->addresses);
    {
        // Done: the next caller starts a fresh lookup.
        LookupsUnderWay& underWay = UnderWay();
        std::lock_guard<std::mutex> guard(underWay.lock);
        const auto found = underWay.byHost.find(lookup->host);
        if (found != underWay.byHost.end() && found->second == lookup) underWay.byHost.erase(found);
    }
    SetEvent(lookup->done.Get());
    return 0;
}

// The lookup of `host` under way, or a new one started; null with `error` when none could be started.
std::shared_ptr<Lookup> JoinOrStartLookup(const std::string& host, uint32_t& error) {
    LookupsUnderWay& underWay = UnderWay();
    std::lock_guard<std::mutex> guard(underWay.lock);
    const auto found = underWay.byHost.find(host);
    if (found != underWay.byHost.end()) return found->second;
    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    if (!lookup->done) {
        error = GetLastError();
        return nullptr;
    }
    auto* holder = new std::shared_ptr<Lookup>(lookup);
    HANDLE thread = CreateThread(nullptr, 0, LookupThread, holder, 0, nullptr);
    if (thread == nullptr) {
        error = GetLastError();
        delete holder;
        return nullptr;
    }
    CloseHandle(thread);  // it ends by itself; a caller that stops waiting leaves it to finish
    underWay.byHost[host] = lookup;
    return lookup;
}

}  // namespace

bool LookUpHostAddresses(const std::string& host, int64_t deadline, HANDLE stop, std::vector<in_addr>& addresses,
                         uint32_t& error) {
    in_addr literal = {};
    if (InetPtonA(AF_INET, host.c_str(), &literal) == 1) {
        addresses.assign(1, literal);
        return true;
    }
    if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
        error = kNetworkUpsStoppedError;
        return false;
    }
    const std::shared_ptr<Lookup> lookup = JoinOrStartLookup(host, error);
    if (lookup == nullptr) return false;
    HANDLE handles[2] = {lookup->done.Get(), stop};
    const DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, MsUntilMonotonic(deadline));
    if (woke == WAIT_OBJECT_0 + 1) {
        error = kNetworkUpsStoppedError;
        return false;
    }
    if (woke != WAIT_OBJECT_0) {
        error = kNetworkUpsTimedOutError;
        return false;
    }
    if (lookup->error != 0 || lookup->addresses.empty()) {
        error = lookup->error != 0 ? static_cast<uint32_t>(lookup->error) : WSAHOST_NOT_FOUND;
        return false;
    }
    addresses = lookup->addresses;
    return true;
}

size_t HostLookupsUnderWay() {
    LookupsUnderWay& underWay = UnderWay();
    std::lock_guard<std::mutex> guard(underWay.lock);
    return underWay.byHost.size();
}

void SetHostLookupForTest(HostLookupFn lookup) { lookupInUse = lookup != nullptr ? lookup : &SystemLookup; }
