// Watches the control file NervaUPSSim.ini by its time stamp and size, so that a look
// costs one attribute query and the file is read only when it may have changed.
#pragma once

#include <cstdint>
#include <string>

class ControlFileWatch {
public:
    explicit ControlFileWatch(std::string path) : path_(std::move(path)) {}

    enum class Look {
        Unchanged,   // the content taken last still stands
        Read,        // `text` holds the content as it is now (empty when there is no file)
        Unreadable,  // the file could not be read whole now; look again soon
    };

    // Not thread-safe: the caller serialises looks and acts on each result before the next.
    Look LookAt(std::string& text);

    // True while a look soon is needed even without a change notification: after a failed
    // read, and while the file is so new that a rewrite could leave the same stamp.
    bool WantsAnotherLook() const { return !settled_; }

private:
    struct Stamp {
        bool Exists = false;
        uint64_t LastWrite = 0;  // 100-ns units since 1601, as Windows keeps file times
        uint64_t Size = 0;
        bool operator==(const Stamp& other) const {
            return Exists == other.Exists && LastWrite == other.LastWrite && Size == other.Size;
        }
    };

    bool ReadStamp(Stamp& stamp) const;
    bool ReadAgreedText(std::string& text) const;

    std::string path_;
    bool taken_ = false;   // a content has been taken, with the stamp it had
    Stamp takenStamp_;
    bool settled_ = false;
};
