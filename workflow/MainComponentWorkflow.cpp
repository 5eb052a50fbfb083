// The main component's workflow: the reactions to the device link's messages (connection,
// flash auto-detection, the identity read, the running update script), the two buttons, and
// the built-in driver table. Everything here runs on the message thread.

#include "ui/MainComponent.h"

#include "devicelink/BuiltInData.h"
#include "devicelink/DriverImage.h"
#include "devicelink/JobQueue.h"
#include "ui/AlertDialogUpdate.h"
#include "workflow/IdentityState.h"
#include "workflow/Recovery.h"
#include "workflow/UpdateFileCheck.h"
#include "workflow/UpdateScript.h"
#include "workflow/WorkflowHooks.h"

#include <algorithm>

namespace
{
constexpr std::uint32_t black = 0xFF000000;
constexpr std::uint32_t red = 0xFFFF0000;
constexpr std::uint32_t blue = 0xFF0000FF;
constexpr std::uint32_t barColour = 0xFFC0C0C0;

constexpr int identityPage = 0;
constexpr int identityOffset = 0x1FFF4;
constexpr int tagPage = 0x4F;   // 4Fh x 20000h = 9E0000h
constexpr int tagOffset = 0;

const char* const updateFailedText = "Update failed. Quit this tool and try again.";
const char* const noFolderText = "Can't create folder to save data.";

std::array<char, 18> nameField (const std::string& text)
{
    std::array<char, 18> field {};
    std::copy_n (text.begin(), std::min<std::size_t> (text.size(), field.size() - 1), field.begin());
    return field;
}

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

// Status texts of a failed job, by reason.
const char* failureText (int reason)
{
    switch (reason)
    {
        case FailureReason::ReadFileNotMade: return "Can't create file to save data.";
        case FailureReason::FilesDiffer:     return "The data read from flash is not correct.";
        case FailureReason::LockNotCreated:  return "Can't create lock file!";
        case FailureReason::LockNotDeleted:  return "Can't delete lock file!";
        case FailureReason::NoResponse:      return "Device disconnected. Quit this tool and try again.";
        case FailureReason::SourceNotOpened: return "Can't open file to read data.";
        case FailureReason::FlashFailed:     return "Flash operation failed in the device.";
        case FailureReason::JobRefused:      return "Flash job can't run with this data.";
        default:                             return nullptr;
    }
}

// The private folder for the update's files, created on demand; logs why when it cannot be.
std::optional<Recovery::Paths> preparePaths (CLogPrinter& log)
{
    const auto folder = Recovery::folderLocation();
    if (const auto result = Recovery::prepareFolder (folder); result.failed())
    {
        log.printW (L"%ls\n", result.getErrorMessage().toWideCharPointer());
        return std::nullopt;
    }
    return Recovery::pathsIn (folder);
}
} // namespace

//==============================================================================================
WorkflowHooks& workflowHooks()
{
    static WorkflowHooks hooks;
    return hooks;
}

std::unique_ptr<MidiPortSystem> makeWorkflowPorts()
{
    return workflowHooks().makePorts ? workflowHooks().makePorts() : nullptr;
}

std::vector<DriverEntry> makeBuiltInDrivers()
{
    std::vector<DriverEntry> drivers;
    for (const auto& block : BuiltInData::detectionDrivers())
    {
        const auto names = DriverImage::readNames (block.data, block.size);
        drivers.push_back ({ block.data, block.size, nameField (names.mcu), nameField (names.flash) });
    }
    return drivers;
}

void MainComponent::startDeviceLink()
{
    jobQueue.communication.listener = this;
    jobQueue.communication.log = &logPrinter;
    jobQueue.rescan();
}

//==============================================================================================
void MainComponent::setControlsEnabled (bool enable)
{
    if (identityState().updateFileAccepted)
        executeButton->setEnabled (enable);
}

void MainComponent::startVersionRead()
{
    jobQueue.clear();

    if (const auto paths = preparePaths (logPrinter))
    {
        jobQueue.addReadToFile (paths->versionFile, identityPage, identityOffset,
                                UpdateIdentityState::identityLength, 0.0f, 100.0f);
        jobQueue.addReadVersionInfo (paths->versionFile);
        jobQueue.runNext();
        identityState().versionReadPhase = 1;
        logPrinter.printW (L"Check file version and flash version.\n");
    }
    else
    {
        statusLabel->setText (noFolderText, juce::dontSendNotification);
    }

    fileButton->setEnabled (true);
}

