#pragma once

#include "devicelink/FlashLayout.h"
#include "workflow/InstrumentIdentity.h"

#include <juce_core/juce_core.h>

#include <array>
#include <cstdint>
#include <optional>

// The files of an update that must outlive the program: the backup of the instrument's own
// 128 KiB at 40000h, the lock that marks an update in progress, and two scratch files.
//
// They live in a private per-user folder that survives a reboot: a shared temporary folder
// would let another user plant or redirect them, and is often emptied at boot, which would
// lose the backup of an update interrupted by a power cut.
namespace Recovery
{
constexpr const char* lockFileName = "zkt_update.lock";
constexpr const char* backupFileName = "zkt_backup.tmp";
constexpr const char* readBackFileName = "zkt_tmp_read.tmp";
constexpr const char* versionFileName = "zkt_read_version.bin";
// The update file as it was checked at Execute: the update writes these bytes, not whatever the
// chosen path holds by then.
constexpr const char* updateCopyFileName = "zkt_update_copy.bin";
// The file chosen at Execute until its update begins to change the flash: the copy of an
// interrupted update stays what its journal names until then.
constexpr const char* stagedCopyFileName = "zkt_update_next.bin";

// Environment variable that moves the folder (tests, and users who want it elsewhere).
constexpr const char* folderVariable = "TALVEK_STATE_DIR";

// The folder, without creating it: TALVEK_STATE_DIR if set; otherwise on Linux
// $XDG_STATE_HOME/talvek-update-tool or ~/.local/state/talvek-update-tool, on macOS
// ~/Library/Application Support/TALVEK Update Tool, on Windows TALVEK Update Tool in the
// user's local application data (%LOCALAPPDATA%).
juce::File folderLocation();

// Creates the folder if needed (mode 0700 on Linux and macOS, missing parents too) and checks
// that it is a real directory of this user that nobody else can write in, and that nobody else
// can put another folder in its place. Only a folder made here has its mode set; an existing
// one that others can write in is refused, never changed. On failure nothing of an update may
// be written there.
juce::Result prepareFolder (const juce::File& folder);

struct Paths
{
    juce::String lockFile;
    juce::String backupFile;
    juce::String readBackFile;
    juce::String versionFile;
    juce::String updateCopyFile;
    juce::String stagedCopyFile;
    juce::String journalFile;   // see UpdateJournal.h
};

Paths pathsIn (const juce::File& folder);

// What the start of a 256 KiB update does about an earlier, interrupted one.
enum class Decision
{
    takeFreshBackup,     // no lock: read the area into the backup, then create the lock
    restoreFromBackup,   // lock and a complete backup: write the backup back, no new read
    cannotRecover,       // lock without a complete backup: nothing may run
};

// A backup is written back only when it is the whole area and the journal of the interrupted
// update vouches for exactly these bytes (`backupDigest`, empty when there is no such journal).
Decision decide (const juce::File& lockFile, const juce::File& backupFile, const juce::String& backupDigest);

// Forces a file's data, and its directory entry, to the disk before the next step relies on
// them surviving a power cut. A missing file fails; it is never created.
juce::Result syncToDisk (const juce::File& file);

// Puts `fresh` in the place of `target` so that a power cut leaves one of the two whole: `fresh`
// is forced to the disk, renamed over `target`, and the rename forced out too.
juce::Result replaceWith (const juce::File& fresh, const juce::File& target);

// Copies the chosen update file (a regular file only) to `copy`, forced to the disk.
juce::Result copyUpdateFile (const juce::File& chosen, const juce::File& copy);
} // namespace Recovery
