#include "workflow/IdentityState.h"

#include <juce_gui_basics/juce_gui_basics.h>

UpdateIdentityState& identityState()
{
    static UpdateIdentityState state;
    return state;
}

void resetIdentityState()
{
    allowScreenSaver();
    identityState() = {};
}

namespace
{
// Without a display (headless tests) the framework's screen-saver call has no server to talk
// to, so only the flag changes there.
void setScreenSaver (bool enabled)
{
    if (! juce::Desktop::getInstance().isHeadless())
        juce::Desktop::setScreenSaverEnabled (enabled);
}
} // namespace

void blockScreenSaver()
{
    auto& state = identityState();
    if (state.screenSaverBlocked)
        return;
    setScreenSaver (false);
    state.screenSaverBlocked = true;
}

void allowScreenSaver()
{
    auto& state = identityState();
    if (! state.screenSaverBlocked)
        return;
    setScreenSaver (true);
    state.screenSaverBlocked = false;
}
