// The reactions to the device link's messages: connection, flash auto-detection, the identity
// read and the running update script.

#include "workflow/UpdateWorkflow.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"
#include "devicelink/FlashLayout.h"
#include "devicelink/MidiPorts.h"

#include <algorithm>

namespace
{
constexpr std::uint32_t black = 0xFF000000;
constexpr std::uint32_t red = 0xFFFF0000;
constexpr std::uint32_t blue = 0xFF0000FF;
constexpr std::uint32_t barColour = 0xFFC0C0C0;

std::wstring widen (const char* text)
{
    std::wstring wide;
    for (; *text != 0; ++text)
        wide.push_back (static_cast<wchar_t> (static_cast<unsigned char> (*text)));
    return wide;
}

// The version record's text: up to its first zero unit.
std::u16string recordText (const std::u16string& record)
{
    return record.substr (0, std::min (record.find (u'\0'), record.size()));
}

juce::String twoInstrumentsText()
{
    return juce::String ("Two or more devices! Please check it!\n")
           + juce::String (juce::CharPointer_UTF8 (
               "\xe6\xa3\x80\xe6\xb5\x8b\xe5\x88\xb0\xe4\xb8\xa4\xe5\x8f\xb0\xe6\x88\x96"
               "\xe6\x9b\xb4\xe5\xa4\x9a\xe8\xae\xbe\xe5\xa4\x87\xef\xbc\x81\xe8\xaf\xb7"
               "\xe6\xa3\x80\xe6\x9f\xa5\xef\xbc\x81"));
}
} // namespace

//==============================================================================================
UpdateWorkflow::UpdateWorkflow (WorkflowView& viewIn, std::unique_ptr<MidiPortSystem> ports, Clock& clock)
    : builtInDrivers (makeBuiltInDrivers()),
      jobQueue (std::move (ports), clock),
      view (viewIn)
{
    jobQueue.communication.listener = this;
    jobQueue.communication.log = &logPrinter;
}

UpdateWorkflow::~UpdateWorkflow() = default;

void UpdateWorkflow::start()
{
    outcome.reset();
    jobQueue.rescan();
}

void UpdateWorkflow::end (Operation operation, Status reason, bool showStatus)
{
    if (showStatus && *statusText (reason) != 0)
        view.setStatusText (statusText (reason));
    outcome = WorkflowOutcome { operation, endingOf (reason), reason };
    view.operationEnded (*outcome);
}

Operation UpdateWorkflow::runningOperation() const
{
    if (reading)
        return Operation::read;
    if (updating)
        return Operation::update;
    return detectingFlash || identity.versionReadPhase != 0 ? Operation::connect : Operation::update;
}

bool UpdateWorkflow::ready() const
{
    return connected && ! detectingFlash && identity.identityRead && identity.versionReadPhase == 0
           && ! jobQueue.isRunning();
}

bool UpdateWorkflow::startFailed() const
{
    return deviceLost || (connected && ! detectingFlash && ! jobQueue.isRunning() && ! ready());
}

std::int64_t UpdateWorkflow::flashEnd() const
{
    return FlashLayout::endOf (::DriverImage::readSectorTable (workDriver.data, workDriver.size));
}

bool UpdateWorkflow::readFlash (std::int64_t start, int length, const juce::StringArray& files)
{
    if (linkBusy() || files.isEmpty())
    {
        end (Operation::read, Status::busy);
        return false;
    }
    outcome.reset();
    jobQueue.clear();
    const float share = 100.0f / static_cast<float> (files.size());
    for (int i = 0; i < files.size(); ++i)
        jobQueue.addReadToFile (files[i], static_cast<int> (start / FlashLayout::pageSize),
                                static_cast<int> (start % FlashLayout::pageSize), length, share * static_cast<float> (i),
                                share * static_cast<float> (i + 1));
    reading = true;
    jobQueue.runNext();
    return true;
}

