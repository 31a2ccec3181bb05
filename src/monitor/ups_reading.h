// The latest measurements of the UPS as its last record gave them, kept for readers
// outside the monitor (the network UPS protocol server). The event callback writes
// it; readers take a copy under a lock, so a record is never seen half written.
#pragma once

#include <cstdint>

#include "ups/network_ups_events.h"
#include "ups/ups_library.h"
#include "ups/ups_measurements.h"

struct UpsReading {
    bool HasRecord = false;
    int64_t Device = -1;      // the device the record came from
    int64_t RecordedAt = 0;   // UnbiasedNow() of the record
    // The record's text fields as the UPS gave them, by UpsMeasurement (empty when it left
    // one empty).
    UpsMeasurementTexts Measurements;
    bool BatteryChargeKnown = false;  // the last GetCurrentBatteryLevel for this device succeeded
    int32_t BatteryCharge = 0;
    bool MainsFailed = false;
    // Set by a battery-low event of this device; cleared when mains power returns
    // after a failure (the battery is charging again) or another device reports.
    bool BatteryLow = false;
};

// A record of `device` with the charge that was asked for it.
void StoreUpsRecord(int64_t device, const StatusRecord& record, bool chargeKnown, int32_t charge);
// Called by the event callback for every record of the current device, before its charge
// has been asked: the charge last answered for the same device stays until the answer.
void StoreUpsRecordKeepingCharge(int64_t device, const StatusRecord& record);
// The readings of a UPS that another machine serves, its charge with them.
void StoreNetworkUpsReadings(int64_t device, const NetworkUpsReadings& readings);
// The answer to the battery-level query of a record of `device`; nothing when a record
// of another device has come since.
void StoreUpsCharge(int64_t device, bool chargeKnown, int32_t charge);
// Called by the event callback for a battery-low event of the current device.
void StoreUpsBatteryLow(int64_t device);

UpsReading LatestUpsReading();

void ResetUpsReadingForTest();
