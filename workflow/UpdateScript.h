#pragma once

#include "workflow/Recovery.h"

#include <juce_core/juce_core.h>

#include <cstdint>

class JobQueue;

// The fixed job scripts that write an accepted update file into the instrument's flash.
namespace UpdateScript
{
// The built-in blocks the scripts write besides the file, and the drivers they load.
struct Blocks
{
    const std::uint8_t* workDriver = nullptr;   // the driver auto-detection chose
    int workDriverSize = 0;
    const std::uint8_t* specialDriver = nullptr;
    int specialDriverSize = 0;
    const std::uint8_t* paramAreaImage = nullptr; // 10000h bytes for flash 40000h
    const std::uint8_t* zeroBlock = nullptr;      // 1000h zero bytes for flash F000h
};

enum class Kind
{
    fullImage,          // script A: larger file, the whole image is rewritten
    keepAreaFresh,      // script B with a new backup of the instrument's area at 40000h
    keepAreaRestore,    // script B completing an interrupted update from the old backup
    refused,            // lock without a usable backup: nothing queued beyond the first upload
};

// Queues the first driver upload and then script A or B (after the recovery decision, which
// trusts a backup only with the digest the interrupted update's journal gives for it) into
// `queue`, which the caller has cleared. Both scripts remove a lock left by an interrupted
// script B only as their last job, after every comparison has passed.
// With `readAreaFirst` the area at 40000h is read into the read-back file right after the first
// upload, for the caller to check before anything is erased.
Kind queue (JobQueue& queue, const juce::String& updateFilePath, int updateFileSize,
            const Blocks& blocks, const Recovery::Paths& paths, const juce::String& backupDigest,
            bool readAreaFirst = false);

// Whether a restore is pending that the area check guards: a lock and a backup the journal
// vouches for.
bool restorePending (const Recovery::Paths& paths, const juce::String& backupDigest);
} // namespace UpdateScript