std::optional<Recovery::Paths> UpdateWorkflow::preparePaths()
{
    const auto folder = Recovery::folderLocation();
    if (const auto result = Recovery::prepareFolder (folder); result.failed())
    {
        logPrinter.printW (L"%ls\n", result.getErrorMessage().toWideCharPointer());
        return std::nullopt;
    }
    return Recovery::pathsIn (folder);
}

void UpdateWorkflow::setProgressValue (double value)
{
    progressValue = value;
    view.setProgressValue (value);
}

void UpdateWorkflow::setScreenSaverBlocked (bool blocked)
{
    if (identity.screenSaverBlocked == blocked)
        return;
    identity.screenSaverBlocked = blocked;
    view.setScreenSaverBlocked (blocked);
}

//==============================================================================================
void UpdateWorkflow::setControlsEnabled (bool enable)
{
    if (identity.updateFileAccepted)
        view.setExecuteButtonEnabled (enable && ! deviceLost);
}

bool UpdateWorkflow::linkBusy() const
{
    return jobQueue.isRunning() || detectingFlash || identity.versionReadPhase != 0 || updating;
}

void UpdateWorkflow::startVersionRead()
{
    jobQueue.clear();
    identity.identityRead = false;
    identity.pendingUpdate = PendingUpdate::none;

    if (const auto paths = preparePaths())
    {
        jobQueue.addReadToFile (paths->versionFile, FlashLayout::identityPage, FlashLayout::identityOffset,
                                FlashLayout::identityLength, 0.0f, 100.0f);
        jobQueue.addReadVersionInfo (paths->versionFile);
        jobQueue.runNext();
        identity.versionReadPhase = 1;
        logPrinter.printW (L"Check file version and flash version.\n");
        view.setFileButtonEnabled (true);
    }
    else
    {
        // No identity read, so no file could be matched.
        end (Operation::connect, Status::noFolder);
    }
}

//==============================================================================================
void UpdateWorkflow::handleMessage (const juce::Message& message)
{
    const auto decoded = decodeLinkMessage (message);
    if (! decoded.has_value())
        return;
    const auto& e = *decoded;
    view.linkEvent (e);

    switch (e.kind)
    {
        case LinkEvent::Kind::connected:
            connected = true;
            linkFsMode = e.fsMode;
            deviceConnected();
            break;

        case LinkEvent::Kind::notFound:
            view.setExecuteButtonEnabled (false);
            end (Operation::connect, Status::deviceNotFound);
            break;

        case LinkEvent::Kind::portsDenied:
            denied = true;
            view.setExecuteButtonEnabled (false);
            end (Operation::connect, Status::portsDenied);
            break;

        case LinkEvent::Kind::severalInstruments:
            severalFound = true;
            view.showWarning ("Warning", twoInstrumentsText());
            break;

        case LinkEvent::Kind::operationState:
            setControlsEnabled (e.failed);
            break;

        case LinkEvent::Kind::progress:
            progress (e.phase, e.done, e.total);
            break;

        case LinkEvent::Kind::jobFinished:
            jobQueue.finishCurrent();
            if (! e.failed)
                jobSucceeded();
            else
                jobFailed (e.failure);
            break;

        case LinkEvent::Kind::noOutputDevice:
            view.showNoOutputDevice();
            break;

        case LinkEvent::Kind::versionInfo:
            jobQueue.finishCurrent();
            if (e.record != nullptr)
                versionInfoReceived (*e.record);
            break;

        case LinkEvent::Kind::scanStarted:
        case LinkEvent::Kind::linkState:
        case LinkEvent::Kind::logText:
        case LinkEvent::Kind::other:
            break;
    }
}

