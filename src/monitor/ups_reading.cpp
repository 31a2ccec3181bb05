#include "monitor/ups_reading.h"

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

// Makes `next` the latest reading: the battery-low flag carries over from the same
// device until mains returns, and so does the charge when `keepCharge` is set.
void StoreReading(UpsReading next, bool keepCharge) {
    next.HasRecord = true;
    next.RecordedAt = UnbiasedNow();
    std::lock_guard<std::mutex> guard(Latest().lock);
    UpsReading& latest = Latest().reading;
    const bool sameDevice = latest.Device == next.Device;
    const bool mainsReturned = latest.HasRecord && latest.MainsFailed && !next.MainsFailed;
    next.BatteryLow = sameDevice && latest.BatteryLow && !mainsReturned;
    if (keepCharge) {
        next.BatteryChargeKnown = sameDevice && latest.BatteryChargeKnown;
        next.BatteryCharge = sameDevice ? latest.BatteryCharge : 0;
    }
    latest = std::move(next);
}

void Store(int64_t device, const StatusRecord& record, bool keepCharge, bool chargeKnown, int32_t charge) {
    UpsReading next;
    next.Device = device;
    next.Measurements = RecordMeasurementTexts(record);
    next.BatteryChargeKnown = chargeKnown;
    next.BatteryCharge = charge;
    next.MainsFailed = record.MainsFailed == 1;
    StoreReading(std::move(next), keepCharge);
}

}  // namespace

void StoreUpsRecord(int64_t device, const StatusRecord& record, bool chargeKnown, int32_t charge) {
    Store(device, record, false, chargeKnown, charge);
}

void StoreUpsRecordKeepingCharge(int64_t device, const StatusRecord& record) { Store(device, record, true, false, 0); }

void StoreNetworkUpsReadings(int64_t device, const NetworkUpsReadings& readings) {
    UpsReading next;
    next.Device = device;
    next.Measurements = readings.Measurements;
    next.BatteryChargeKnown = readings.ChargeKnown;
    next.BatteryCharge = readings.ChargeKnown ? readings.Charge : 0;
    next.MainsFailed = readings.MainsFailed;
    StoreReading(std::move(next), false);
}

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
