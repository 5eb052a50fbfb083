#pragma once

#include "workflow/Recovery.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>
#include <optional>

// The record of an update in progress, kept in the private folder beside the lock and the
// backup. It is on the disk before the flash is first touched and goes only once the update has
// been verified, so that whatever an interruption leaves in the flash (even the identity bytes
// half erased), the next run knows which instrument the update and its backup belong to, and
// never writes one instrument's data into another.
//
// A small text file, one "key value" line each, ending with a digest of the lines before it:
//
//     talvek-update-journal 1
//     identity <24 hex digits: flash 1FFF4h as read before the update>
//     tag <24 hex digits: flash 9E0000h as read before the update>
//     script A|B
//     file-size <bytes of the update file>
//     file-sha256 <64 hex digits>
//     backup-sha256 <64 hex digits of the backup to write back, or "none">
//     check <64 hex digits: SHA-256 of every line above, line ends included>
namespace Recovery
{
constexpr const char* journalFileName = "zkt_update.journal";

struct Journal
{
    InstrumentIdentity instrument;            // as read before the first flash change
    char script = 'B';              // 'A': the whole image; 'B': the area at 40000h is kept
    juce::int64 fileSize = 0;
    juce::String fileDigest;        // of the private copy that the update writes
    juce::String backupDigest;      // of the backup to write back; empty while there is none

    bool operator== (const Journal&) const = default;
};

// SHA-256 of a file's bytes as 64 hex digits; empty when it cannot be read.
juce::String digestOf (const juce::File& file);

// Writes the journal to a new file, forces it to the disk and only then puts it in place of
// the old one: a power cut leaves either the old journal or the new one, never half of one.
juce::Result writeJournal (const juce::File& file, const Journal& journal);

enum class JournalState
{
    none,       // no journal: no update is pending
    valid,
    damaged,    // a journal that cannot be trusted: nothing may be restored on its word
};

JournalState readJournal (const juce::File& file, Journal& journal);

// The same for a journal's text that is not (yet) a file of its own, e.g. in a recovery file:
// valid or damaged.
JournalState readJournalText (const juce::String& text, Journal& journal);

// Removes the journal and makes the removal survive a power cut.
juce::Result removeJournal (const juce::File& file);

// How the connected instrument relates to the journal's, from the identity and the first tag
// bytes read now (what an update file is matched on; every accepted file carries the same
// bytes there). A byte that an interrupted erase or program left behind holds every 0 bit of
// the byte that was there before and was being written again, plus some 1 bits; a byte with a
// 0 bit that this one lacks was never touched by that update: it is another instrument's.
enum class Binding
{
    sameInstrument, // identity and tag read exactly as the update left them
    unreadable,     // identity or tag damaged by the interruption: only the user can tell
    otherInstrument,
};

Binding bind (const Journal& journal, const InstrumentIdentity& read);

// Units of one model carry the same identity and tag, so the area at 40000h is the only
// evidence of which unit an interrupted update left. After it, the area holds the unit's own
// bytes (the backup), the built-in image, the whole-image file's bytes there (after an
// interrupted script A), or any of these part way to or from erased.
enum class AreaEvidence
{
    thisUnit,   // some byte only the backup explains: the unit the backup came from
    cannotTell, // erased, or only what every unit of the model would hold: only the user can tell
    otherUnit,  // a byte none of them explains: another unit's own data
};

struct AreaSources
{
    const juce::MemoryBlock* backup = nullptr;  // the backup to write back; null: none
    const std::uint8_t* builtInImage = nullptr; // written at 40000h by both scripts
    std::size_t builtInSize = 0;
    const std::uint8_t* fileArea = nullptr;     // the interrupted whole-image file at 40000h; null: none
    std::size_t fileAreaSize = 0;
};

AreaEvidence judgeArea (const juce::MemoryBlock& area, const AreaSources& sources);

// The area holds only what an interrupted script B leaves there (erased, or the built-in image
// part way to or from erased): the unit's own settings are not on it.
bool holdsOnlyBuiltInOrErased (const juce::MemoryBlock& area, const std::uint8_t* builtInImage, std::size_t builtInSize);
} // namespace Recovery
