#pragma once

#include "workflow/UpdateJournal.h"

#include <juce_core/juce_core.h>

// An interrupted update carried to another state folder (another computer, user account or
// installation): one file with the journal, the backup of the instrument's own area and the
// private copy of the update file, each with its SHA-256, and whether the lock was there.
//
//     talvek-recovery 1
//     zkt_update.journal <bytes> <sha256>
//     zkt_backup.tmp <bytes> <sha256> | zkt_backup.tmp none
//     zkt_update_copy.bin <bytes> <sha256> | zkt_update_copy.bin none
//     zkt_update.lock yes|no
//     check <sha256 of every line above, line ends included>
//
// followed by the bytes of the files present, in that order, and nothing else.
namespace RecoveryFile
{
enum class Problem
{
    none,
    nothingPending,   // export: no journal in the state folder
    damagedRecord,    // the state folder's journal, or the backup it names, can't be trusted
    damagedFile,      // the recovery file is cut, changed or not one at all
    differentPending, // import: another interrupted update waits in the state folder
    localFiles,       // a file could not be read or written
};

struct Outcome
{
    Problem problem = Problem::none;
    juce::String message;   // what happened, for the user

    bool ok() const { return problem == Problem::none; }
};

// Writes the recovery file of the update waiting in `stateFolder` to `out`.
Outcome write (const juce::File& stateFolder, juce::OutputStream& out);

// Checks every digest, the sizes, the journal's own check and that the parts agree with the
// journal; installs nothing. `journal` gets the journal it carries.
Outcome check (const juce::File& file, Recovery::Journal* journal = nullptr);

// Checks the file, refuses to replace a different pending update, then installs every part in
// `stateFolder`, each written beside, forced to the disk and renamed, the journal last: a cut
// part way leaves no journal that names half-installed files.
Outcome install (const juce::File& file, const juce::File& stateFolder);
} // namespace RecoveryFile