namespace
{
void jobFailed (MainComponent& c, int reason);
bool syncUpdateFile (MainComponent& c, const juce::String& path);
void adoptSavedIdentity (MainComponent& c);
bool confirmWithDialog (MainComponent& c, const juce::String& question);

void jobSucceeded (MainComponent& c)
{
    if (c.detectingFlash && c.jobQueue.current.kind == JobKind::TestFlash)
    {
        c.detectingFlash = false;
        const auto& job = c.jobQueue.current;
        c.logPrinter.setTextColour (blue);
        c.logPrinter.printW (L"Select MCU: %ls, flash: %ls\n", widen (job.mcuName.data()).c_str(),
                           widen (job.flashName.data()).c_str());
        c.workDriver = { job.data, job.dataLength };
        c.startVersionRead();
        return;
    }

    const auto paths = Recovery::pathsIn (Recovery::folderLocation());

    // A file job may only go on once what it wrote survives a power cut: the backup before
    // the lock is created, the lock before the flash is touched.
    if (c.updating && c.jobQueue.current.kind == JobKind::ReadToFile
        && c.jobQueue.current.path == paths.backupFile)
    {
        if (! syncUpdateFile (c, paths.backupFile))
            return;
    }
    else if (c.updating && c.jobQueue.current.kind == JobKind::BackupLock && c.jobQueue.current.mode == 0)
    {
        if (! syncUpdateFile (c, paths.lockFile))
            return;
    }

    if (c.jobQueue.runNext() == 0)
        return;

    c.updating = false;
    c.progressBar->setVisible (false);
    allowScreenSaver();
    c.statusLabel->setText ("Update completed successfully.", juce::dontSendNotification);
    c.executeButton->setEnabled (false);
}

bool syncUpdateFile (MainComponent& c, const juce::String& path)
{
    if (const auto result = Recovery::syncToDisk (juce::File (path)); result.failed())
    {
        c.logPrinter.printW (L"%ls\n", result.getErrorMessage().toWideCharPointer());
        jobFailed (c, FailureReason::ReadFileNotMade);
        return false;
    }
    return true;
}

void jobFailed (MainComponent& c, int reason)
{
    if (c.detectingFlash && c.jobQueue.current.kind == JobKind::TestFlash)
    {
        if (c.jobQueue.noDriverUploadNext())
        {
            c.detectingFlash = false;
            c.jobQueue.clear();
            c.setControlsEnabled (true);
            c.logPrinter.setBold (true);
            c.logPrinter.setTextColour (red);
            c.logPrinter.printW (L"Please select correct flash model.\n");
            c.logPrinter.setBold (false);
            c.logPrinter.setTextColour (black);
            allowScreenSaver();
        }
        else if (c.jobQueue.runNext() != 0)
        {
            c.detectingFlash = false;
            c.jobQueue.clear();
            c.setControlsEnabled (true);
            allowScreenSaver();
        }
        c.updating = false;
        c.progressBar->setVisible (false);
        return;
    }

    c.detectingFlash = false;
    c.jobQueue.clear();
    allowScreenSaver();
    if (const auto* text = failureText (reason))
        c.statusLabel->setText (text, juce::dontSendNotification);
    else if (c.updating)
        // A failed update must never leave "Updating...." standing.
        c.statusLabel->setText (updateFailedText, juce::dontSendNotification);
    c.updating = false;
    c.progressBar->setVisible (false);
}

void versionInfoReceived (MainComponent& c, const std::u16string& record)
{
    auto& state = identityState();

    if (recordText (record) == u"error")
    {
        c.statusLabel->setText ("Someting error when getting version from device.", juce::dontSendNotification);
        c.logPrinter.printA ("Someting error when getting version from device.\n");
        return;
    }

    const auto lowBytes = [&record]
    {
        std::array<std::uint8_t, UpdateIdentityState::identityLength> bytes {};
        for (std::size_t i = 0; i < bytes.size() && i < record.size(); ++i)
            bytes[i] = static_cast<std::uint8_t> (record[i] & 0xFF);
        return bytes;
    };

    if (state.versionReadPhase == 1)
    {
        state.deviceIdBytes = lowBytes();
        if (const auto paths = preparePaths (c.logPrinter))
        {
            c.jobQueue.addReadToFile (paths->versionFile, tagPage, tagOffset,
                                    UpdateIdentityState::identityLength, 0.0f, 100.0f);
            c.jobQueue.addReadVersionInfo (paths->versionFile);
            c.jobQueue.runNext();
        }
        state.versionReadPhase = 2;
    }
    else if (state.versionReadPhase == 2)
    {
        state.deviceTagBytes = lowBytes();
        state.versionReadPhase = 0;
        adoptSavedIdentity (c);
        c.statusLabel->setText ("Device connected.", juce::dontSendNotification);
    }

    switch (c.checkUpdateFile())
    {
        case UpdateFileCheck::ok:
            c.logPrinter.printA ("Ready to program");
            c.statusLabel->setText ("Device connected.", juce::dontSendNotification);
            break;
        case UpdateFileCheck::modified:
            c.logPrinter.printA ("The update file is modified!\n");
            c.statusLabel->setText ("The update file is modified!", juce::dontSendNotification);
            break;
        case UpdateFileCheck::badSize:
            c.statusLabel->setText ("The size of the update file is not correct.", juce::dontSendNotification);
            break;
        case UpdateFileCheck::none:
            break;
    }
}

void adoptSavedIdentity (MainComponent& c)
{
    auto& state = identityState();
    const auto paths = Recovery::pathsIn (Recovery::folderLocation());
    const Recovery::Identity read { state.deviceIdBytes, state.deviceTagBytes };
    const auto effective = Recovery::effectiveIdentity (read, Recovery::loadIdentity (juce::File (paths.identityFile)));
    if (effective.id == read.id && effective.tag == read.tag)
        return;

    c.logPrinter.printA ("The flash identity is erased; using the identity saved by the interrupted update.\n");
    state.deviceIdBytes = effective.id;
    state.deviceTagBytes = effective.tag;
}

void executeUpdate (MainComponent& c)
{
    auto& state = identityState();

    // The size rules are also checked here: the button stays enabled for a matching file of
    // the wrong size, and no script has a meaning for one.
    const juce::File file (c.updateFilePath);
    const auto size = file.existsAsFile() ? file.getSize() : 0;
    if (UpdateFile::sizeProblem (size) != nullptr)
    {
        c.statusLabel->setText ("The size of the update file is not correct.", juce::dontSendNotification);
        return;
    }
    c.updateFileSize = static_cast<int> (size);

    const juce::String question ("Are you sure to update? \nDo not shut power off \nwhile updating.");
    const bool confirmed = workflowHooks().confirmUpdate ? workflowHooks().confirmUpdate (c, "Confirmation", question)
                                                         : confirmWithDialog (c, question);
    if (! confirmed)
        return;

    if (c.logPrinter.getEditor() != nullptr)
        c.logPrinter.clearLog();
    c.jobQueue.clear();
    c.statusLabel->setText ("Updating....", juce::dontSendNotification);
    c.fileButton->setEnabled (false);

    const auto paths = preparePaths (c.logPrinter);
    if (! paths.has_value())
    {
        c.statusLabel->setText (noFolderText, juce::dontSendNotification);
        return;
    }

    // Recorded before the flash is touched: an interrupted update may erase the identity bytes.
    if (! std::all_of (state.deviceIdBytes.begin(), state.deviceIdBytes.end(), [] (auto b) { return b == 0xFF; }))
    {
        if (const auto saved = Recovery::saveIdentity (juce::File (paths->identityFile),
                                                       { state.deviceIdBytes, state.deviceTagBytes });
            saved.failed())
        {
            c.logPrinter.printW (L"%ls\n", saved.getErrorMessage().toWideCharPointer());
            c.statusLabel->setText ("Can't create file to save data.", juce::dontSendNotification);
            return;
        }
    }

    const auto special = BuiltInData::specialDriver();
    const UpdateScript::Blocks blocks { c.workDriver.data, c.workDriver.size, special.data, special.size,
                                        BuiltInData::paramArea().data, BuiltInData::zeroBlock().data };

    if (UpdateScript::queue (c.jobQueue, c.updateFilePath, c.updateFileSize, blocks, *paths, c.logPrinter)
        == UpdateScript::Kind::refused)
    {
        c.statusLabel->setText ("Found an error can't be fixed in the last update.", juce::dontSendNotification);
        return;
    }

    c.progressValue = 0.0;
    c.jobQueue.runNext();
    c.updating = true;
    c.progressBar->setVisible (true);
    c.setControlsEnabled (false);
    blockScreenSaver();
}

bool confirmWithDialog (MainComponent& c, const juce::String& question)
{
    alertDialog_Update dialog;
    dialog.setMode (alertDialog_Update::questionMode);
    dialog.setMessage (question);
    return dialog.runModal ("Confirmation", &c) != 0;
}

} // namespace

