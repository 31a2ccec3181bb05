// What a UPS served by another machine reports through the event callback beside the
// library's own codes (ups/ups_library.h). The network UPS source (network_ups/) fills
// the same table of entry points as the maker's library and sends codes 1 to 5 as the
// library does; these two codes carry what only a network UPS says. The maker's
// library never sends them.
#pragma once

#include <cstdint>

#include "ups/ups_measurements.h"

// The UPS's readings, taken by the source once a second at most. `data` is a
// NetworkUpsReadings made with new; the callee deletes it. The first one after a
// connection says what holds now, as the library's first record does.
constexpr int32_t kUpsEventNetworkReadings = 1060;
// The serving machine has begun its shutdown (FSD in ups.status): no data. Sent once
// when the word appears.
constexpr int32_t kUpsEventForcedShutdown = 1061;

// The longest silence of a network UPS whose server still answers within its limits:
// the source reports after every answer, and one poll asks at most two questions (the
// status, then the measurements) that may each take the whole answer limit. Its silence
// is judged over this time instead of the library's; a server that stops answering is
// found lost by the source itself, within one answer limit.
constexpr int64_t kNetworkUpsSilenceLimitSeconds = 25;

struct NetworkUpsReadings {
    bool MainsFailed = false;  // ups.status holds the word OB
    // False until the measurements have been read once on this connection: the record
    // then says only whether mains holds (the status is reported before anything else).
    bool MeasurementsRead = false;
    // The variable of each measurement the record carries (kUpsMeasurementVariables), by
    // UpsMeasurement; one the UPS does not have, or gave as anything but a plain decimal
    // number, is empty.
    UpsMeasurementTexts Measurements;
    bool ChargeKnown = false;  // battery.charge
    int32_t Charge = 0;        // its whole percent, 0..100
};
