#pragma once

// How an operation of the workflow ended, as a value: the window shows its status text, the
// terminal tool turns its ending into an exit code. Neither looks at the other's mapping.

enum class Operation
{
    connect, // detection and the identity read after the instrument answered
    check,   // choosing and matching the update file
    update,  // Execute, from its first check to its last job
    read,    // a read of a flash range into files
};

enum class Ending
{
    completed,
    fileRefused,    // the file does not fit this instrument or breaks the file rules
    deviceFailure,  // the instrument refused or failed a step, or a read-back differs
    disconnected,   // the instrument stopped answering
    pendingUpdate,  // an interrupted update waits for another instrument, or its record is damaged
    localFiles,     // a file on this computer could not be made, read or written
    cancelled,      // the user said no, or the operation could not start now
    notFound,       // no instrument, or its ports could not be opened
};

// Why: each status the workflow shows has one reason, and each reason one text.
enum class Status
{
    none, // nothing shown
    connecting,
    connected,
    updating,
    completed,
    deviceNotFound,
    portsDenied,
    identityError,
    noFolder,
    noDriverFits,
    readFileNotMade,
    filesDiffer,
    lockNotCreated,
    lockNotDeleted,
    disconnected,
    sourceNotOpened,
    flashFailed,
    jobRefused,
    updateFailed,
    badSize,
    tooLarge,
    notSupported,
    modified,
    otherInstrument,
    damagedRecord,
    notUpdated,
    settingsMissing,
    onlyJournalFile,
    busy,
    declined,
};

struct WorkflowOutcome
{
    Operation operation;
    Ending ending;
    Status reason;
};

// The one table of status texts; empty for a reason with no status of its own.
const char* statusText (Status reason);
// The ending a reason stands for.
Ending endingOf (Status reason);
// The status of a failed job, by its FailureReason; updateFailed for one without a text.
Status statusOfFailure (int failureReason);