//==============================================================================================
void MainComponent::handleMessage (const juce::Message& message)
{
    const auto* custom = dynamic_cast<const CCustomMessage*> (&message);
    if (custom == nullptr)
        return;

    const int p1 = custom->param1, p2 = custom->param2, p3 = custom->param3;

    switch (custom->code)
    {
        case MessageCode::DeviceConnected:
        {
            logPrinter.printA ("Device Connected! Test MCU/Flash type.\n");
            jobQueue.clear();
            for (const auto& entry : builtInDrivers)
            {
                jobQueue.addSendDriver (entry.data, entry.size, entry.flashName.data(), 0.0f, 100.0f);
                jobQueue.addTestFlash (entry.mcuName.data(), entry.flashName.data(), entry.data, entry.size);
            }
            jobQueue.runNext();
            detectingFlash = true;
            break;
        }

        case MessageCode::DeviceNotFound:
            executeButton->setEnabled (false);
            statusLabel->setText ("Device not found. Quit this tool and try again.", juce::dontSendNotification);
            break;

        case MessageCode::MultipleDevices:
        {
            const auto text = juce::String ("Two or more devices! Please check it!\n")
                              + juce::String (juce::CharPointer_UTF8 (
                                  "\xe6\xa3\x80\xe6\xb5\x8b\xe5\x88\xb0\xe4\xb8\xa4\xe5\x8f\xb0\xe6\x88\x96"
                                  "\xe6\x9b\xb4\xe5\xa4\x9a\xe8\xae\xbe\xe5\xa4\x87\xef\xbc\x81\xe8\xaf\xb7"
                                  "\xe6\xa3\x80\xe6\x9f\xa5\xef\xbc\x81"));
            if (workflowHooks().showWarning)
                workflowHooks().showWarning ("Warning", text);
            else
                juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, "Warning", text, "OK");
            break;
        }

        case MessageCode::OperationState:
            setControlsEnabled (p1 != 0);
            break;

        case MessageCode::Progress:
            if (p1 == ProgressPhase::None)
                break;
            if (p1 == ProgressPhase::Range)
            {
                progressRangeStart = p2 / 1000.0;
                progressRangeEnd = p3 / 1000.0;
                break;
            }
            progressBar->setColour (juce::ProgressBar::foregroundColourId, juce::Colour (barColour));
            progressBar->setTextToDisplay ("Updating...");
            if (p3 != 0)
                progressValue = progressRangeStart
                                + (progressRangeEnd - progressRangeStart) * static_cast<double> (p2) / p3;
            break;

        case MessageCode::JobFinished:
            if (p1 == 0)
                jobSucceeded (*this);
            else
                jobFailed (*this, p2);
            break;

        case MessageCode::VersionInfo:
            if (custom->data != nullptr)
                versionInfoReceived (*this, *custom->data);
            break;

        default: // ScanStarted, LinkState and unknown codes
            break;
    }
}

