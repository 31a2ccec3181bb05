// Text that the serving machine sends and that we pass on (the model): cut to a small set
// that no file format, script or shell we hand it to treats specially.
#pragma once

#include <cstddef>
#include <string>

// The longest text taken: the model goes into Status.ini, the event log, the Windows events,
// our own network server's ups.model and the HTML report.
constexpr size_t kMaxNetworkUpsTextBytes = 64;

// `sent` with every byte dropped but ASCII letters and digits, the blank and . - _ / ( ) +,
// without blanks at either end, and at most kMaxNetworkUpsTextBytes long. Empty when
// nothing of it is left.
std::string NetworkUpsText(const std::string& sent);
