#include "workflow/RecoveryFile.h"

#include "devicelink/FileJobs.h"
#include "devicelink/SafeFiles.h"
#include "workflow/Recovery.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstring>
#include <vector>

namespace RecoveryFile
{
namespace
{
constexpr const char* headerLine = "talvek-recovery 1";
constexpr int headerLines = 6;
constexpr int largestHeader = 1024;
constexpr juce::int64 largestJournal = 4096;

struct Part
{
    const char* name;
    bool present = false;
    juce::int64 size = 0;
    juce::String digest;
};

struct Header
{
    Part journal { Recovery::journalFileName, false, 0, {} };
    Part backup { Recovery::backupFileName, false, 0, {} };
    Part copy { Recovery::updateCopyFileName, false, 0, {} };
    bool lock = false;
    int length = 0;                 // bytes of the header, its last line end included

    std::vector<Part*> parts() { return { &journal, &backup, &copy }; }
};

Outcome failed (Problem problem, const juce::String& message) { return { problem, message }; }

juce::String digestOfBytes (const void* data, size_t size)
{
    return juce::SHA256 (data, size).toHexString().removeCharacters (" ");
}

juce::String digestOfStream (juce::InputStream& in, juce::int64 size)
{
    return juce::SHA256 (in, size).toHexString().removeCharacters (" ");
}

bool isDigest (const juce::String& text)
{
    return text.length() == 64 && text.containsOnly ("0123456789abcdef");
}

// Only the characters a header or a journal is made of: anything else is damage, and never
// reaches a string as text of another encoding.
bool plainText (const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        if (! (bytes[i] == '\n' || (bytes[i] >= 0x20 && bytes[i] < 0x7F)))
            return false;
    return true;
}

juce::String partLine (const Part& part)
{
    return juce::String (part.name) + (part.present ? " " + juce::String (part.size) + " " + part.digest : juce::String (" none"))
           + "\n";
}

juce::String headerBody (const Header& h)
{
    return juce::String (headerLine) + "\n" + partLine (h.journal) + partLine (h.backup) + partLine (h.copy)
           + Recovery::lockFileName + (h.lock ? " yes\n" : " no\n");
}

// The header of `in`, read from its start; false when it is not a whole, unchanged header.
bool readHeader (juce::InputStream& in, Header& h, juce::String& why)
{
    char bytes[largestHeader] {};
    const int got = in.read (bytes, largestHeader);
    int ends = 0, length = 0;
    for (int i = 0; i < got && ends < headerLines; ++i)
        if (bytes[i] == '\n' && ++ends == headerLines)
            length = i + 1;
    if (got < (int) std::strlen (headerLine) || std::memcmp (bytes, headerLine, std::strlen (headerLine)) != 0)
    {
        why = "it is not a recovery file of this tool";
        return false;
    }
    if (length == 0 || ! plainText (bytes, (size_t) length))
    {
        why = "its header is damaged";
        return false;
    }
    const auto text = juce::String::fromUTF8 (bytes, length);
    auto lines = juce::StringArray::fromLines (text.trimEnd());
    if (lines.size() != headerLines || lines[headerLines - 1] != "check " + digestOfBytes (bytes, (size_t) (length - 71)))
    {
        why = "its header is damaged";
        return false;
    }
    int line = 1;
    for (auto* part : h.parts())
    {
        const auto words = juce::StringArray::fromTokens (lines[line++], " ", "");
        part->present = words.size() == 3;
        if (words[0] != part->name || ! (part->present || (words.size() == 2 && words[1] == "none")))
        {
            why = "its header is damaged";
            return false;
        }
        if (part->present)
        {
            part->size = words[1].getLargeIntValue();
            part->digest = words[2];
            if (! words[1].containsOnly ("0123456789") || part->size <= 0 || ! isDigest (part->digest))
            {
                why = "its header is damaged";
                return false;
            }
        }
    }
    const auto lockWords = juce::StringArray::fromTokens (lines[4], " ", "");
    h.lock = lockWords.size() == 2 && lockWords[1] == "yes";
    if (lockWords.size() != 2 || lockWords[0] != Recovery::lockFileName || ! (h.lock || lockWords[1] == "no"))
    {
        why = "its header is damaged";
        return false;
    }
    h.length = length;
    return true;
}

// That the parts are what the journal names: the backup it vouches for, the copy of its file.
bool agreeWithJournal (const Header& h, const Recovery::Journal& j, juce::String& why)
{
    if (! j.backupDigest.isEmpty() && ! (h.backup.present && h.backup.digest == j.backupDigest))
        why = "it lacks the backup that its journal names";
    else if (h.backup.present && (j.backupDigest.isEmpty() || h.backup.size != FlashLayout::paramAreaLength))
        why = "its backup is not the one its journal names";
    else if (h.copy.present && (h.copy.digest != j.fileDigest || h.copy.size != j.fileSize))
        why = "its update file is not the one its journal names";
    else if (! h.journal.present || h.journal.size > largestJournal)
        why = "its journal is damaged";
    else
        return true;
    return false;
}

// Reads the journal part; `in` stands at its first byte.
bool readJournalPart (juce::InputStream& in, const Part& part, Recovery::Journal& journal)
{
    juce::MemoryBlock bytes;
    if (in.readIntoMemoryBlock (bytes, part.size) != (size_t) part.size
        || digestOfBytes (bytes.getData(), bytes.getSize()) != part.digest
        || ! plainText (static_cast<const char*> (bytes.getData()), bytes.getSize()))
        return false;
    return Recovery::readJournalText (bytes.toString(), journal) == Recovery::JournalState::valid;
}

// A part copied into a new file beside its place in the state folder, forced to the disk.
juce::Result extract (juce::InputStream& in, const Part& part, const juce::File& beside)
{
    juce::String why;
    auto out = SafeFiles::createForWriting (beside, &why);
    if (out == nullptr)
        return juce::Result::fail (beside.getFullPathName() + ": " + why);
    if (out->writeFromInputStream (in, part.size) != part.size)
        return juce::Result::fail ("can't write " + beside.getFullPathName());
    out.reset();
    return Recovery::syncToDisk (beside);
}

juce::Result removeIfThere (const juce::File& file)
{
    if (! file.exists())
        return juce::Result::ok();
    if (! file.deleteFile())
        return juce::Result::fail ("can't delete " + file.getFullPathName());
    return Recovery::syncToDisk (file.getParentDirectory());
}

juce::File besideOf (const juce::File& file)
{
    return file.getSiblingFile (file.getFileName() + ".import");
}
} // namespace

Outcome write (const juce::File& stateFolder, juce::OutputStream& out)
{
    const auto paths = Recovery::pathsIn (stateFolder);
    const juce::File journalFile (paths.journalFile), backupFile (paths.backupFile), copyFile (paths.updateCopyFile);

    Recovery::Journal journal;
    switch (Recovery::readJournal (journalFile, journal))
    {
        case Recovery::JournalState::none:
            return failed (Problem::nothingPending, "no interrupted update waits in the state folder "
                                                        + stateFolder.getFullPathName() + ": there is nothing to export");
        case Recovery::JournalState::damaged:
            return failed (Problem::damagedRecord, "the record of the interrupted update in " + stateFolder.getFullPathName()
                                                       + " is damaged: it can't be exported");
        case Recovery::JournalState::valid:
            break;
    }

    Header h;
    juce::MemoryBlock journalBytes;
    if (! journalFile.loadFileAsData (journalBytes) || journalBytes.getSize() > (size_t) largestJournal)
        return failed (Problem::localFiles, "can't read " + journalFile.getFullPathName());
    h.journal = { Recovery::journalFileName, true, (juce::int64) journalBytes.getSize(),
                  digestOfBytes (journalBytes.getData(), journalBytes.getSize()) };
    // Read again from the bytes that go into the file: the journal may not change in between.
    Recovery::Journal written;
    if (Recovery::readJournalText (journalBytes.toString(), written) != Recovery::JournalState::valid || ! (written == journal))
        return failed (Problem::damagedRecord, "the record of the interrupted update changed while it was read");

    if (journal.backupDigest.isNotEmpty())
    {
        if (backupFile.getSize() != FlashLayout::paramAreaLength || Recovery::digestOf (backupFile) != journal.backupDigest)
            return failed (Problem::damagedRecord, "the backup that the record of the interrupted update names is missing "
                                                   "or changed: it can't be exported");
        h.backup = { Recovery::backupFileName, true, FlashLayout::paramAreaLength, journal.backupDigest };
    }
    // The private copy goes along when it is the file the journal names; a copy of another file
    // completes nothing.
    if (copyFile.existsAsFile() && copyFile.getSize() == journal.fileSize && Recovery::digestOf (copyFile) == journal.fileDigest)
        h.copy = { Recovery::updateCopyFileName, true, journal.fileSize, journal.fileDigest };
    h.lock = juce::File (paths.lockFile).exists();

    const auto body = headerBody (h);
    const auto text = body + "check " + digestOfBytes (body.toRawUTF8(), body.getNumBytesAsUTF8()) + "\n";
    if (! out.write (text.toRawUTF8(), text.getNumBytesAsUTF8()) || ! out.write (journalBytes.getData(), journalBytes.getSize()))
        return failed (Problem::localFiles, "can't write the recovery file");
    for (const auto& [part, file] : { std::pair { &h.backup, backupFile }, std::pair { &h.copy, copyFile } })
    {
        if (! part->present)
            continue;
        auto in = SafeFiles::openForReading (file);
        if (in == nullptr)
            return failed (Problem::localFiles, "can't read " + file.getFullPathName());
        if (out.writeFromInputStream (*in, part->size) != part->size)
            return failed (Problem::localFiles, "can't write the recovery file");
    }
    juce::StringArray carried { "the record" };
    if (h.backup.present)
        carried.add ("the backup of the instrument's own area");
    if (h.copy.present)
        carried.add ("the update file");
    return { Problem::none, carried.joinIntoString (", ") + (h.lock ? "; the update was part way" : "") };
}

namespace
{
Outcome checkOpen (const juce::File& file, Header& h, Recovery::Journal& journal)
{
    juce::String why;
    auto in = SafeFiles::openForReading (file, &why);
    if (in == nullptr)
        return failed (Problem::localFiles, "can't read " + file.getFullPathName() + ": " + why);
    const auto damaged = [&file] (const juce::String& what)
    { return failed (Problem::damagedFile, file.getFullPathName() + " is not a whole recovery file: " + what); };

    if (! readHeader (*in, h, why))
        return damaged (why);
    juce::int64 total = h.length;
    for (auto* part : h.parts())
        total += part->present ? part->size : 0;
    if (in->getTotalLength() < total)
        return damaged ("it is cut short");
    if (in->getTotalLength() > total)
        return damaged ("it has bytes past its end");

    in->setPosition (h.length);
    if (! h.journal.present || h.journal.size > largestJournal || ! readJournalPart (*in, h.journal, journal))
        return damaged ("its journal is damaged");
    for (auto* part : { &h.backup, &h.copy })
        if (part->present && digestOfStream (*in, part->size) != part->digest)
            return damaged (juce::String (part->name) + " does not match its digest");
    if (! agreeWithJournal (h, journal, why))
        return damaged (why);
    return {};
}
} // namespace

Outcome check (const juce::File& file, Recovery::Journal* journal)
{
    Header h;
    Recovery::Journal j;
    const auto outcome = checkOpen (file, h, j);
    if (outcome.ok() && journal != nullptr)
        *journal = j;
    return outcome;
}

Outcome install (const juce::File& file, const juce::File& stateFolder)
{
    Header h;
    Recovery::Journal journal;
    if (auto checked = checkOpen (file, h, journal); ! checked.ok())
        return checked;

    const auto paths = Recovery::pathsIn (stateFolder);
    Recovery::Journal waiting;
    switch (Recovery::readJournal (juce::File (paths.journalFile), waiting))
    {
        case Recovery::JournalState::none:
            break;
        case Recovery::JournalState::damaged:
            return failed (Problem::damagedRecord, "the record of an interrupted update in " + stateFolder.getFullPathName()
                                                       + " is damaged: nothing was imported");
        case Recovery::JournalState::valid:
            if (! (waiting == journal))
                return failed (Problem::differentPending, "a different interrupted update waits in "
                                                              + stateFolder.getFullPathName()
                                                              + ": complete that one first; nothing was imported");
            break;
    }

    // Every part beside its place first, each checked again as written: the file may have
    // changed since it was checked.
    const juce::File journalFile (paths.journalFile), backupFile (paths.backupFile), copyFile (paths.updateCopyFile),
        lockFile (paths.lockFile);
    std::vector<juce::File> made;
    const auto cleanUp = [&made] { for (const auto& f : made) f.deleteFile(); };
    const auto fail = [&] (Problem problem, const juce::String& why)
    {
        cleanUp();
        return failed (problem, why);
    };

    juce::String why;
    auto in = SafeFiles::openForReading (file, &why);
    if (in == nullptr)
        return fail (Problem::localFiles, "can't read " + file.getFullPathName() + ": " + why);
    in->setPosition (h.length);
    for (const auto& [part, target] : { std::pair { &h.journal, journalFile }, std::pair { &h.backup, backupFile },
                                        std::pair { &h.copy, copyFile } })
    {
        if (! part->present)
            continue;
        made.push_back (besideOf (target));
        if (const auto extracted = extract (*in, *part, made.back()); extracted.failed())
            return fail (Problem::localFiles, extracted.getErrorMessage());
        if (made.back().getSize() != part->size || Recovery::digestOf (made.back()) != part->digest)
            return fail (Problem::damagedFile, file.getFullPathName() + " changed while it was imported; nothing was imported");
    }
    Recovery::Journal extracted;
    if (Recovery::readJournal (besideOf (journalFile), extracted) != Recovery::JournalState::valid || ! (extracted == journal))
        return fail (Problem::damagedFile, file.getFullPathName() + " changed while it was imported; nothing was imported");
    if (h.lock)
    {
        made.push_back (besideOf (lockFile));
        auto out = SafeFiles::createForWriting (made.back(), &why);
        if (out == nullptr || ! out->write (FileJobs::lockText, std::strlen (FileJobs::lockText)))
            return fail (Problem::localFiles, "can't write " + made.back().getFullPathName() + ": " + why);
        out.reset();
        if (const auto synced = Recovery::syncToDisk (made.back()); synced.failed())
            return fail (Problem::localFiles, synced.getErrorMessage());
    }

    // Then into place, the journal last: until it is there, nothing names the other files. A
    // backup or copy the file lacks is not needed by its journal and is left as it is; the lock
    // is as it was where the file was made.
    for (const auto& [target, present] : { std::pair { copyFile, h.copy.present }, std::pair { backupFile, h.backup.present },
                                           std::pair { lockFile, h.lock }, std::pair { journalFile, true } })
    {
        const auto placed = present ? Recovery::replaceWith (besideOf (target), target)
                            : target == lockFile ? removeIfThere (target)
                                                 : juce::Result::ok();
        if (placed.failed())
            return fail (Problem::localFiles, placed.getErrorMessage());
    }
    return {};
}
} // namespace RecoveryFile
