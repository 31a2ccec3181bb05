// Files only the computer's administrators may read or change: Setting.ini holds the
// passwords of the network UPS server and of the followed UPS.
#pragma once

#include "common/scoped_handle.h"
#include "common/win32.h"

// A security descriptor whose DACL grants full control to SYSTEM and Administrators
// and nobody else, protected from what the folder would pass on (Program Files gives
// Users read). A file created with it keeps it when it is moved over the old one.
class AdminOnlySecurity {
public:
    AdminOnlySecurity();
    // Null when the descriptor could not be made (GetLastError() tells why).
    SECURITY_ATTRIBUTES* Attributes() { return descriptor_ ? &attributes_ : nullptr; }

private:
    ScopedLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_ = {};
};
