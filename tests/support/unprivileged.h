// Runs a part of a test as a user whom file permissions stop. Tests run as
// root in containers and CI, and root reads a file of mode 000; there the
// effective user becomes "nobody" (65534) for the object's lifetime. An
// ordinary user stays who they are. Only the user changes, not the groups
// (root's group stays), so a folder the test locks a file in must let its
// group search it (mode 0755 or 0711).
#pragma once

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tessary::test {

class ScopedUnprivileged {
public:
#ifdef _WIN32
    // File modes do not stop reading on Windows: permissions never apply.
    ScopedUnprivileged() = default;
    bool PermissionsApply() const { return false; }
#else
    ScopedUnprivileged() {
        if (geteuid() == 0) dropped_ = seteuid(65534) == 0;
    }
    ~ScopedUnprivileged() {
        if (dropped_) (void)!seteuid(0);
    }
    ScopedUnprivileged(const ScopedUnprivileged&) = delete;
    ScopedUnprivileged& operator=(const ScopedUnprivileged&) = delete;

    // Whether permissions now apply (false only for root that could not
    // drop them).
    bool PermissionsApply() const { return dropped_ || geteuid() != 0; }
#endif

private:
    bool dropped_ = false;
};

}  // namespace tessary::test
