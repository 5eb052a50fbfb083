#include "app/Application.h"
#include "common/Utf8.h"

#include <vector>

JUCE_CREATE_APPLICATION_DEFINE (ZKTProgrammerV2Application)

#if JUCE_WINDOWS
JUCE_MAIN_FUNCTION_DEFINITION
#else
extern "C" int main (int argc, char* argv[])
{
    // The framework makes its command line of argv as if every argument were well-formed
    // UTF-8, and reads past the end of one that is not. The window only tells a command line it
    // cannot use from none, so such an argument is handed on as a placeholder.
    static char placeholder[] = "?";
    std::vector<const char*> checked (argv, argv + argc);
    checked.push_back (nullptr);
    for (int i = 1; i < argc; ++i)
        if (! utf8::isWellFormed (argv[i]))
            checked[static_cast<std::size_t> (i)] = placeholder;

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    return juce::JUCEApplicationBase::main (argc, checked.data());
}
#endif
