#include "workflow/UpdateHistory.h"

#include "devicelink/FlashLayout.h"
#include "workflow/Recovery.h"
#include "workflow/UpdateWorkflow.h"

#include <juce_cryptography/juce_cryptography.h>

namespace
{
// Printable ASCII as it is, anything else as '.', trailing blanks and erased bytes dropped.
juce::String textOf (const std::uint8_t* bytes, std::size_t size)
{
    juce::String text;
    for (std::size_t i = 0; i < size; ++i)
        text << (bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char> (bytes[i]) : '.');
    return text.trimCharactersAtEnd (". ");
}

// Entries are small; a longer line is no entry of ours and is not kept in memory whole.
constexpr int longestLine = 64 * 1024;
} // namespace

juce::var UpdateHistoryEntry::toVar() const
{
    auto* o = new juce::DynamicObject();
    o->setProperty ("time", time);
    o->setProperty ("event", event);
    o->setProperty ("port", port);
    o->setProperty ("identity", identity);
    o->setProperty ("identityHex", identityHex);
    o->setProperty ("file", file);
    o->setProperty ("fileBytes", fileBytes);
    o->setProperty ("fileSha256", fileSha256);
    o->setProperty ("script", script);
    if (event == "ended")
        o->setProperty ("outcome", outcome);
    return juce::var (o);
}

std::optional<UpdateHistoryEntry> UpdateHistoryEntry::fromVar (const juce::var& v)
{
    if (! v.isObject() || ! v["time"].isString() || ! v["event"].isString())
        return std::nullopt;
    UpdateHistoryEntry e;
    e.time = v["time"].toString();
    e.event = v["event"].toString();
    e.port = v["port"].toString();
    e.identity = v["identity"].toString();
    e.identityHex = v["identityHex"].toString();
    e.file = v["file"].toString();
    e.fileBytes = static_cast<juce::int64> (v["fileBytes"]);
    e.fileSha256 = v["fileSha256"].toString();
    e.script = v["script"].toString();
    e.outcome = v["outcome"].toString();
    return e;
}

namespace UpdateHistory
{
juce::Result append (const juce::File& historyFile, const UpdateHistoryEntry& entry)
{
    auto line = juce::JSON::toString (entry.toVar(), true) + "\n";

    // A line that a cut left without its end gets one first: the new entry starts a line.
    if (historyFile.getSize() > 0)
    {
        juce::FileInputStream in (historyFile);
        if (! in.openedOk())
            return juce::Result::fail ("can't read " + historyFile.getFullPathName() + ": "
                                       + in.getStatus().getErrorMessage());
        in.setPosition (in.getTotalLength() - 1);
        if (in.readByte() != '\n')
            line = "\n" + line;
    }

    {
        juce::FileOutputStream out (historyFile); // appends
        if (! out.openedOk())
            return juce::Result::fail ("can't write " + historyFile.getFullPathName() + ": "
                                       + out.getStatus().getErrorMessage());
        const auto utf8 = line.toUTF8();
        if (! out.write (utf8.getAddress(), utf8.sizeInBytes() - 1))
            return juce::Result::fail ("can't write " + historyFile.getFullPathName());
        out.flush();
        if (out.getStatus().failed())
            return juce::Result::fail ("can't write " + historyFile.getFullPathName() + ": "
                                       + out.getStatus().getErrorMessage());
    }
    return Recovery::syncToDisk (historyFile);
}

Contents read (const juce::File& historyFile)
{
    Contents contents;
    juce::FileInputStream file (historyFile);
    if (! file.openedOk())
        return contents;
    juce::BufferedInputStream in (file, 65536); // read byte by byte below
    while (! in.isExhausted())
    {
        // Read by hand, so that a line without its end is taken as it is, and a huge one is cut.
        juce::MemoryOutputStream line;
        bool tooLong = false;
        while (! in.isExhausted())
        {
            const auto c = in.readByte();
            if (c == '\n')
                break;
            if (line.getDataSize() < static_cast<size_t> (longestLine))
                line.writeByte (c);
            else
                tooLong = true;
        }
        const auto text = line.toUTF8().trim();
        if (text.isEmpty())
            continue;
        juce::var value;
        const auto entry = tooLong || juce::JSON::parse (text, value).failed() ? std::nullopt
                                                                               : UpdateHistoryEntry::fromVar (value);
        if (entry.has_value())
            contents.entries.push_back (*entry);
        else
            ++contents.damagedLines;
    }
    return contents;
}
} // namespace UpdateHistory

UpdateHistoryRecorder::UpdateHistoryRecorder (juce::File file) : historyFile (std::move (file)) {}

juce::Result UpdateHistoryRecorder::screenSaverBlocked (const UpdateWorkflow& w, bool blocked)
{
    if (! blocked)
    {
        if (state == State::running)
            state = State::ending;
        return juce::Result::ok();
    }

    current = {};
    current.time = juce::Time::getCurrentTime().toISO8601 (true);
    current.event = "started";
    current.port = w.jobs().communication.getSelectedOutputName();
    const auto& id = w.identityState().deviceIdBytes;
    current.identity = textOf (id.data(), id.size());
    current.identityHex = hexOf (id);
    const juce::File file (w.updateFile());
    current.file = file.getFullPathName();
    if (juce::FileInputStream in (file); in.openedOk())
    {
        current.fileBytes = in.getTotalLength();
        // The digest reads 64 bytes at a time: unbuffered, that is a system call each.
        juce::BufferedInputStream buffered (in, 65536);
        current.fileSha256 = juce::SHA256 (buffered).toHexString().removeCharacters (" ");
    }
    // The instrument's own area at 40000h is kept by the update of a 256 KiB file only.
    current.script = current.fileBytes == FlashLayout::updateUnit ? "B" : "A";
    state = State::running;
    return UpdateHistory::append (historyFile, current);
}

juce::Result UpdateHistoryRecorder::statusShown (const juce::String& status)
{
    if (state != State::ending)
        return juce::Result::ok();
    state = State::idle;
    auto ended = current;
    ended.time = juce::Time::getCurrentTime().toISO8601 (true);
    ended.event = "ended";
    ended.outcome = status.trim();
    return UpdateHistory::append (historyFile, ended);
}