//==============================================================================================
void MainComponent::buttonClicked (juce::Button* button)
{
    if (button == executeButton.get())
        executeUpdate (*this);
    else if (button == fileButton.get())
        chooseUpdateFile();
}

//==============================================================================================
void MainComponent::chooseUpdateFile()
{
    auto& state = identityState();

    const juce::String title ("Select..."), patterns ("*.bin;*.rom");
    juce::File chosen;
    if (workflowHooks().chooseFile)
    {
        chosen = workflowHooks().chooseFile (*this, title, patterns);
    }
    else
    {
        juce::FileChooser chooser (title, {}, patterns);
        if (chooser.browseForFileToOpen())
            chosen = chooser.getResult();
    }
    if (chosen == juce::File())
        return;

    updateFilePath = chosen.getFullPathName();
    fileNameLabel->setText (chosen.getFileName(), juce::dontSendNotification);

    const bool match = UpdateFile::matchesInstrument (chosen, state.deviceIdBytes, state.deviceTagBytes);
    updateFileSize = static_cast<int> (std::min<juce::int64> (chosen.getSize(), std::numeric_limits<int>::max()));

    if (! match)
    {
        executeButton->setEnabled (false);
        state.updateFileAccepted = false;
        const juce::String text ("The selected file is not supported.");
        if (workflowHooks().showMessage)
        {
            workflowHooks().showMessage (*this, "Message", text);
        }
        else
        {
            alertDialog_Update dialog;
            dialog.setMode (alertDialog_Update::messageMode);
            dialog.setMessage (text);
            dialog.runModal ("Message", this);
        }
        return;
    }

    state.updateFileAccepted = true;
    checkUpdateFile();
    executeButton->setEnabled (true);
}

UpdateFileCheck MainComponent::checkUpdateFile()
{
    if (! identityState().updateFileAccepted)
        return UpdateFileCheck::none;

    juce::int64 size = 0;
    const auto result = UpdateFile::check (juce::File (updateFilePath), logPrinter, size);
    updateFileSize = static_cast<int> (std::min<juce::int64> (size, std::numeric_limits<int>::max()));
    return result;
}
