#pragma once

#include "messages/CustomMessage.h"

#include <juce_events/juce_events.h>

// What a log view would show: the text of the printer's messages, without the widget.
class LogTextView : public juce::MessageListener
{
public:
    void handleMessage (const juce::Message& message) override
    {
        const auto* m = dynamic_cast<const CCustomMessage*> (&message);
        if (m == nullptr)
            return;
        if (m->code == MessageCode::LogAppendText && m->data != nullptr)
            text += juce::String (juce::CharPointer_UTF16 (reinterpret_cast<const juce::CharPointer_UTF16::CharType*> (m->data->c_str())));
        else if (m->code == MessageCode::LogClear)
            text.clear();
    }

    void clear() { text.clear(); }
    juce::String getText() const { return text; }

private:
    juce::String text;
};
