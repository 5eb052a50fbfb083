#pragma once

#include "devicelink/JobQueue.h"
#include "messages/LogPrinter.h"
#include "workflow/BuiltInDrivers.h"
#include "workflow/IdentityState.h"
#include "workflow/Recovery.h"
#include "workflow/UpdateFileCheck.h"
#include "workflow/UpdateJournal.h"
#include "workflow/WorkflowView.h"

#include <juce_events/juce_events.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class MidiPortSystem;

// The update workflow: it reacts to the device link's messages (connection, flash
// auto-detection, the identity read, the running job script) and to the two buttons, and shows
// its state through a view. The device link posts every message to this object. Everything
// here runs on the message thread.
class UpdateWorkflow : public juce::MessageListener
{
public:
    // `ports` go to the device link (null: the platform's MIDI ports), with the clock it waits
    // on. Nothing is probed before start().
    explicit UpdateWorkflow (WorkflowView& view, std::unique_ptr<MidiPortSystem> ports = nullptr,
                             Clock& clock = Clock::real());
    ~UpdateWorkflow() override;

    // Starts the device link's search for the instrument.
    void start();

    void handleMessage (const juce::Message& message) override;

    // What the two buttons do.
    void executeUpdate();
    void chooseUpdateFile();

    UpdateFileCheck checkUpdateFile();

    // What reading `area` (flash 40000h, 20000h bytes) at the start of an update of the chosen
    // file would lead to; the update asks this of the area it reads, a check of the area read now.
    enum class AreaVerdict
    {
        proceed,
        askSameUnit,        // a restore is pending and the area can't tell the units apart
        otherUnit,          // a restore is pending for another unit: nothing may be written
        askReplaceSettings, // no restore pending, and the area holds no settings of this unit
    };
    AreaVerdict judgeAreaForUpdate (const juce::MemoryBlock& area, juce::int64 fileSize) const;
    // Whether the choices above were taken for the update that ran last.
    bool replacedSettings() const { return settingsReplaced; }
    bool unitTakenOnTheUsersWord() const { return unitConfirmedByUser; }
    void setControlsEnabled (bool enable);
    void startVersionRead();

    // The screen saver stays off while an update runs; repeating a call changes nothing.
    void setScreenSaverBlocked (bool blocked);

    // Reads `length` bytes from flash address `start` into each of `files` in turn, one read
    // each, the bar shared between them. Ends with an outcome of Operation::read; false when
    // the link is busy and nothing started.
    bool readFlash (std::int64_t start, int length, const juce::StringArray& files);

    // How the operation that ended last ended; empty while one runs (or none has ended).
    std::optional<WorkflowOutcome> lastOutcome() const { return outcome; }

    // What the link said about the instrument.
    bool isConnected() const { return connected; }
    bool fsMode() const { return linkFsMode; }
    bool severalInstruments() const { return severalFound; }
    bool portsDenied() const { return denied; }
    // Connected, a driver fits, the identity was read, and the link is idle.
    bool ready() const;
    // The start-up (detection, identity read) has ended without getting ready.
    bool startFailed() const;
    // The last job of the running script has been started.
    bool scriptAtEnd() const { return jobQueue.getNextIndex() >= jobQueue.getJobs().size(); }
    // The end of the flash the chosen driver describes, in bytes (0: no driver chosen).
    std::int64_t flashEnd() const;

    // --- What the workflow knows, for its views and tests ---
    bool isDetectingFlash() const { return detectingFlash; }
    // The device stopped answering: the user has to quit and start again.
    bool isDeviceLost() const { return deviceLost; }
    bool isUpdating() const { return updating; } // the main window ignores its close button meanwhile

    struct DriverImage
    {
        const std::uint8_t* data = nullptr;
        int size = 0;
    };
    const DriverImage& chosenDriver() const { return workDriver; }
    double shownProgress() const { return progressValue; }
    const juce::String& updateFile() const { return updateFilePath; }
    const UpdateIdentityState& identityState() const { return identity; }
    const JobQueue& jobs() const { return jobQueue; }

