// Cutting the network UPS protocol's lines out of the bytes received so far: one reader
// for the server and the client, so that both end a line and refuse a long one alike.
#pragma once

#include <cstddef>
#include <string>

enum class NutLineStatus {
    Complete,    // a whole line is waiting
    Incomplete,  // no line end yet: receive more
    TooLong,     // longer than the limit, complete or not: the peer is not speaking the protocol
};

struct NutLine {
    NutLineStatus Status = NutLineStatus::Incomplete;
    // Without its line end: LF, CR LF and CR CR LF (a Windows client's WriteLine of a line
    // ending in CR) all end the same line, so every CR right before the LF is dropped.
    std::string Text;
    size_t Length = 0;  // bytes the line takes at the start of the buffer, its LF included
};

// The line at the start of `buffer`, left where it is: the caller erases Length bytes once
// it has used the line (a server may hold a line back and answer it later). A line whose
// bytes before the LF exceed `maxLineBytes`, or more than `maxLineBytes` bytes without an
// LF, is TooLong.
NutLine NextNutLine(const std::string& buffer, size_t maxLineBytes);
