#pragma once

// Shared by the workflow tests: a log view that records what was printed and how, a private
// state folder per test, synthetic update files, and message-loop pumping.

#include "messages/CustomMessage.h"
#include "workflow/Recovery.h"
#include "support/Environment.h"
#include "support/ScratchFolder.h"

#include <juce_events/juce_events.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace workflowtest
{
// Runs the message loop for `ms` milliseconds.
inline void pump (int ms) { juce::MessageManager::getInstance()->runDispatchLoopUntil (ms); }

// Runs the message loop until `done` holds or `timeoutMs` passed; returns whether it held.
inline bool pumpUntil (const std::function<bool()>& done, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32> (timeoutMs);
    while (! done())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;
        pump (5);
    }
    return true;
}

// Delivers every message posted so far: the queue is first in, first out, so once a message
// posted now has arrived, all earlier ones have too.
inline void drain()
{
    struct Sentinel : juce::MessageListener
    {
        void handleMessage (const juce::Message&) override { arrived = true; }
        bool arrived = false;
    } sentinel;
    sentinel.postMessage (new juce::Message());
    EXPECT_TRUE (pumpUntil ([&] { return sentinel.arrived; }, 30000));
}

// Takes a log view's place: keeps every appended piece of text with the colour and boldness in
// force.
class LogRecorder : public juce::MessageListener
{
public:
    struct Run
    {
        juce::String text;
        std::uint32_t colour = 0xFF000000;
        bool bold = false;
    };

    void handleMessage (const juce::Message& message) override
    {
        if (const auto* m = dynamic_cast<const CCustomMessage*> (&message))
        {
            if (m->code == MessageCode::LogSetTextColour)
                colour = static_cast<std::uint32_t> (m->param1);
            else if (m->code == MessageCode::LogSetBold)
                bold = m->param1 != 0;
            else if (m->code == MessageCode::LogClear)
                runs.clear();
            else if (m->code == MessageCode::LogAppendText && m->data != nullptr)
                runs.push_back ({ juce::String (juce::CharPointer_UTF16 (
                                      reinterpret_cast<const juce::CharPointer_UTF16::CharType*> (m->data->c_str()))),
                                  colour, bold });
        }
    }

    juce::String all() const
    {
        juce::String text;
        for (const auto& run : runs)
            text << run.text;
        return text;
    }

    // The first run that contains `text`, or null.
    const Run* find (const juce::String& text) const
    {
        for (const auto& run : runs)
            if (run.text.contains (text))
                return &run;
        return nullptr;
    }

    int count (const juce::String& text) const
    {
        int n = 0;
        for (int from = all().indexOf (text); from >= 0; from = all().indexOf (from + text.length(), text))
            ++n;
        return n;
    }

    std::vector<Run> runs;

private:
    std::uint32_t colour = 0xFF000000;
    bool bold = false;
};

// A fresh folder for the update's files, named by TALVEK_STATE_DIR while the object lives.
class ScopedStateFolder
{
public:
    ScopedStateFolder()
        : folder (makeScratchFolder ("talvek-workflow").getChildFile ("state")),
          variable (Recovery::folderVariable, folder.getFullPathName().toStdString())
    {
    }

    ~ScopedStateFolder() { folder.getParentDirectory().deleteRecursively(); }

    Recovery::Paths paths() const { return Recovery::pathsIn (folder); }
    juce::File file (const char* name) const { return folder.getChildFile (name); }
    juce::File scratch() const { return folder.getParentDirectory(); } // for update files

    const juce::File folder;

private:
    ScopedEnvironment variable;
};

using Bytes12 = std::array<std::uint8_t, 12>;

inline Bytes12 bytes12 (const char* text)
{
    Bytes12 b {};
    for (std::size_t i = 0; i < b.size() && text[i] != 0; ++i)
        b[i] = static_cast<std::uint8_t> (text[i]);
    return b;
}

// An update image that passes every rule for `id` and `tag`, unless told otherwise.
struct ImageSpec
{
    std::size_t size = 0x40000;
    Bytes12 id = bytes12 ("TALVEK DM-10");
    std::array<std::uint8_t, 2> tag { 'T', '1' };
    std::uint8_t first = 0x02;
    bool marker = true;
};

inline std::vector<std::uint8_t> makeImage (const ImageSpec& spec)
{
    std::vector<std::uint8_t> image (spec.size);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t> ((i * 7 + (i >> 12)) & 0x7F);
    const auto put = [&image] (std::size_t at, const std::uint8_t* data, std::size_t n)
    {
        for (std::size_t i = 0; i < n && at + i < image.size(); ++i)
            image[at + i] = data[i];
    };
    const std::uint8_t version[] = { spec.first, 'v', '1', '.', '0', '7', 0 };
    put (0, version, sizeof (version));
    if (spec.marker)
        put (0xFFF8, reinterpret_cast<const std::uint8_t*> ("BD"), 2);
    put (0x1FFF4, spec.id.data(), spec.id.size());
    put (0x9E0000, spec.tag.data(), spec.tag.size());
    return image;
}

inline juce::File writeImage (const juce::File& file, const std::vector<std::uint8_t>& image)
{
    file.getParentDirectory().createDirectory();
    file.replaceWithData (image.data(), image.size());
    return file;
}
} // namespace workflowtest
