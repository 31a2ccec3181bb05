// A measurement record for tests, made from its seven text fields.
#pragma once

#include <cstddef>
#include <cstring>

#include "ups/ups_library.h"

namespace status_record_detail {

// Copies at most the field's width: a text as long as the field fills it without a NUL.
template <size_t Width>
void SetText(char (&field)[Width], const char* text) {
    std::memset(field, 0, Width);
    std::memcpy(field, text, strnlen(text, Width));
}

}  // namespace status_record_detail

// Field1 to Field7 in order, mains present.
inline StatusRecord StatusRecordOf(const char* field1, const char* field2, const char* field3, const char* field4,
                                   const char* field5, const char* field6, const char* field7) {
    using status_record_detail::SetText;
    StatusRecord record = {};
    SetText(record.Field1, field1);
    SetText(record.Field2, field2);
    SetText(record.Field3, field3);
    SetText(record.Field4, field4);
    SetText(record.Field5, field5);
    SetText(record.Field6, field6);
    SetText(record.Field7, field7);
    return record;
}
