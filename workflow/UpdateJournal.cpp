#include "workflow/UpdateJournal.h"

#include "devicelink/SafeFiles.h"

#include <juce_cryptography/juce_cryptography.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace Recovery
{
namespace
{
constexpr const char* header = "talvek-update-journal 1";
constexpr int largestJournal = 4096;

template <std::size_t N>
bool bytesFromHex (const juce::String& text, std::array<std::uint8_t, N>& bytes)
{
    if (text.length() != (int) N * 2 || ! text.containsOnly ("0123456789abcdef"))
        return false;
    for (std::size_t i = 0; i < N; ++i)
        bytes[i] = (std::uint8_t) text.substring ((int) i * 2, (int) i * 2 + 2).getHexValue32();
    return true;
}

bool isDigest (const juce::String& text)
{
    return text.length() == 64 && text.containsOnly ("0123456789abcdef");
}

juce::String digestOfText (const juce::String& text)
{
    const auto utf8 = text.toUTF8();
    return juce::SHA256 (utf8.getAddress(), utf8.sizeInBytes() - 1).toHexString().removeCharacters (" ");
}

juce::String body (const Journal& j)
{
    juce::String text;
    text << header << "\n"
         << "identity " << hexOf (j.instrument.id) << "\n"
         << "tag " << hexOf (j.instrument.tag) << "\n"
         << "script " << juce::String::charToString ((juce::juce_wchar) j.script) << "\n"
         << "file-size " << juce::String (j.fileSize) << "\n"
         << "file-sha256 " << j.fileDigest << "\n"
         << "backup-sha256 " << (j.backupDigest.isEmpty() ? juce::String ("none") : j.backupDigest) << "\n";
    return text;
}

// A byte an interrupted erase or program of `expected` may have left: all of its 0 bits kept.
bool couldBeLeftOf (std::uint8_t read, std::uint8_t expected)
{
    return (read & expected) == expected;
}
} // namespace

juce::String digestOf (const juce::File& file)
{
    auto in = SafeFiles::openForReading (file);
    if (in == nullptr)
        return {};
    return juce::SHA256 (*in).toHexString().removeCharacters (" ");
}

juce::Result writeJournal (const juce::File& file, const Journal& journal)
{
    const auto text = body (journal) + "check " + digestOfText (body (journal)) + "\n";
    const auto fresh = file.getSiblingFile (file.getFileName() + ".new");
    {
        juce::String why;
        auto out = SafeFiles::createForWriting (fresh, &why);
        if (out == nullptr)
            return juce::Result::fail (fresh.getFullPathName() + ": " + why);
        const auto utf8 = text.toUTF8();
        if (! out->write (utf8.getAddress(), utf8.sizeInBytes() - 1))
            return juce::Result::fail ("Can't write " + fresh.getFullPathName());
    }
    return replaceWith (fresh, file);
}

JournalState readJournal (const juce::File& file, Journal& journal)
{
    if (! file.exists())
        return JournalState::none;

    auto in = SafeFiles::openForReading (file);
    if (in == nullptr || in->getTotalLength() > largestJournal)
        return JournalState::damaged;
    return readJournalText (in->readEntireStreamAsString(), journal);
}

JournalState readJournalText (const juce::String& text, Journal& journal)
{
    juce::StringArray lines;
    lines.addLines (text);
    lines.removeEmptyStrings();
    if (lines.size() < 2 || lines[0] != header || ! text.endsWithChar ('\n'))
        return JournalState::damaged;

    std::map<juce::String, juce::String> fields;
    for (int i = 1; i < lines.size(); ++i)
        fields[lines[i].upToFirstOccurrenceOf (" ", false, false)] = lines[i].fromFirstOccurrenceOf (" ", false, false);

    const auto checked = text.upToLastOccurrenceOf ("check ", false, false);
    if (! lines[lines.size() - 1].startsWith ("check ") || fields["check"] != digestOfText (checked))
        return JournalState::damaged;

    Journal j;
    const auto script = fields["script"];
    j.script = script == "A" ? 'A' : 'B';
    j.fileSize = fields["file-size"].getLargeIntValue();
    j.fileDigest = fields["file-sha256"];
    j.backupDigest = fields["backup-sha256"] == "none" ? juce::String() : fields["backup-sha256"];
    if (! bytesFromHex (fields["identity"], j.instrument.id) || ! bytesFromHex (fields["tag"], j.instrument.tag)
        || (script != "A" && script != "B") || j.fileSize <= 0 || ! isDigest (j.fileDigest)
        || ! (j.backupDigest.isEmpty() || isDigest (j.backupDigest)))
        return JournalState::damaged;

    journal = j;
    return JournalState::valid;
}

juce::Result removeJournal (const juce::File& file)
{
    if (file.exists() && ! file.deleteFile())
        return juce::Result::fail ("Can't delete " + file.getFullPathName());
    return syncToDisk (file.getParentDirectory());
}

Binding bind (const Journal& journal, const InstrumentIdentity& read)
{
    constexpr std::size_t tagCompared = 2; // what update files are matched on
    const auto& id = journal.instrument.id;
    const auto& tag = journal.instrument.tag;

    bool exact = std::equal (id.begin(), id.end(), read.id.begin())
                 && std::equal (tag.begin(), tag.begin() + tagCompared, read.tag.begin());
    if (exact)
        return Binding::sameInstrument;

    for (std::size_t i = 0; i < id.size(); ++i)
        if (! couldBeLeftOf (read.id[i], id[i]))
            return Binding::otherInstrument;
    for (std::size_t i = 0; i < tagCompared; ++i)
        if (! couldBeLeftOf (read.tag[i], tag[i]))
            return Binding::otherInstrument;
    return Binding::unreadable;
}
AreaEvidence judgeArea (const juce::MemoryBlock& area, const AreaSources& sources)
{
    if (area.getSize() != (std::size_t) FlashLayout::paramAreaLength
        || (sources.backup != nullptr && sources.backup->getSize() != area.getSize()))
        return AreaEvidence::otherUnit;
    const auto* read = static_cast<const std::uint8_t*> (area.getData());
    const auto* own = sources.backup != nullptr ? static_cast<const std::uint8_t*> (sources.backup->getData()) : nullptr;
    bool evidence = false;
    for (std::size_t i = 0; i < area.getSize(); ++i)
    {
        const std::uint8_t image = i < sources.builtInSize ? sources.builtInImage[i] : 0xFF;
        const bool common = couldBeLeftOf (read[i], image)
                            || (i < sources.fileAreaSize && couldBeLeftOf (read[i], sources.fileArea[i]));
        const bool fromBackup = own != nullptr && couldBeLeftOf (read[i], own[i]);
        if (! common && ! fromBackup)
            return AreaEvidence::otherUnit;
        evidence = evidence || (fromBackup && ! common);
    }
    return evidence ? AreaEvidence::thisUnit : AreaEvidence::cannotTell;
}

bool holdsOnlyBuiltInOrErased (const juce::MemoryBlock& area, const std::uint8_t* builtInImage, std::size_t builtInSize)
{
    return judgeArea (area, { nullptr, builtInImage, builtInSize, nullptr, 0 }) == AreaEvidence::cannotTell;
}
} // namespace Recovery