    // The device link prints through this; it must outlive the job queue.
    CLogPrinter logPrinter;

private:
    friend struct UpdateWorkflowTestAccess;

    bool detectingFlash = false;
    // The device stopped answering: the user has to quit and start again, so nothing that
    // arrives later unlocks Execute or File...
    bool deviceLost = false;
    bool updating = false; // the main window ignores its close button while set

    DriverImage workDriver;

    double progressRangeStart = 0.0;
    double progressRangeEnd = 0.0;
    double progressValue = 0.0; // what the view's bar shows

    juce::String updateFilePath; // at most 259 UTF-16 units
    int updateFileSize = 0;

    UpdateIdentityState identity;

    std::vector<DriverEntry> builtInDrivers;

    // The job script and the device link it owns.
    JobQueue jobQueue;

    bool connected = false;
    bool linkFsMode = false;
    bool severalFound = false;
    bool denied = false;
    bool reading = false; // readFlash's jobs run
    std::optional<WorkflowOutcome> outcome;
    // Shows the reason's status (when it has one) and ends `operation` with it.
    void end (Operation operation, Status reason, bool showStatus = true);
    // The operation a failing job belongs to.
    Operation runningOperation() const;

    // The journal of the update that runs; on the disk only from commitStart() on.
    Recovery::Journal runningJournal;
    // The update starts by reading the area at 40000h to check it before a restore.
    bool areaCheckPending = false;
    // The chosen file is the private copy itself: used as it is, never copied onto itself.
    bool startsFromCopy = false;
    // The choices of this update that cost data, for the record.
    bool settingsReplaced = false;
    bool unitConfirmedByUser = false;
    // False (the update stopped, nothing written) unless the area is this unit's or the user
    // says so.
    bool checkAreaBeforeRestore (const Recovery::Paths& paths);
    // False (stopped, nothing written) when the fresh backup holds no settings of the unit and
    // the user does not choose the built-in ones.
    bool checkFreshBackup (const Recovery::Paths& paths);
    // Puts the chosen file's copy and the journal on the disk: from here the flash may change.
    bool commitStart (const Recovery::Paths& paths);
    // Ends an update that was stopped before its first flash change; the files of an earlier
    // one stay as they were.
    void stopBeforeWriting (const Recovery::Paths& paths);
    // The same, when the user answered NO to a choice that costs data: the status says so.
    void declineUpdate (const Recovery::Paths& paths, Status status, const char* hint);

    // The private folder for the update's files, created on demand; logs why when it cannot be.
    std::optional<Recovery::Paths> preparePaths();
    void setProgressValue (double value);

    void deviceConnected();
    void progress (int phase, int p2, int p3);
    void jobSucceeded();
    void jobFailed (int reason);
    // A file of the update kept only once it is on the disk; otherwise the update ends with
    // `reasonIfNot`.
    bool syncUpdateFile (const juce::String& path, int reasonIfNot);
    void versionInfoReceived (const std::u16string& record);
    // Compares the identity just read with the journal of an interrupted update, if any.
    void bindToJournal();
    // Set (and File... and Execute disabled, the reason shown) while the journal forbids
    // writing to this instrument.
    std::optional<Status> updatesRefused();
    void closeJournal (const Recovery::Paths& paths);
    // Writes the journal of the update about to start; false when it could not be.
    bool openJournal (const Recovery::Paths& paths, const juce::File& copy, const juce::String& backupDigest);
    // The link runs a job or a sequence of them (detection, the identity read, an update).
    bool linkBusy() const;
    bool fitsTheFlash (juce::int64 size) const;
    void matchChosenFile();
    // Execute ends: the private copy taken is not one to write.
    void refuseCopy (const juce::File& copy, const char* why, Status reason = Status::notSupported);
    // Asks whether the interrupted update of an instrument whose identity can't be read is to
    // be completed with `chosen`, offered only when it is the journal's file.
    bool confirmCompletion (const juce::File& chosen);
    void showFileCheck (UpdateFileCheck result);

    WorkflowView& view;

    JUCE_DECLARE_NON_COPYABLE (UpdateWorkflow)
};
