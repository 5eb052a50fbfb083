#pragma once

// Setting the process's environment in tests, the same way on POSIX systems and on Windows
// (where the framework reads the system's copy, which _putenv_s keeps up to date).

#include <cstdlib>
#include <optional>
#include <string>

inline void setEnvironment (const char* name, const std::string& value)
{
#if defined(_WIN32)
    ::_putenv_s (name, value.c_str());
#else
    ::setenv (name, value.c_str(), 1);
#endif
}

inline void unsetEnvironment (const char* name)
{
#if defined(_WIN32)
    ::_putenv_s (name, ""); // an empty value removes the variable there
#else
    ::unsetenv (name);
#endif
}

// Sets (or, with nothing, removes) a variable for the object's lifetime, then puts back what was there.
class ScopedEnvironment
{
public:
    ScopedEnvironment (const char* nameIn, const std::optional<std::string>& value) : name (nameIn)
    {
        if (const char* old = std::getenv (name))
            previous = old;
        value ? setEnvironment (name, *value) : unsetEnvironment (name);
    }

    ~ScopedEnvironment() { previous ? setEnvironment (name, *previous) : unsetEnvironment (name); }

    ScopedEnvironment (const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator= (const ScopedEnvironment&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};
