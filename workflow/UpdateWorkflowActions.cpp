// What the two buttons start: choosing and checking the update file, and the update itself.

#include "workflow/UpdateWorkflow.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"
#include "workflow/UpdateScript.h"

#include <algorithm>
#include <limits>

namespace
{
const char* const tooLargeText = "The update file is larger than the flash of the device.";
} // namespace

bool UpdateWorkflow::fitsTheFlash (juce::int64 size) const
{
    // Checked before anything is erased: a file past the flash end would fail only after the
    // parameter area was rewritten. The flash is the one the chosen driver describes (none
    // chosen: no flash to fit).
    const auto sectors = ::DriverImage::readSectorTable (workDriver.data, workDriver.size);
    const juce::int64 flashEnd = sectors.empty() ? 0 : juce::int64 (sectors.back().start) + sectors.back().size;
    return size <= flashEnd && size <= FlashLayout::maxFlashBytes;
}

void UpdateWorkflow::refuseCopy (const juce::File& copy, const char* why)
{
    copy.deleteFile();
    identity.updateFileAccepted = false;
    view.setExecuteButtonEnabled (false);
    view.setFileButtonEnabled (true);
    view.setStatusText ("The selected file is not supported.");
    logPrinter.printA ("%s", why);
}

void UpdateWorkflow::executeUpdate()
{
    // A script started while another job runs would take that job's report for its own first
    // step: nothing starts until the link is idle.
    if (linkBusy())
    {
        logPrinter.printA ("The device is busy. Try again when it is done.\n");
        view.setExecuteButtonEnabled (false);
        return;
    }
    if (! identity.identityRead || ! identity.updateFileAccepted)
    {
        view.setExecuteButtonEnabled (false);
        return;
    }
    // The size rules are also checked here: the button stays enabled for a matching file of
    // the wrong size, and no script has a meaning for one.
    const juce::File file (updateFilePath);
    const auto size = file.existsAsFile() ? file.getSize() : 0;
    if (UpdateFile::sizeProblem (size) != nullptr)
    {
        view.setStatusText ("The size of the update file is not correct.");
        return;
    }
    updateFileSize = static_cast<int> (size);
    if (! fitsTheFlash (size))
    {
        view.setStatusText (tooLargeText);
        return;
    }

    if (! view.askConfirmation ("Confirmation", "Are you sure to update? \nDo not shut power off \nwhile updating."))
        return;

    if (logPrinter.getEditor() != nullptr)
        logPrinter.clearLog();
    jobQueue.clear();
    view.setStatusText ("Updating....");
    view.setFileButtonEnabled (false);

    const auto paths = preparePaths();
    if (! paths.has_value())
    {
        view.setStatusText (noFolderText);
        return;
    }

    // The update writes a private copy, checked here again: the chosen path may have been
    // replaced, grown or emptied since File... checked it.
    const juce::File copy (paths->updateCopyFile);
    if (const auto copied = Recovery::copyUpdateFile (file, copy); copied.failed())
    {
        logPrinter.printW (L"%ls\n", copied.getErrorMessage().toWideCharPointer());
        view.setStatusText ("Can't open file to read data.");
        view.setFileButtonEnabled (true);
        return;
    }
    const auto copySize = copy.getSize();
    if (! UpdateFile::matchesInstrument (copy, identity.deviceIdBytes, identity.deviceTagBytes)
        || UpdateFile::sizeProblem (copySize) != nullptr || ! fitsTheFlash (copySize))
    {
        refuseCopy (copy, "The update file changed after it was checked.\n");
        return;
    }
    updateFileSize = static_cast<int> (copySize);

    // The journal of an interrupted update says which instrument it was for and which backup
    // belongs to it; nothing of it is used on another instrument, or on an unreadable identity
    // without the user's word for exactly the file it names.
    Recovery::Journal pending;
    const auto journalState = Recovery::readJournal (juce::File (paths->journalFile), pending);
    // Damaged since the connection: refused like one found then, with its status.
    if (journalState == Recovery::JournalState::damaged)
        identity.pendingUpdate = PendingUpdate::damaged;
    if (updatesRefused())
    {
        copy.deleteFile();
        return;
    }
    const auto copyDigest = Recovery::digestOf (copy);
    if (identity.pendingUpdate == PendingUpdate::unconfirmed
        && ! (identity.completionConfirmed && copyDigest == pending.fileDigest && copySize == pending.fileSize))
    {
        refuseCopy (copy, "Only the file of the interrupted update can complete it.\n");
        return;
    }
    const bool journalValid = journalState == Recovery::JournalState::valid;
    const auto backupDigest = journalValid ? pending.backupDigest : juce::String();

    const auto special = BuiltInData::specialDriver();
    const UpdateScript::Blocks blocks { workDriver.data, workDriver.size, special.data, special.size,
                                        BuiltInData::paramArea().data, BuiltInData::zeroBlock().data };

    // After an interrupted whole-image update the area may hold that file's bytes, which the
    // check cannot tell from another instrument's: it guards restores left by script B.
    areaCheckPending = journalValid && pending.script == 'B' && UpdateScript::restorePending (*paths, backupDigest);
    journalBefore = pending;
    const auto kind = UpdateScript::queue (jobQueue, paths->updateCopyFile, updateFileSize, blocks, *paths,
                                           backupDigest, areaCheckPending);
    if (kind == UpdateScript::Kind::refused)
    {
        areaCheckPending = false;
        jobQueue.clear(); // nothing of the refused update may run later
        view.setStatusText ("Found an error can't be fixed in the last update.");
        return;
    }

    // On the disk before the flash is touched. A restore that stays pending keeps its backup's
    // digest; a fresh backup gets its own once it has been read twice.
    const bool restorePending = juce::File (paths->lockFile).exists();
    runningJournal = Recovery::Journal {
        { identity.deviceIdBytes, identity.deviceTagBytes },
        kind == UpdateScript::Kind::fullImage ? 'A' : 'B',
        copySize,
        copyDigest,
        restorePending ? backupDigest : juce::String(),
    };
    if (const auto written = copyDigest.isEmpty() ? juce::Result::fail ("Can't read " + copy.getFullPathName())
                                                  : Recovery::writeJournal (juce::File (paths->journalFile), runningJournal);
        written.failed())
    {
        jobQueue.clear();
        logPrinter.printW (L"%ls\n", written.getErrorMessage().toWideCharPointer());
        view.setStatusText ("Can't create file to save data.");
        view.setFileButtonEnabled (true);
        return;
    }

    setProgressValue (0.0);
    jobQueue.runNext();
    updating = true;
    view.setProgressVisible (true);
    setControlsEnabled (false);
    setScreenSaverBlocked (true);
}

