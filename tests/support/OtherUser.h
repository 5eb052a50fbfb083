#pragma once

// Acting as a second user of the machine, to check what one user's copy of the tool does with
// another user's: only root can switch, and the tests run as root in CI.
#include <grp.h>
#include <sys/types.h>
#include <unistd.h>

namespace other_user
{
// nobody / nogroup on Debian.
constexpr uid_t uid = 65534;
constexpr gid_t gid = 65534;

inline bool canSwitch() { return ::geteuid() == 0; }

// For a forked child only (system calls alone): drops every group and becomes the other user
// for good. False when the switch did not happen.
inline bool become()
{
    return ::setgroups (0, nullptr) == 0 && ::setresgid (gid, gid, gid) == 0 && ::setresuid (uid, uid, uid) == 0
           && ::geteuid() == uid;
}
} // namespace other_user

#define TALVEK_REQUIRE_OTHER_USER()                                                          \
    if (! other_user::canSwitch())                                                           \
        GTEST_SKIP() << "acting as another user needs root (the CI runs the tests as root)"
