// What the two buttons start: choosing and checking the update file, and the update itself.

#include "workflow/UpdateWorkflow.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"
#include "devicelink/SafeFiles.h"
#include "workflow/UpdateScript.h"

#include <algorithm>
#include <limits>

bool UpdateWorkflow::fitsTheFlash (juce::int64 size) const
{
    // Checked before anything is erased: a file past the flash end would fail only after the
    // parameter area was rewritten. The flash is the one the chosen driver describes (none
    // chosen: no flash to fit).
    return size <= flashEnd() && size <= FlashLayout::maxFlashBytes;
}

void UpdateWorkflow::refuseCopy (const juce::File& copy, const char* why, Status reason)
{
    // Never the private copy the chosen file is: it may be all that completes an interrupted
    // update.
    if (! startsFromCopy)
        copy.deleteFile();
    identity.updateFileAccepted = false;
    view.setExecuteButtonEnabled (false);
    view.setFileButtonEnabled (true);
    view.setStatusText (statusText (Status::notSupported));
    logPrinter.printA ("%s", why);
    end (Operation::update, reason, false);
}

void UpdateWorkflow::executeUpdate()
{
    // A script started while another job runs would take that job's report for its own first
    // step: nothing starts until the link is idle.
    outcome.reset();
    if (linkBusy())
    {
        logPrinter.printA ("The device is busy. Try again when it is done.\n");
        view.setExecuteButtonEnabled (false);
        end (Operation::update, Status::busy);
        return;
    }
    if (! identity.identityRead || ! identity.updateFileAccepted)
    {
        view.setExecuteButtonEnabled (false);
        end (Operation::update, Status::notSupported, false);
        return;
    }
    // The size rules are also checked here: the button stays enabled for a matching file of
    // the wrong size, and no script has a meaning for one.
    const juce::File file (updateFilePath);
    const auto size = file.existsAsFile() ? file.getSize() : 0;
    if (UpdateFile::sizeProblem (size) != nullptr)
    {
        end (Operation::update, Status::badSize);
        return;
    }
    updateFileSize = static_cast<int> (size);
    if (! fitsTheFlash (size))
    {
        end (Operation::update, Status::tooLarge);
        return;
    }

    if (! view.askConfirmation ("Confirmation", "Are you sure to update? \nDo not shut power off \nwhile updating.",
                                WorkflowView::Question::update))
    {
        end (Operation::update, Status::declined);
        return;
    }

    if (logPrinter.getEditor() != nullptr)
        logPrinter.clearLog();
    jobQueue.clear();
    jobQueue.communication.clearPins();
    settingsReplaced = unitConfirmedByUser = false;
    view.setStatusText (statusText (Status::updating));
    view.setFileButtonEnabled (false);

    const auto paths = preparePaths();
    if (! paths.has_value())
    {
        end (Operation::update, Status::noFolder);
        return;
    }

    // The update writes a private copy, checked here again: the chosen path may have been
    // replaced, grown or emptied since File... checked it. It is staged beside the copy of an
    // interrupted update, which stays what that update's journal names until this one begins
    // to change the flash.
    const juce::File copy (paths->updateCopyFile), staged (paths->stagedCopyFile);
    startsFromCopy = SafeFiles::sameFile (file, copy);
    if (! startsFromCopy && SafeFiles::sameFile (file, staged))
    {
        refuseCopy (staged, "Choose the update file itself, not a working file of this tool.\n");
        return;
    }
    const juce::File source = startsFromCopy ? copy : staged;
    if (! startsFromCopy)
    {
        if (const auto copied = Recovery::copyUpdateFile (file, staged); copied.failed())
        {
            logPrinter.printW (L"%ls\n", copied.getErrorMessage().toWideCharPointer());
            view.setFileButtonEnabled (true);
            end (Operation::update, Status::sourceNotOpened);
            return;
        }
    }
    const auto copySize = source.getSize();
    if (! UpdateFile::matchesInstrument (source, identity.deviceIdBytes, identity.deviceTagBytes)
        || UpdateFile::sizeProblem (copySize) != nullptr || ! fitsTheFlash (copySize))
    {
        refuseCopy (source, "The update file changed after it was checked.\n");
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
    if (const auto refused = updatesRefused())
    {
        if (! startsFromCopy)
            staged.deleteFile();
        end (Operation::update, *refused, false);
        return;
    }
    const auto copyDigest = Recovery::digestOf (source);
    if (identity.pendingUpdate == PendingUpdate::unconfirmed
        && ! (identity.completionConfirmed && copyDigest == pending.fileDigest && copySize == pending.fileSize))
    {
        refuseCopy (source, "Only the file of the interrupted update can complete it.\n", Status::onlyJournalFile);
        return;
    }
    const bool journalValid = journalState == Recovery::JournalState::valid;
    const auto backupDigest = journalValid ? pending.backupDigest : juce::String();

    const auto special = BuiltInData::specialDriver();
    const UpdateScript::Blocks blocks { workDriver.data, workDriver.size, special.data, special.size,
                                        BuiltInData::paramArea().data, BuiltInData::zeroBlock().data };

    // A backup is written back, or given up by a whole-image update, only once the area at
    // 40000h has shown whose it is, whatever script the journal names.
    areaCheckPending = journalValid && UpdateScript::restorePending (*paths, backupDigest);
    const auto kind = UpdateScript::queue (jobQueue, paths->updateCopyFile, updateFileSize, blocks, *paths,
                                           backupDigest, areaCheckPending);
    if (kind == UpdateScript::Kind::refused || copyDigest.isEmpty())
    {
        areaCheckPending = false;
        jobQueue.clear(); // nothing of the refused update may run later
        if (! startsFromCopy)
            staged.deleteFile();
        if (copyDigest.isEmpty())
        {
            logPrinter.printW (L"Can't read %ls\n", source.getFullPathName().toWideCharPointer());
            view.setFileButtonEnabled (true);
            end (Operation::update, Status::readFileNotMade);
            return;
        }
        end (Operation::update, Status::damagedRecord);
        return;
    }

    // A restore that stays pending keeps its backup's digest; a fresh backup gets its own once
    // it has been read twice and judged.
    runningJournal = Recovery::Journal {
        { identity.deviceIdBytes, identity.deviceTagBytes },
        kind == UpdateScript::Kind::fullImage ? 'A' : 'B',
        copySize,
        copyDigest,
        areaCheckPending ? backupDigest : juce::String(),
    };
    // The journal goes on the disk before the first flash change: at once when nothing is read
    // first, else once what was read has been judged.
    if (! areaCheckPending && kind == UpdateScript::Kind::fullImage && ! commitStart (*paths))
    {
        jobQueue.clear();
        view.setFileButtonEnabled (true);
        end (Operation::update, Status::readFileNotMade);
        return;
    }

    setProgressValue (0.0);
    jobQueue.runNext();
    updating = true;
    view.setProgressVisible (true);
    setControlsEnabled (false);
    setScreenSaverBlocked (true);
}

bool UpdateWorkflow::commitStart (const Recovery::Paths& paths)
{
    const juce::File copy (paths.updateCopyFile);
    auto result = startsFromCopy ? juce::Result::ok() : Recovery::replaceWith (juce::File (paths.stagedCopyFile), copy);
    if (result.wasOk())
        result = Recovery::writeJournal (juce::File (paths.journalFile), runningJournal);
    if (result.failed())
    {
        logPrinter.printW (L"%ls\n", result.getErrorMessage().toWideCharPointer());
        return false;
    }
    // Whatever happens to the copy from now on, the jobs send and compare only these bytes.
    jobQueue.communication.pinContent (paths.updateCopyFile, runningJournal.fileDigest);
    return true;
}

UpdateWorkflow::AreaVerdict UpdateWorkflow::judgeAreaForUpdate (const juce::MemoryBlock& area, juce::int64 fileSize) const
{
    const auto paths = Recovery::pathsIn (Recovery::folderLocation());
    const auto image = BuiltInData::paramArea();
    Recovery::Journal pending;
    const bool journalValid = Recovery::readJournal (juce::File (paths.journalFile), pending) == Recovery::JournalState::valid;

    if (journalValid && UpdateScript::restorePending (paths, pending.backupDigest))
    {
        juce::MemoryBlock backup, fileArea;
        juce::File (paths.backupFile).loadFileAsData (backup);
        // After an interrupted whole-image update the area may hold that file's bytes.
        const juce::File copy (paths.updateCopyFile);
        if (pending.script == 'A' && Recovery::digestOf (copy) == pending.fileDigest)
            if (auto in = SafeFiles::openForReading (copy); in != nullptr && in->setPosition (FlashLayout::paramAreaOffset))
                in->readIntoMemoryBlock (fileArea, FlashLayout::paramAreaLength);
        switch (Recovery::judgeArea (area, { &backup, image.data, (std::size_t) image.size,
                                             static_cast<const std::uint8_t*> (fileArea.getData()), fileArea.getSize() }))
        {
            case Recovery::AreaEvidence::thisUnit: return AreaVerdict::proceed;
            case Recovery::AreaEvidence::otherUnit: return AreaVerdict::otherUnit;
            case Recovery::AreaEvidence::cannotTell:
                // The user has said so already, for the interrupted update's own file.
                return identity.pendingUpdate == PendingUpdate::unconfirmed && identity.completionConfirmed
                           ? AreaVerdict::proceed
                           : AreaVerdict::askSameUnit;
        }
    }
    // A whole-image file brings its own area.
    if (fileSize > FlashLayout::updateUnit)
        return AreaVerdict::proceed;
    return Recovery::holdsOnlyBuiltInOrErased (area, image.data, (std::size_t) image.size) ? AreaVerdict::askReplaceSettings
                                                                                         : AreaVerdict::proceed;
}

void UpdateWorkflow::chooseUpdateFile()
{
    outcome.reset();
    const auto chosen = view.chooseFile ("Select...", "*.bin;*.rom");
    if (chosen == juce::File())
    {
        end (Operation::check, Status::declined);
        return;
    }

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
        view.showMessage ("Message", statusText (Status::identityError));
        end (Operation::check, Status::identityError, false);
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
        view.showMessage ("Message", statusText (Status::notSupported));
        end (Operation::check, Status::onlyJournalFile, false);
        return false;
    }
    if (! view.askConfirmation ("Confirmation",
                                "The last update was interrupted and the identity \n"
                                "of this device can't be read. \n"
                                "Complete that update on this device?",
                                WorkflowView::Question::unreadableIdentity))
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        end (Operation::check, Status::declined, false);
        return false;
    }
    identity.completionConfirmed = true;
    return true;
}

void UpdateWorkflow::matchChosenFile()
{
    if (const auto refused = updatesRefused())
    {
        end (Operation::check, *refused, false);
        return;
    }
    const juce::File chosen (updateFilePath);
    const bool match = UpdateFile::matchesInstrument (chosen, identity.deviceIdBytes, identity.deviceTagBytes);
    updateFileSize = static_cast<int> (std::min<juce::int64> (chosen.getSize(), std::numeric_limits<int>::max()));

    if (! match)
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        view.showMessage ("Message", statusText (Status::notSupported));
        end (Operation::check, Status::notSupported, false);
        return;
    }
    if (! fitsTheFlash (chosen.getSize()))
    {
        view.setExecuteButtonEnabled (false);
        identity.updateFileAccepted = false;
        end (Operation::check, Status::tooLarge);
        view.showMessage ("Message", statusText (Status::tooLarge));
        return;
    }
    if (identity.pendingUpdate == PendingUpdate::unconfirmed && ! confirmCompletion (chosen))
        return;

    identity.updateFileAccepted = true;
    checkUpdateFile();
    if (! linkBusy())
        setControlsEnabled (true);
    end (Operation::check, Status::none);
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
