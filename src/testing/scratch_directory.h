// A fresh folder under %TEMP% that the program takes as its executable's folder for
// the life of a test; removed with everything in it afterwards.
#pragma once

#include <string>

class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // The folder with its trailing backslash.
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

    void WriteFile(const std::string& name, const std::string& bytes) const;
    std::string ReadFile(const std::string& name) const;  // empty when missing
    bool Exists(const std::string& name) const;

    // The message tables and event lists as the product ships them, copied in.
    void CopyShippedDataFiles() const;

private:
    std::string path_;
};
