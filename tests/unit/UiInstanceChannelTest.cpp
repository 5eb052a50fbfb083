// The channel that carries a refused second launch's command line to the running instance.
#include "app/InstanceChannel.h"

#include <gtest/gtest.h>

TEST (InstanceChannel, CarriesTextsToTheListenerOnTheMessageThread)
{
    const juce::String name = "talvek-channel-test-" + juce::String (juce::Random().nextInt64());
    juce::StringArray received;
    bool onMessageThread = true;
    {
        InstanceChannel channel (name);
        ASSERT_TRUE (channel.listen ([&] (const juce::String& text) {
            onMessageThread = onMessageThread && juce::MessageManager::getInstance()->isThisTheMessageThread();
            received.add (text);
        }));

        // The name is taken while the listener lives.
        InstanceChannel rival (name);
        EXPECT_FALSE (rival.listen ([] (const juce::String&) {}));

        EXPECT_TRUE (InstanceChannel::send (name, juce::String (juce::CharPointer_UTF8 ("one \xc3\xa9"))));
        EXPECT_TRUE (InstanceChannel::send (name, {}));
        EXPECT_TRUE (InstanceChannel::send (name, juce::String::repeatedString ("x", 100000)));
        const auto end = juce::Time::getMillisecondCounter() + 5000;
        while (received.size() < 3 && juce::Time::getMillisecondCounter() < end)
            juce::MessageManager::getInstance()->runDispatchLoopUntil (20);
    }
    ASSERT_EQ (received.size(), 3);
    EXPECT_EQ (received[0], juce::String (juce::CharPointer_UTF8 ("one \xc3\xa9")));
    EXPECT_EQ (received[1], "");
    EXPECT_EQ (received[2].length(), InstanceChannel::maxTextBytes);
    EXPECT_TRUE (onMessageThread);

    // Nobody listens any more.
    EXPECT_FALSE (InstanceChannel::send (name, "lost", 300));
}
