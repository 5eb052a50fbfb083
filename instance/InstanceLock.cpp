#include "instance/InstanceLock.h"

#if ! JUCE_WINDOWS
 #include <fcntl.h>
 #include <sys/file.h>
 #include <sys/stat.h>
 #include <unistd.h>

 #include <cerrno>
 #include <cstring>
#endif

InstanceLock::InstanceLock (const juce::File& folder) : file (folder.getChildFile (fileName)) {}

InstanceLock::~InstanceLock() { release(); }

#if ! JUCE_WINDOWS

InstanceLock::Outcome InstanceLock::tryAcquire()
{
    if (isHeld())
        return Outcome::acquired;

    error.clear();
    const auto fail = [this] (const char* what)
    {
        const int code = errno;
        error = juce::String (what) + " " + file.getFullPathName() + ": " + juce::String (std::strerror (code));
        return Outcome::failed;
    };

    // A link planted in place of the file must not move the lock elsewhere.
    const int fd = ::open (file.getFullPathName().toRawUTF8(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return fail ("Can't open");

    struct stat info {};
    if (::fstat (fd, &info) != 0)
    {
        const auto outcome = fail ("Can't examine");
        ::close (fd);
        return outcome;
    }
    if (! S_ISREG (info.st_mode) || info.st_uid != ::geteuid())
    {
        ::close (fd);
        error = file.getFullPathName() + " is not a file of this user";
        return Outcome::failed;
    }

    if (::flock (fd, LOCK_EX | LOCK_NB) != 0)
    {
        const auto outcome = (errno == EWOULDBLOCK || errno == EAGAIN) ? Outcome::heldByAnother : fail ("Can't lock");
        ::close (fd);
        return outcome;
    }

    descriptor = fd;
    return Outcome::acquired;
}

void InstanceLock::release()
{
    if (descriptor < 0)
        return;
    // The file stays: removing it would let a copy that opened it just before lock a file that
    // no longer has a name while a third copy locks a new one.
    ::close (descriptor);
    descriptor = -1;
}

#else

InstanceLock::Outcome InstanceLock::tryAcquire()
{
    if (isHeld())
        return Outcome::acquired;
    error.clear();
    auto lock = std::make_unique<juce::InterProcessLock> (machineLockName());
    if (! lock->enter (0))
        return Outcome::heldByAnother;
    machineLock = std::move (lock);
    descriptor = 0;
    return Outcome::acquired;
}

void InstanceLock::release()
{
    machineLock.reset();
    descriptor = -1;
}

#endif

juce::String InstanceLock::machineLockName()
{
    // As the framework names it for an application that allows one copy.
    return juce::String ("juceAppLock_") + JUCE_APPLICATION_NAME_STRING;
}
