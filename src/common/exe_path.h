// Where the program's files live: the folder of the running executable.
#pragma once

#include <string>

// The executable's folder with its trailing backslash ("C:\Voltwarden\").
std::string ExeDirectory();

// ExeDirectory() joined with a file or folder name.
std::string ExeRelativePath(const std::string& name);

// Joins a folder and a name with exactly one backslash between them.
std::string JoinPath(const std::string& folder, const std::string& name);

// True when `folder` is a directory afterwards, created one level deep when missing;
// another process creating it at the same moment counts as success. On failure
// GetLastError() tells why (ERROR_DIRECTORY when a plain file holds the name).
bool EnsureFolder(const std::string& folder);

// Tests point the program at a scratch folder; an empty text restores the real one.
void SetExeDirectoryForTest(const std::string& directoryWithTrailingBackslash);