void UpdateWorkflow::deviceConnected()
{
    logPrinter.printA ("Device Connected! Test MCU/Flash type.\n");
    jobQueue.clear();
    bool first = true;
    for (const auto& entry : builtInDrivers)
    {
        // After the first, an upload waits for a quiet line: a late verdict of the last
        // driver's test must not pass for this one's refusal.
        jobQueue.addSendDriver (entry.data, entry.size, entry.flashName.data(), 0.0f, 100.0f, ! first);
        first = false;
        jobQueue.addTestFlash (entry.mcuName.data(), entry.flashName.data(), entry.data, entry.size);
        // Frames carry no request id: a doubled or late Ack of the upload can pass for the
        // verdict, so a pass counts only once a test on a quiet line has repeated it.
        jobQueue.addTestFlash (entry.mcuName.data(), entry.flashName.data(), entry.data, entry.size, true);
    }
    jobQueue.runNext();
    detectingFlash = true;
}

void UpdateWorkflow::progress (int phase, int p2, int p3)
{
    if (phase == ProgressPhase::None)
        return;
    if (phase == ProgressPhase::Range)
    {
        progressRangeStart = p2 / 1000.0;
        progressRangeEnd = p3 / 1000.0;
        return;
    }
    view.setProgressAppearance ("Updating...", barColour);
    if (p3 != 0)
        setProgressValue (progressRangeStart + (progressRangeEnd - progressRangeStart) * static_cast<double> (p2) / p3);
}

//==============================================================================================
void UpdateWorkflow::jobSucceeded()
{
    if (reading)
    {
        if (jobQueue.runNext() != 0)
        {
            reading = false;
            end (Operation::read, Status::none);
        }
        return;
    }
    if (detectingFlash && jobQueue.current.kind == JobKind::TestFlash && ! jobQueue.current.settleFirst)
    {
        jobQueue.runNext(); // the confirmation
        return;
    }
    if (detectingFlash && jobQueue.current.kind == JobKind::TestFlash)
    {
        detectingFlash = false;
        const auto& job = jobQueue.current;
        logPrinter.setTextColour (blue);
        logPrinter.printW (L"Select MCU: %ls, flash: %ls\n", widen (job.mcuName.data()).c_str(),
                           widen (job.flashName.data()).c_str());
        workDriver = { job.data, job.dataLength };
        startVersionRead();
        return;
    }

    const auto paths = Recovery::pathsIn (Recovery::folderLocation());

    // A file job may only go on once what it wrote survives a power cut: the backup before
    // the lock is created, the lock before the flash is touched.
    if (updating && jobQueue.current.kind == JobKind::ReadToFile && jobQueue.current.path == paths.backupFile)
    {
        if (! syncUpdateFile (paths.backupFile, FailureReason::ReadFileNotMade))
            return;
    }
    else if (updating && jobQueue.current.kind == JobKind::BackupLock && jobQueue.current.mode == 0)
    {
        if (! syncUpdateFile (paths.lockFile, FailureReason::LockNotCreated))
            return;
    }

    if (updating && areaCheckPending && jobQueue.current.kind == JobKind::ReadToFile
        && jobQueue.current.path == paths.readBackFile && ! checkAreaBeforeRestore (paths))
        return;

    // The backup becomes the one to restore only once the journal names it, before the lock.
    const auto& jobs = jobQueue.getJobs();
    const auto next = jobQueue.getNextIndex();
    if (updating && next < jobs.size() && jobs[next].kind == JobKind::BackupLock && jobs[next].mode == 0
        && ! checkFreshBackup (paths))
        return;

    if (jobQueue.runNext() == 0)
        return;

    if (updating)
        closeJournal (paths);

    updating = false;
    view.setProgressVisible (false);
    setScreenSaverBlocked (false);
    view.setStatusText (statusText (Status::completed));
    view.setStatusHint ("Switch the device off and on to start the new firmware.");
    view.setExecuteButtonEnabled (false);
    end (Operation::update, Status::completed, false);
}

