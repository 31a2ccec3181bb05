// Where the program's files live: the folder of the running executable.
#pragma once

#include <string>

// The executable's folder with its trailing backslash ("C:\Voltwarden\").
std::string ExeDirectory();

// ExeDirectory() joined with a file or folder name.
std::string ExeRelativePath(const std::string& name);

// Joins a folder and a name with exactly one backslash between them.
std::string JoinPath(const std::string& folder, const std::string& name);

// Tests point the program at a scratch folder; an empty text restores the real one.
void SetExeDirectoryForTest(const std::string& directoryWithTrailingBackslash);
