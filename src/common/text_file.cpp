#include "common/text_file.h"

#include <cstring>

#include "common/scoped_handle.h"
#include "common/win32.h"

namespace {

constexpr DWORD kChunkBytes = 64 * 1024;

// FILE_SHARE_DELETE lets a writer move a new file over this one mid-read; the
// reader then finishes the old content, which is whole.
ScopedFileHandle OpenForReading(const std::string& path) {
    return ScopedFileHandle(CreateFileA(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Reads the next chunk; `got` is 0 at the end of the file.
bool ReadChunk(HANDLE file, char* buffer, DWORD& got) {
    got = 0;
    return ReadFile(file, buffer, kChunkBytes, &got, nullptr) != FALSE;
}

// Hands over one complete line, dropping a CR that stood right before its LF.
bool DeliverLine(std::string& line, const TextLineVisitor& visit) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool goOn = visit(line);
    line.clear();
    return goOn;
}

}  // namespace

bool ReadTextLines(const std::string& path, const TextLineVisitor& visit) {
    ScopedFileHandle file = OpenForReading(path);
    if (!file) return false;

    std::string buffer(kChunkBytes, '\0');
    std::string line;
    for (;;) {
        DWORD got = 0;
        if (!ReadChunk(file.Get(), &buffer[0], got)) return false;
        if (got == 0) break;
        size_t start = 0;
        for (;;) {
            const void* found = std::memchr(buffer.data() + start, '\n', got - start);
            if (found == nullptr) {
                line.append(buffer, start, got - start);
                break;
            }
            size_t end = static_cast<const char*>(found) - buffer.data();
            line.append(buffer, start, end - start);
            if (!DeliverLine(line, visit)) return true;
            start = end + 1;
        }
    }
    // The last line has no LF, so a CR at its end was never a line end: it stays.
    if (!line.empty()) visit(line);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    ScopedFileHandle file = OpenForReading(path);
    if (!file) return false;
    std::string buffer(kChunkBytes, '\0');
    for (;;) {
        DWORD got = 0;
        if (!ReadChunk(file.Get(), &buffer[0], got)) return false;
        if (got == 0) return true;
        content.append(buffer, 0, got);
    }
}

std::vector<std::string> SplitAtCommas(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t comma = line.find(',', start);
        if (comma == std::string::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    return fields;
}