void UpdateWorkflow::stopBeforeWriting (const Recovery::Paths& paths)
{
    jobQueue.clear();
    if (! startsFromCopy)
        juce::File (paths.stagedCopyFile).deleteFile();
    updating = false;
    view.setProgressVisible (false);
    setScreenSaverBlocked (false);
}

void UpdateWorkflow::declineUpdate (const Recovery::Paths& paths, Status status, const char* hint)
{
    stopBeforeWriting (paths);
    view.setStatusText (statusText (status));
    view.setStatusHint (hint);
    view.setFileButtonEnabled (true);
    setControlsEnabled (true);
    end (Operation::update, status, false);
}

bool UpdateWorkflow::checkAreaBeforeRestore (const Recovery::Paths& paths)
{
    areaCheckPending = false;
    juce::MemoryBlock area;
    juce::File (paths.readBackFile).loadFileAsData (area);
    switch (judgeAreaForUpdate (area, updateFileSize))
    {
        case AreaVerdict::proceed:
        case AreaVerdict::askReplaceSettings: // not asked with a restore pending
            break;
        case AreaVerdict::otherUnit:
            // Nothing was erased yet; the files stay, as they were, for the unit they belong to.
            stopBeforeWriting (paths);
            logPrinter.printA ("The data at 40000h was not left by the interrupted update: this is another device. "
                               "Nothing was written.\n");
            identity.pendingUpdate = PendingUpdate::otherInstrument;
            end (Operation::update, updatesRefused().value_or (Status::otherInstrument), false);
            return false;
        case AreaVerdict::askSameUnit:
            logPrinter.printA ("The data at 40000h can't tell whether the interrupted update was of this device.\n");
            if (! view.askConfirmation ("Confirmation",
                                        "The last update of a device of this model was \n"
                                        "interrupted. This tool can't tell if it was this one. \n"
                                        "Complete that update on this device?",
                                        WorkflowView::Question::sameUnit))
            {
                declineUpdate (paths, Status::notUpdated,
                               "Connect the device whose update was interrupted to complete it.");
                return false;
            }
            unitConfirmedByUser = true;
            logPrinter.printA ("The user says this is the device of the interrupted update.\n");
            break;
    }
    if (commitStart (paths))
        return true;
    jobFailed (FailureReason::ReadFileNotMade);
    return false;
}

bool UpdateWorkflow::checkFreshBackup (const Recovery::Paths& paths)
{
    const juce::File backupFile (paths.backupFile);
    juce::MemoryBlock backup;
    backupFile.loadFileAsData (backup);
    if (judgeAreaForUpdate (backup, updateFileSize) == AreaVerdict::askReplaceSettings)
    {
        logPrinter.printA ("The data at 40000h holds no settings of this device: an interrupted update left "
                           "them elsewhere.\n");
        if (! view.askConfirmation ("Confirmation",
                                    "The settings of this device are not in its flash: \n"
                                    "its last update was interrupted, maybe on another \n"
                                    "computer. Replace them with the built-in settings?",
                                    WorkflowView::Question::replaceSettings))
        {
            declineUpdate (paths, Status::settingsMissing,
                           "Complete its interrupted update where it was started, or import that update's "
                           "recovery file.");
            return false;
        }
        settingsReplaced = true;
        logPrinter.printA ("The settings of this device are replaced with the built-in ones.\n");
    }

    runningJournal.backupDigest = Recovery::digestOf (backupFile);
    if (runningJournal.backupDigest.isNotEmpty() && commitStart (paths))
        return true;
    if (runningJournal.backupDigest.isEmpty())
        logPrinter.printW (L"Can't read %ls\n", backupFile.getFullPathName().toWideCharPointer());
    jobFailed (FailureReason::LockNotCreated);
    return false;
}

