// The event source's registry key: it names the message file that renders our entries
// in the Event Viewer. INSTALL writes it and UNINSTALL removes it.
#pragma once

#include <string>

// HKEY_LOCAL_MACHINE\<this>: the Application log's key for our event source.
std::string EventSourceKeyPath();

// Creates or overwrites the key with EventMessageFile (`exePath`, as a literal REG_SZ
// path) and TypesSupported (7: error, warning, information). A failed call is logged
// as "<call>():ER=<code>"; returns false then.
bool WriteEventSourceKey(const std::string& exePath);

// Deletes the key; a key that is already gone counts as deleted. A failed call is
// logged as "RegDeleteKey():ER=<code>"; returns false then.
bool DeleteEventSourceKey();
