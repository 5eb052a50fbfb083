// One JUCE initialiser for the whole test run, and an X error handler that keeps a test
// executable alive under a bare X server (no window manager answers the atoms JUCE asks for).
#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#if JUCE_LINUX || JUCE_BSD
 #include <dlfcn.h>
#endif

namespace
{
#if JUCE_LINUX || JUCE_BSD
int ignoreXError (void*, void*) { return 0; }

void installLenientXErrorHandler()
{
    if (void* x11 = dlopen ("libX11.so.6", RTLD_LAZY | RTLD_GLOBAL))
    {
        using Handler = int (*) (void*, void*);
        using SetHandler = Handler (*) (Handler);
        if (auto set = reinterpret_cast<SetHandler> (dlsym (x11, "XSetErrorHandler")))
            set (&ignoreXError);
    }
}
#else
void installLenientXErrorHandler() {}
#endif

class JuceEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { juce = std::make_unique<juce::ScopedJuceInitialiser_GUI>(); }
    void TearDown() override { juce.reset(); }

private:
    std::unique_ptr<juce::ScopedJuceInitialiser_GUI> juce;
};
} // namespace

int main (int argc, char** argv)
{
    installLenientXErrorHandler();
    ::testing::InitGoogleTest (&argc, argv);
    ::testing::AddGlobalTestEnvironment (new JuceEnvironment());
    return RUN_ALL_TESTS();
}