void UpdateWorkflow::closeJournal (const Recovery::Paths& paths)
{
    // Every byte is verified by now: nothing is left to complete. A journal that stays only
    // binds the next update to this instrument, which is where it is.
    if (const auto removed = Recovery::removeJournal (juce::File (paths.journalFile)); removed.failed())
        logPrinter.printW (L"%ls\n", removed.getErrorMessage().toWideCharPointer());
    juce::File (paths.updateCopyFile).deleteFile();
    identity.pendingUpdate = PendingUpdate::none;
    identity.completionConfirmed = false;
}

bool UpdateWorkflow::syncUpdateFile (const juce::String& path, int reasonIfNot)
{
    if (const auto result = Recovery::syncToDisk (juce::File (path)); result.failed())
    {
        logPrinter.printW (L"%ls\n", result.getErrorMessage().toWideCharPointer());
        jobFailed (reasonIfNot);
        return false;
    }
    return true;
}

void UpdateWorkflow::jobFailed (int reason)
{
    // A read of its own shows no status: its outcome says how it ended.
    if (reading)
    {
        reading = false;
        jobQueue.clear();
        end (Operation::read, statusOfFailure (reason), false);
        return;
    }

    // A driver the device refuses or fails is not this chip's, and the next one is tried; a
    // device that stopped answering is not tried further.
    const auto kind = jobQueue.current.kind;
    if (detectingFlash && (kind == JobKind::SendDriver || kind == JobKind::TestFlash)
        && reason != FailureReason::NoResponse)
    {
        if (! jobQueue.skipToNextDriverUpload())
        {
            detectingFlash = false;
            jobQueue.clear();
            setControlsEnabled (true);
            logPrinter.setBold (true);
            logPrinter.setTextColour (red);
            logPrinter.printW (L"Please select correct flash model.\n");
            logPrinter.setBold (false);
            logPrinter.setTextColour (black);
            setScreenSaverBlocked (false);
            end (Operation::connect, Status::noDriverFits);
        }
        else
        {
            jobQueue.runNext();
        }
        updating = false;
        view.setProgressVisible (false);
        return;
    }

    const auto operation = runningOperation();
    detectingFlash = false;
    jobQueue.clear();
    setScreenSaverBlocked (false);
    if (reason == FailureReason::NoResponse)
    {
        deviceLost = true;
        view.setExecuteButtonEnabled (false);
        view.setFileButtonEnabled (false);
    }
    // A failed update must never leave "Updating...." standing; a reason without a text of its
    // own shows none elsewhere.
    const auto status = statusOfFailure (reason);
    if (status != Status::updateFailed || updating)
        view.setStatusText (statusText (status));
    // Once the journal is on the disk, the next update of the unit completes this one.
    if (updating && reason == FailureReason::NoResponse
        && juce::File (Recovery::pathsIn (Recovery::folderLocation()).journalFile).existsAsFile())
        view.setStatusHint ("The update was interrupted. The next update of this device with the same file "
                            "completes it.");
    updating = false;
    view.setProgressVisible (false);
    end (operation, status, false);
}

//==============================================================================================
void UpdateWorkflow::versionInfoReceived (const std::u16string& record)
{
    if (recordText (record) == u"error")
    {
        // Without the identity no file can be matched: one chosen meanwhile is not taken.
        identity.versionReadPhase = 0;
        identity.fileWaitsForIdentity = false;
        end (Operation::connect, Status::identityError);
        logPrinter.printA ("%s\n", statusText (Status::identityError));
        return;
    }

    const auto lowBytes = [&record]
    {
        IdentityBytes bytes {};
        for (std::size_t i = 0; i < bytes.size() && i < record.size(); ++i)
            bytes[i] = static_cast<std::uint8_t> (record[i] & 0xFF);
        return bytes;
    };

    if (identity.versionReadPhase == 1)
    {
        identity.deviceIdBytes = lowBytes();
        if (const auto paths = preparePaths())
        {
            jobQueue.addReadToFile (paths->versionFile, FlashLayout::tagPage, FlashLayout::tagPageOffset,
                                    FlashLayout::tagLength, 0.0f, 100.0f);
            jobQueue.addReadVersionInfo (paths->versionFile);
            jobQueue.runNext();
        }
        identity.versionReadPhase = 2;
    }
    else if (identity.versionReadPhase == 2)
    {
        identity.deviceTagBytes = lowBytes();
        identity.versionReadPhase = 0;
        identity.identityRead = true;
        view.setStatusText (statusText (Status::connected));
        bindToJournal();
        end (Operation::connect, Status::connected, false);
        if (std::exchange (identity.fileWaitsForIdentity, false))
        {
            matchChosenFile();
            return;
        }
    }

    showFileCheck (checkUpdateFile());
    if (identity.versionReadPhase == 0 && identity.updateFileAccepted)
        setControlsEnabled (true);
}

