#include "common/file_security.h"

#include <sddl.h>

namespace {

// Protected (P): nothing inherited. Full file access (FA) for SYSTEM (SY) and the
// Administrators group (BA).
constexpr char kAdminOnlySddl[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

AdminOnlySecurity::AdminOnlySecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kAdminOnlySddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return;
    }
    descriptor_.Reset(descriptor);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor;
    attributes_.bInheritHandle = FALSE;
}