void UpdateWorkflow::chooseUpdateFile()
{
    const auto chosen = view.chooseFile ("Select...", "*.bin;*.rom");
    if (chosen == juce::File())
        return;

    updateFilePath = chosen.getFullPathName();
    view.setFileName (chosen.getFileName());
    identity.updateFileAccepted = false;
    view.setExecuteButtonEnabled (false);

    // A file is matched against an identity that was read, never against one still being read
    // (all zeros, which a file could carry) or one whose read failed.
    if (! identity.identityRead)
    {
        if (identity.versionReadPhase != 0)
        {
            identity.fileWaitsForIdentity = true;
            logPrinter.printA ("The file is checked when the device's identity has been read.\n");
            return;
        }
        view.showMessage ("Message", "Someting error when getting version from device.");
        return;
    }
    matchChosenFile();
}

bool UpdateWorkflow::confirmCompletion (const juce::File& chosen)
{
    identity.completionConfirmed = false;
    const auto paths = Recovery::pathsIn (Recovery::folderLocation());
    Recovery::Journal journal;
    if (Recovery::readJournal (juce::File (paths.journalFile), journal) != Recovery::JournalState::valid
        || chosen.getSize() != journal.fileSize || Recovery::digestOf (chosen) != journal.fileDigest)
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        logPrinter.printA ("Only the file of the interrupted update can complete it.\n");
        view.showMessage ("Message", "The selected file is not supported.");
        return false;
    }
    if (! view.askConfirmation ("Confirmation", "The last update was interrupted and the identity \n"
                                                "of this device can't be read. \n"
                                                "Complete that update on this device?"))
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        return false;
    }
    identity.completionConfirmed = true;
    return true;
}

void UpdateWorkflow::matchChosenFile()
{
    if (updatesRefused())
        return;
    const juce::File chosen (updateFilePath);
    const bool match = UpdateFile::matchesInstrument (chosen, identity.deviceIdBytes, identity.deviceTagBytes);
    updateFileSize = static_cast<int> (std::min<juce::int64> (chosen.getSize(), std::numeric_limits<int>::max()));

    if (! match)
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        view.showMessage ("Message", "The selected file is not supported.");
        return;
    }
    if (! fitsTheFlash (chosen.getSize()))
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        view.setStatusText (tooLargeText);
        view.showMessage ("Message", tooLargeText);
        return;
    }
    if (identity.pendingUpdate == PendingUpdate::unconfirmed && ! confirmCompletion (chosen))
        return;

    identity.updateFileAccepted = true;
    checkUpdateFile();
    if (! linkBusy())
        setControlsEnabled (true);
}

UpdateFileCheck UpdateWorkflow::checkUpdateFile()
{
    if (! identity.updateFileAccepted)
        return UpdateFileCheck::none;

    juce::int64 size = 0;
    const auto result = UpdateFile::check (juce::File (updateFilePath), logPrinter, size);
    updateFileSize = static_cast<int> (std::min<juce::int64> (size, std::numeric_limits<int>::max()));
    return result;
}
