#pragma once

// One exit code per kind of outcome, so that a script can tell them apart. 0 is a promise
// that everything asked for was done and every byte written or read was verified.

namespace cli
{
enum class Exit : int
{
    ok = 0,
    usage = 2,              // the command line is wrong (unknown option, bad number, range off the flash)
    noInstrument = 3,       // nothing answered on any port (or on the one chosen), or no port could be opened
    severalInstruments = 4, // more than one instrument answered: choose one with --port
    fileRefused = 5,        // the update file does not fit this instrument, or breaks the file rules
    deviceFailure = 6,      // the instrument refused or failed a step, or what was read back differs
    disconnected = 7,       // the instrument stopped answering part way
    pendingUpdate = 8,      // an interrupted update waits for another instrument, or its record is damaged
    localFiles = 9,         // a file on this computer could not be made, read or written
    busy = 10,              // the window or another terminal run holds this user's instance lock
    cancelled = 11,         // the question was answered no, or the run was stopped (Ctrl-C, SIGTERM)
};

struct ExitInfo
{
    Exit code;
    const char* name;        // the "outcome" field of the result line
    const char* description; // for --help and the README
};

inline constexpr ExitInfo exitTable[] = {
    { Exit::ok, "success", "done; every byte written or read was verified" },
    { Exit::usage, "usage", "the command line is wrong (see --help)" },
    { Exit::noInstrument, "no-instrument", "no instrument answered (or none on --port), or no port could be opened" },
    { Exit::severalInstruments, "several-instruments", "two or more instruments answered: choose one with --port" },
    { Exit::fileRefused, "file-refused", "the file does not fit this instrument or breaks the file rules" },
    { Exit::deviceFailure, "device-failure", "the instrument refused or failed a step, or a read-back differs" },
    { Exit::disconnected, "disconnected", "the instrument stopped answering part way" },
    { Exit::pendingUpdate, "pending-update", "an interrupted update needs its own instrument (or its record is damaged)" },
    { Exit::localFiles, "local-files", "a file on this computer could not be made, read or written" },
    { Exit::busy, "busy", "the window or another run of this tool is running for this user" },
    { Exit::cancelled, "cancelled", "the question was answered no, or the run was stopped" },
};

inline const char* exitName (Exit code)
{
    for (const auto& info : exitTable)
        if (info.code == code)
            return info.name;
    return "unknown";
}
} // namespace cli