void UpdateWorkflow::showFileCheck (UpdateFileCheck result)
{
    switch (result)
    {
        case UpdateFileCheck::ok:
            logPrinter.printA ("Ready to program");
            view.setStatusText (statusText (Status::connected));
            break;
        case UpdateFileCheck::modified:
            logPrinter.printA ("%s\n", statusText (Status::modified));
            view.setStatusText (statusText (Status::modified));
            break;
        case UpdateFileCheck::badSize:
            view.setStatusText (statusText (Status::badSize));
            break;
        case UpdateFileCheck::none:
            break;
    }
}

std::optional<Status> UpdateWorkflow::updatesRefused()
{
    Status reason;
    switch (identity.pendingUpdate)
    {
        case PendingUpdate::otherInstrument: reason = Status::otherInstrument; break;
        case PendingUpdate::damaged: reason = Status::damagedRecord; break;
        case PendingUpdate::none:
        case PendingUpdate::sameModel:
        case PendingUpdate::unconfirmed:
        default:
            return std::nullopt;
    }
    view.setStatusText (statusText (reason));
    view.setFileButtonEnabled (false);
    view.setExecuteButtonEnabled (false);
    return reason;
}

void UpdateWorkflow::bindToJournal()
{
    identity.pendingUpdate = PendingUpdate::none;
    identity.completionConfirmed = false;
    const auto paths = Recovery::pathsIn (Recovery::folderLocation());

    Recovery::Journal journal;
    const auto state = Recovery::readJournal (juce::File (paths.journalFile), journal);
    if (state == Recovery::JournalState::none)
        return;
    if (state == Recovery::JournalState::damaged)
    {
        logPrinter.printA ("The record of the last update is damaged: nothing of it is restored.\n");
        identity.pendingUpdate = PendingUpdate::damaged;
        updatesRefused();
        return;
    }

    switch (Recovery::bind (journal, { identity.deviceIdBytes, identity.deviceTagBytes }))
    {
        case Recovery::Binding::sameInstrument:
            // Every unit of the model reads so: the update checks the area before it restores.
            identity.pendingUpdate = PendingUpdate::sameModel;
            logPrinter.printA ("The last update of a device of this model was interrupted: the next update of "
                               "that device completes it.\n");
            view.setStatusHint ("An update of a device of this model was interrupted. If it was this one, "
                                "choose the same update file and press Execute.");
            break;
        case Recovery::Binding::unreadable:
            identity.pendingUpdate = PendingUpdate::unconfirmed;
            logPrinter.printA ("The last update was interrupted and the identity of this device can't be read. "
                               "Select the same update file to complete it.\n");
            view.setStatusHint ("The last update was interrupted. Choose the same update file and press Execute "
                                "to complete it.");
            break;
        case Recovery::Binding::otherInstrument:
            identity.pendingUpdate = PendingUpdate::otherInstrument;
            logPrinter.printA ("The last update was interrupted on another device. Its files are kept.\n");
            updatesRefused();
            return;
    }
    // The identity the update started from: what the interruption left may be damaged.
    identity.deviceIdBytes = journal.instrument.id;
    identity.deviceTagBytes = journal.instrument.tag;
}
