#include "workflow/WorkflowOutcome.h"

#include "messages/CustomMessage.h"

namespace
{
struct Row
{
    Status reason;
    Ending ending;
    const char* text;
};

// These texts are the system's own, misspellings included.
constexpr Row table[] = {
    { Status::none, Ending::completed, "" },
    { Status::connecting, Ending::completed, "Connecting to device..." },
    { Status::connected, Ending::completed, "Device connected." },
    { Status::updating, Ending::completed, "Updating...." },
    { Status::completed, Ending::completed, "Update completed successfully." },
    { Status::deviceNotFound, Ending::notFound, "Device not found. Quit this tool and try again." },
    { Status::portsDenied, Ending::notFound, "Device found but can't be opened. Add your user to the audio group and log in again." },
    { Status::identityError, Ending::deviceFailure, "Someting error when getting version from device." },
    { Status::noFolder, Ending::localFiles, "Can't create folder to save data." },
    { Status::noDriverFits, Ending::deviceFailure, "" },
    { Status::readFileNotMade, Ending::localFiles, "Can't create file to save data." },
    { Status::filesDiffer, Ending::deviceFailure, "The data read from flash is not correct." },
    { Status::lockNotCreated, Ending::localFiles, "Can't create lock file!" },
    { Status::lockNotDeleted, Ending::localFiles, "Can't delete lock file!" },
    { Status::disconnected, Ending::disconnected, "Device disconnected. Quit this tool and try again." },
    { Status::sourceNotOpened, Ending::localFiles, "Can't open file to read data." },
    { Status::flashFailed, Ending::deviceFailure, "Flash operation failed in the device." },
    { Status::jobRefused, Ending::deviceFailure, "Flash job can't run with this data." },
    { Status::updateFailed, Ending::deviceFailure, "Update failed. Quit this tool and try again." },
    { Status::badSize, Ending::fileRefused, "The size of the update file is not correct." },
    { Status::tooLarge, Ending::fileRefused, "The update file is larger than the flash of the device." },
    { Status::notSupported, Ending::fileRefused, "The selected file is not supported." },
    { Status::modified, Ending::fileRefused, "The update file is modified!" },
    { Status::otherInstrument, Ending::pendingUpdate, "The last update was for another device. Connect that device to complete it." },
    { Status::damagedRecord, Ending::pendingUpdate, "Found an error can't be fixed in the last update." },
    { Status::notUpdated, Ending::pendingUpdate, "Not updated. Nothing was written." },
    { Status::settingsMissing, Ending::pendingUpdate, "Not updated: the settings of this device are missing." },
    { Status::onlyJournalFile, Ending::pendingUpdate, "" },
    { Status::busy, Ending::cancelled, "" },
    { Status::declined, Ending::cancelled, "" },
};

const Row& rowOf (Status reason)
{
    for (const auto& row : table)
        if (row.reason == reason)
            return row;
    return table[0];
}
} // namespace

const char* statusText (Status reason) { return rowOf (reason).text; }

Ending endingOf (Status reason) { return rowOf (reason).ending; }

Status statusOfFailure (int failureReason)
{
    switch (failureReason)
    {
        case FailureReason::ReadFileNotMade: return Status::readFileNotMade;
        case FailureReason::FilesDiffer:     return Status::filesDiffer;
        case FailureReason::LockNotCreated:  return Status::lockNotCreated;
        case FailureReason::LockNotDeleted:  return Status::lockNotDeleted;
        case FailureReason::NoResponse:      return Status::disconnected;
        case FailureReason::SourceNotOpened: return Status::sourceNotOpened;
        case FailureReason::FlashFailed:     return Status::flashFailed;
        case FailureReason::JobRefused:      return Status::jobRefused;
        default:                             return Status::updateFailed;
    }
}
