#include "monitor/ups_reading.h"

#include <cstring>
#include <mutex>

#include "common/clock.h"

namespace {

// The latest reading and its lock live until the process ends: the library's event
// thread may still store a record while the process exits.
struct LatestReading {
    std::mutex lock;
    UpsReading reading;
};

LatestReading& Latest() {
    static auto* latest = new LatestReading;
    return *latest;
}

std::string Field(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

void Store(int64_t device, const StatusRecord& record, bool keepCharge, bool chargeKnown, int32_t charge) {
    UpsReading next;
    next.HasRecord = true;
    next.Device = device;
    next.RecordedAt = MonotonicNow();
    next.InputVoltage = Field(record.Field1, sizeof(record.Field1));
    next.InputFrequency = Field(record.Field2, sizeof(record.Field2));
    next.OutputVoltage = Field(record.Field3, sizeof(record.Field3));
    next.OutputFrequency = Field(record.Field4, sizeof(record.Field4));
    next.Load = Field(record.Field5, sizeof(record.Field5));
    next.Temperature = Field(record.Field6, sizeof(record.Field6));
    next.BatteryVoltage = Field(record.Field7, sizeof(record.Field7));
    next.BatteryChargeKnown = chargeKnown;
    next.BatteryCharge = charge;
    next.MainsFailed = record.MainsFailed == 1;

    std::lock_guard<std::mutex> guard(Latest().lock);
    UpsReading& latest = Latest().reading;
    const bool sameDevice = latest.Device == device;
    const bool mainsReturned = latest.HasRecord && latest.MainsFailed && !next.MainsFailed;
    next.BatteryLow = sameDevice && latest.BatteryLow && !mainsReturned;
    if (keepCharge) {
        next.BatteryChargeKnown = sameDevice && latest.BatteryChargeKnown;
        next.BatteryCharge = sameDevice ? latest.BatteryCharge : 0;
    }
    latest = std::move(next);
}

}  // namespace

void StoreUpsRecord(int64_t device, const StatusRecord& record, bool chargeKnown, int32_t charge) {
    Store(device, record, false, chargeKnown, charge);
}

void StoreUpsRecordKeepingCharge(int64_t device, const StatusRecord& record) { Store(device, record, true, false, 0); }

void StoreUpsCharge(int64_t device, bool chargeKnown, int32_t charge) {
    std::lock_guard<std::mutex> guard(Latest().lock);
    UpsReading& latest = Latest().reading;
    if (!latest.HasRecord || latest.Device != device) return;
    latest.BatteryChargeKnown = chargeKnown;
    latest.BatteryCharge = charge;
}

void StoreUpsBatteryLow(int64_t device) {
    std::lock_guard<std::mutex> guard(Latest().lock);
    UpsReading& latest = Latest().reading;
    if (latest.Device != device) {
        latest = UpsReading();
        latest.Device = device;
    }
    latest.BatteryLow = true;
}

UpsReading LatestUpsReading() {
    std::lock_guard<std::mutex> guard(Latest().lock);
    return Latest().reading;
}

void ResetUpsReadingForTest() {
    std::lock_guard<std::mutex> guard(Latest().lock);
    Latest().reading = UpsReading();
}
