#include "cli/Session.h"

#include "cli/History.h"
#include "cli/LocalFiles.h"
#include "cli/ExitForOutcome.h"
#include "cli/MessageWait.h"
#include "cli/RecoveryCommands.h"
#include "instance/InstanceLock.h"
#include "workflow/UpdateHistory.h"
#include "cli/Reporter.h"
#include "cli/TerminalView.h"
#include "devicelink/DriverImage.h"
#include "devicelink/SafeFiles.h"
#include "workflow/Recovery.h"

#include <cstring>
#include <limits>
#include <unistd.h>

namespace cli
{
namespace
{
// Why an update stops at a choice that costs data, and how to go on; check says the same.
juce::String choiceRefusal (const juce::String& option)
{
    if (option == "--same-unit")
        return juce::String (statusText (Status::notUpdated))
               + " An update of an instrument of this model was interrupted and its parameter area "
                 "can't tell whether it was this one: connect that instrument, or add --same-unit if it is this one.";
    return juce::String (statusText (Status::settingsMissing))
           + " Its update was interrupted elsewhere: complete it there, or import that "
             "update's recovery file; --replace-settings takes the built-in settings instead.";
}

// The bytes as text up to the first zero or erased byte; what is not printable shows as '.'.
juce::String textOf (const std::uint8_t* bytes, std::size_t size)
{
    juce::String text;
    for (std::size_t i = 0; i < size && bytes[i] != 0 && bytes[i] != 0xFF; ++i)
        text << (bytes[i] >= 0x20 && bytes[i] < 0x7F ? juce::String::charToString (static_cast<juce::juce_wchar> (bytes[i])) : ".");
    return text;
}

const char* pendingName (PendingUpdate p)
{
    switch (p)
    {
        case PendingUpdate::none: return "none";
        case PendingUpdate::sameModel: return "same-model";
        case PendingUpdate::unconfirmed: return "identity-unreadable";
        case PendingUpdate::otherInstrument: return "other-instrument";
        case PendingUpdate::damaged: return "damaged-record";
    }
    return "none";
}


struct RunResult
{
    Exit code;
    juce::String message;
    // The choices that cost data, taken by their options; the JSON result names them.
    bool settingsReplaced = false;
    bool sameUnitTaken = false;
};

RunResult resultOf (const std::optional<WorkflowOutcome>& outcome)
{
    if (! outcome.has_value())
        return { Exit::deviceFailure, "the operation did not end" };
    return { exitFor (outcome->ending), messageFor (*outcome) };
}

class Session
{
public:
    Session (const Options& o, Reporter& r, Environment e)
        : options (o), reporter (r), environment (std::move (e)), view (r, meter), logLines (r)
    {
    }

    ~Session() { closeWorkflow(); }

    RunResult run()
    {
        switch (options.command)
        {
            case Command::list: return list();
            case Command::check: return checkOrUpdate (false);
            case Command::update: return checkOrUpdate (true);
            case Command::read: return read();
            case Command::recoveryExport:
            case Command::recoveryImport:
            case Command::history:
            case Command::none:
            case Command::help:
            case Command::version:
                break;
        }
        return { Exit::usage, "no command" };
    }

private:
    // --- Stopping ---
    int stopsSeen = 0;
    bool stopWarned = false;

    // True once the run is to end. While an update writes, the first Ctrl-C only warns.
    bool stopNow()
    {
        const int requests = environment.stopRequests ? environment.stopRequests() : 0;
        if (requests == stopsSeen)
            return false;
        if (workflow != nullptr && workflow->isUpdating() && ! stopWarned)
        {
            stopWarned = true;
            stopsSeen = requests;
            reporter.warning ("the update is writing the flash: stopping now leaves the instrument to be completed "
                              "by the next update. Press Ctrl-C again to stop anyway.");
            return false;
        }
        return true;
    }

    // Runs the message loop until `done`; false after `timeoutMs` (never with noTimeout) or a stop.
    bool pumpUntil (const std::function<bool()>& done, int timeoutMs)
    {
        const auto end = dispatchUntil (done, timeoutMs, [this] { return stopNow(); });
        stopped = stopped || end == WaitEnd::stopped;
        return end == WaitEnd::done;
    }

    RunResult stoppedResult() { return { Exit::cancelled, "stopped" }; }

    // --- Connection ---
    std::unique_ptr<MidiPortSystem> freshPorts()
    {
        return environment.makePorts ? environment.makePorts() : createPlatformMidiPorts();
    }

    PortSystemFactory factory()
    {
        return [this] { return freshPorts(); };
    }

    bool duplicateName (const MidiPortInfo& port)
    {
        int same = 0;
        for (const auto& p : listPorts (factory()))
            same += p.name == port.name ? 1 : 0;
        return same > 1;
    }

    juce::String portNames (const std::vector<MidiPortInfo>& ports)
    {
        juce::StringArray names;
        for (const auto& p : ports)
            names.add (duplicateName (p) ? p.name + " (" + p.identifier + ")" : p.name);
        return names.isEmpty() ? juce::String ("none") : names.joinIntoString (", ");
    }

    // The ports to talk to: the one --port names, else every port that answers the probe.
    std::optional<RunResult> choosePorts (std::vector<MidiPortInfo>& chosen, bool onlyOne)
    {
        if (options.port.isNotEmpty())
        {
            const auto ports = listPorts (factory());
            for (const auto& p : ports)
                if (p.identifier == options.port || p.name == options.port)
                    chosen.push_back (p);
            // Two interfaces of one model share a name: then only the system's id says which.
            if (chosen.size() > 1)
                return RunResult { Exit::usage, "several ports are named " + options.port + ": choose one by its id ("
                                                  + portNames (chosen) + ")" };
            if (chosen.size() == 1)
                return std::nullopt;
            return RunResult { Exit::noInstrument, "no port named " + options.port + " (ports: " + portNames (ports) + ")" };
        }

        reporter.event (statusText (Status::connecting));
        // One port: its own probe in the workflow says whether an instrument is there.
        if (const auto ports = listPorts (factory()); ports.size() == 1)
        {
            chosen = ports;
            return std::nullopt;
        }
        const auto answers = surveyPorts (factory(), environment.surveyMs, [this] { return stopped = stopped || stopNow(); });
        if (stopped)
            return stoppedResult();
        bool denied = false;
        for (const auto& a : answers)
        {
            denied = denied || a.denied;
            if (a.several && onlyOne)
                return RunResult { Exit::severalInstruments, "two or more instruments answer on the port " + a.port.name
                                                               + ": connect one only" };
            if (a.answered)
                chosen.push_back (a.port);
        }
        if (chosen.empty())
        {
            if (denied)
                return RunResult { Exit::noInstrument, statusText (Status::portsDenied) };
            return RunResult { Exit::noInstrument, "Device not found. (ports probed: " + portNames (listPorts (factory())) + ")" };
        }
        if (chosen.size() > 1 && onlyOne)
            return RunResult { Exit::severalInstruments, "two or more instruments answer: " + portNames (chosen)
                                                           + ". Choose one with --port NAME." };
        return std::nullopt;
    }

    void closeWorkflow()
    {
        if (workflow != nullptr)
            workflow->logPrinter.setEditor (nullptr);
        view.workflow = nullptr;
        workflow.reset();
    }

    // Starts the workflow on one port and waits until it has read the instrument's identity.
    std::optional<RunResult> openWorkflow (const MidiPortInfo& port)
    {
        closeWorkflow();
        view.status = {};
        workflow = std::make_unique<UpdateWorkflow> (view, onePort (freshPorts(), port.identifier));
        view.workflow = workflow.get();
        workflow->logPrinter.setEditor (&logLines);
        workflow->start();

        auto& w = *workflow;
        pumpUntil ([&] { return w.isConnected() || w.severalInstruments() || w.portsDenied(); }, environment.connectMs);
        if (stopped)
            return stoppedResult();
        if (w.portsDenied() && ! w.isConnected())
            return RunResult { Exit::noInstrument, statusText (Status::portsDenied) };
        if (! w.isConnected() && ! w.severalInstruments())
            return RunResult { Exit::noInstrument, "Device not found on " + port.name + "." };

        pumpUntil ([&] { return w.ready() || w.startFailed() || w.severalInstruments() || view.severalInstruments; },
                   environment.readyMs);
        if (stopped)
            return stoppedResult();
        if (w.severalInstruments() || view.severalInstruments)
            return RunResult { Exit::severalInstruments, "two or more instruments answer on the port " + port.name
                                                           + ": connect one only" };
        if (w.ready())
            return std::nullopt;
        if (! w.startFailed())
            return RunResult { Exit::deviceFailure, "the instrument did not finish its start in time" };
        if (const auto ended = w.lastOutcome(); ended.has_value() && ended->ending != Ending::completed)
            return resultOf (ended);
        return RunResult { Exit::deviceFailure, "the instrument's start did not end ready" };
    }

    std::optional<RunResult> connectOne()
    {
        std::vector<MidiPortInfo> chosen;
        if (auto refused = choosePorts (chosen, true))
            return refused;
        chosenPort = chosen.front();
        return openWorkflow (chosenPort);
    }

    // The flash the chosen driver describes, in bytes.
    std::int64_t flashBytes() const { return workflow->flashEnd(); }

    // --- list ---
    RunResult list()
    {
        std::vector<MidiPortInfo> ports;
        if (auto refused = choosePorts (ports, false))
            return *refused;

        RunResult worst { Exit::ok, {} };
        int listed = 0;
        for (const auto& port : ports)
        {
            if (auto failed = openWorkflow (port))
            {
                if (stopped)
                    return *failed;
                reporter.warning (port.name + ": " + failed->message);
                if (worst.code == Exit::ok)
                    worst = *failed;
                continue;
            }
            describe (port);
            ++listed;
            closeWorkflow();
        }
        if (worst.code != Exit::ok)
            return worst;
        return { Exit::ok, juce::String (listed) + (listed == 1 ? " instrument found." : " instruments found.") };
    }

    void describe (const MidiPortInfo& port)
    {
        auto& w = *workflow;
        const auto names = ::DriverImage::readNames (w.chosenDriver().data, w.chosenDriver().size);
        const auto& id = w.identityState().deviceIdBytes;
        const auto& tag = w.identityState().deviceTagBytes;

        juce::DynamicObject fields;
        fields.setProperty ("port", port.name);
        fields.setProperty ("id", port.identifier);
        fields.setProperty ("linkMode", w.fsMode() ? "FS" : "HS");
        fields.setProperty ("mcu", juce::String (names.mcu));
        fields.setProperty ("flash", juce::String (names.flash));
        fields.setProperty ("flashBytes", static_cast<juce::int64> (flashBytes()));
        fields.setProperty ("identity", textOf (id.data(), id.size()));
        fields.setProperty ("identityHex", hexOf (id));
        fields.setProperty ("tag", textOf (tag.data(), tag.size()));
        fields.setProperty ("tagHex", hexOf (tag));
        fields.setProperty ("pendingUpdate", pendingName (w.identityState().pendingUpdate));

        juce::String text;
        text << "port " << port.name;
        if (duplicateName (port))
            text << " (" << port.identifier << ")";
        text << "\n  link mode  " << (w.fsMode() ? "FS" : "HS")
             << "\n  flash      " << names.flash << " (" << juce::String (flashBytes() / (1024 * 1024)) << " MiB), MCU "
             << names.mcu
             << "\n  identity   " << textOf (id.data(), id.size()) << "  [" << hexOf (id) << "]"
             << "\n  tag        " << textOf (tag.data(), tag.size()) << "  [" << hexOf (tag) << "]";
        if (w.identityState().pendingUpdate == PendingUpdate::sameModel)
            text << "\n  pending    an interrupted update of an instrument of this model (same-model): "
                    "check or update reads the parameter area to tell whether it was this one";
        else if (w.identityState().pendingUpdate != PendingUpdate::none)
            text << "\n  pending    an interrupted update (" << pendingName (w.identityState().pendingUpdate) << ")";
        reporter.instrument (fields, text);
    }

    // --- check and update ---
    RunResult checkOrUpdate (bool write)
    {
        const juce::File file = juce::File::getCurrentWorkingDirectory().getChildFile (options.file);
        {
            juce::String why;
            if (SafeFiles::openForReading (file, &why) == nullptr)
                return { Exit::localFiles, "can't read " + file.getFullPathName() + ": " + why };
        }
        if (auto failed = connectOne())
            return *failed;
        auto& w = *workflow;
        const auto& id = w.identityState().deviceIdBytes;
        reporter.resultDetail ("port", chosenPort.name);
        reporter.resultDetail ("identity", textOf (id.data(), id.size()));
        reporter.resultFile (file);

        if (w.identityState().pendingUpdate == PendingUpdate::otherInstrument)
            return resultOf (WorkflowOutcome { Operation::check, Ending::pendingUpdate, Status::otherInstrument });
        if (w.identityState().pendingUpdate == PendingUpdate::damaged)
            return resultOf (WorkflowOutcome { Operation::check, Ending::pendingUpdate, Status::damagedRecord });

        // The file check: File... in the window.
        view.file = file;
        // Completing on an identity that can't be read is offered only for the journal's own file;
        // update asks (or takes --yes), a check only says that the question will come.
        view.answer = ! write ? TerminalView::Answer::checkOnly
                              : options.yes ? TerminalView::Answer::yes : TerminalView::Answer::askTerminal;
        view.lastMessage = {};
        const int questionsBefore = view.questions;
        w.chooseUpdateFile();
        if (! w.identityState().updateFileAccepted)
        {
            if (view.questions != questionsBefore)
                return view.unanswerable ? RunResult { Exit::pendingUpdate, "the last update was interrupted and this "
                                                     "instrument's identity can't be read: confirm on a terminal, or "
                                                     "with --yes, that it is the same instrument" }
                                         : RunResult { Exit::cancelled, "not confirmed" };
            if (w.identityState().pendingUpdate == PendingUpdate::unconfirmed)
                return resultOf (WorkflowOutcome { Operation::check, Ending::pendingUpdate, Status::onlyJournalFile });
            return resultOf (w.lastOutcome());
        }
        switch (w.checkUpdateFile())
        {
            case UpdateFileCheck::ok:
                break;
            case UpdateFileCheck::modified:
                return resultOf (WorkflowOutcome { Operation::check, Ending::fileRefused, Status::modified });
            case UpdateFileCheck::badSize:
            case UpdateFileCheck::none:
                return resultOf (WorkflowOutcome { Operation::check, Ending::fileRefused, Status::badSize });
        }
        if (! write)
            return checkArea (file.getSize());

        // Execute.
        view.answer = options.yes ? TerminalView::Answer::yes : TerminalView::Answer::askTerminal;
        view.sameUnit = options.sameUnit;
        view.replaceSettings = options.replaceSettings;
        view.optionNeeded = {};
        view.unanswerable = false;
        view.answeredNo = false;
        meter.reset();
        w.executeUpdate();
        if (! w.isUpdating())
        {
            if (view.optionNeeded.isNotEmpty())
                return { Exit::pendingUpdate, choiceRefusal (view.optionNeeded) };
            if (view.unanswerable)
                return { Exit::usage, "no terminal to ask whether to update: add --yes" };
            if (view.answeredNo)
                return { Exit::cancelled, "not updated" };
            return resultOf (w.lastOutcome());
        }

        pumpUntil ([&] { return ! w.isUpdating(); }, noTimeout);
        if (view.optionNeeded.isNotEmpty())
            return { Exit::pendingUpdate, choiceRefusal (view.optionNeeded) };
        if (stopped)
            return { Exit::cancelled, "stopped while updating: the next update of this instrument completes this one" };
        const auto ended = w.lastOutcome();
        if (ended.has_value() && ended->ending == Ending::completed)
        {
            juce::String taken;
            if (w.replacedSettings())
                taken << " The instrument's settings were replaced with the built-in ones (--replace-settings).";
            if (w.unitTakenOnTheUsersWord())
                taken << " The interrupted update was completed on this instrument on the user's word.";
            return { Exit::ok, messageFor (*ended) + taken, w.replacedSettings(), w.unitTakenOnTheUsersWord() };
        }
        // What the window shows under its status (e.g. that the next update completes a cut
        // one) belongs to the result too.
        auto result = resultOf (ended);
        if (view.hint.isNotEmpty())
            result.message << " " << view.hint;
        return result;
    }

    // What update would do with the parameter area as it reads now: the same judgement, the
    // same refusals and exit codes, nothing written.
    RunResult checkArea (juce::int64 fileSize)
    {
        auto& w = *workflow;
        const juce::String ready = "Ready to program: the file fits this instrument.";
        if (fileSize > FlashLayout::updateUnit && w.identityState().pendingUpdate == PendingUpdate::none)
            return { Exit::ok, ready };

        const auto scratch = Recovery::folderLocation().getChildFile ("talvek-check-area.tmp");
        juce::MemoryBlock area;
        const auto failed = readFlash (scratch, FlashLayout::paramAreaOffset, FlashLayout::paramAreaLength, area);
        scratch.deleteFile();
        if (failed.has_value())
            return *failed;

        const bool terminal = ::isatty (STDIN_FILENO) != 0 && ! options.json;
        switch (w.judgeAreaForUpdate (area, fileSize))
        {
            case UpdateWorkflow::AreaVerdict::proceed:
                break;
            case UpdateWorkflow::AreaVerdict::otherUnit:
                return resultOf (WorkflowOutcome { Operation::check, Ending::pendingUpdate, Status::otherInstrument });
            case UpdateWorkflow::AreaVerdict::askSameUnit:
                if (options.sameUnit)
                    return { Exit::ok, ready + " With --same-unit, an update with it completes the interrupted one." };
                if (! terminal)
                    return { Exit::pendingUpdate, choiceRefusal ("--same-unit") };
                return { Exit::ok, ready + " An update of an instrument of this model was interrupted: update asks "
                                           "whether it was this one." };
            case UpdateWorkflow::AreaVerdict::askReplaceSettings:
                if (options.replaceSettings)
                    return { Exit::ok, ready + " With --replace-settings, the update replaces the instrument's "
                                               "missing settings with the built-in ones." };
                if (! terminal)
                    return { Exit::pendingUpdate, choiceRefusal ("--replace-settings") };
                return { Exit::ok, ready + " The instrument's settings are not in its flash: update asks whether to "
                                           "replace them with the built-in ones." };
        }
        if (w.identityState().pendingUpdate != PendingUpdate::none)
            return { Exit::ok, ready + " An update with it completes the interrupted one." };
        return { Exit::ok, ready };
    }

    // Reads flash into `into` through `scratch`, with the workflow's own read.
    std::optional<RunResult> readFlash (const juce::File& scratch, std::int64_t start, int length, juce::MemoryBlock& into)
    {
        auto& w = *workflow;
        w.readFlash (start, length, { scratch.getFullPathName() });
        pumpUntil ([&] { return w.lastOutcome().has_value(); }, noTimeout);
        if (stopped)
            return stoppedResult();
        if (const auto ended = w.lastOutcome(); ended->ending != Ending::completed)
            return resultOf (ended);
        if (! scratch.loadFileAsData (into) || (int) into.getSize() != length)
            return RunResult { Exit::deviceFailure, "a read did not deliver every byte" };
        return std::nullopt;
    }

    // --- read ---
    RunResult read()
    {
        const juce::File out = juce::File::getCurrentWorkingDirectory().getChildFile (options.out);
        OutputTarget target;
        if (const auto checked = checkOutputTarget (out, target); checked.failed())
            return { Exit::localFiles, checked.getErrorMessage() };
        if (auto failed = connectOne())
            return *failed;
        auto& w = *workflow;

        const auto flashEnd = flashBytes();
        if (options.start + options.length > flashEnd || options.length > std::numeric_limits<int>::max())
            return { Exit::usage, "the range ends past the flash, which holds " + juce::String (flashEnd) + " bytes (0x"
                                      + juce::String::toHexString (flashEnd) + ")" };

        const auto folder = Recovery::folderLocation();
        const auto first = folder.getChildFile ("talvek-read-1.tmp");
        const auto second = folder.getChildFile ("talvek-read-2.tmp");
        const auto cleanUp = [&] { first.deleteFile(); second.deleteFile(); };

        meter.reset();
        reporter.event ("Reading " + juce::String (options.length) + " bytes from 0x" + juce::String::toHexString (options.start) + "...");
        view.setProgressVisible (true);
        w.readFlash (options.start, static_cast<int> (options.length),
                     { first.getFullPathName(), second.getFullPathName() });
        pumpUntil ([&] { return w.lastOutcome().has_value(); }, noTimeout);
        view.setProgressVisible (false);
        if (stopped)
        {
            cleanUp();
            return stoppedResult();
        }
        if (const auto ended = w.lastOutcome(); ended->ending != Ending::completed)
        {
            cleanUp();
            return resultOf (ended);
        }

        // Two reads of the same bytes must agree, as the backup's do.
        if (first.getSize() != options.length || second.getSize() != options.length)
        {
            cleanUp();
            return { Exit::deviceFailure, "a read did not deliver every byte" };
        }
        if (! sameContent (first, second))
        {
            cleanUp();
            return { Exit::deviceFailure, "the two reads of the flash differ" };
        }

        const auto written = publishRead (first, target);
        cleanUp();
        if (written.failed())
            return { Exit::localFiles, written.getErrorMessage() };
        return { Exit::ok, "Read " + juce::String (options.length) + " bytes into " + out.getFullPathName() + " (read twice, equal)." };
    }

    static bool sameContent (const juce::File& a, const juce::File& b)
    {
        auto x = SafeFiles::openForReading (a);
        auto y = SafeFiles::openForReading (b);
        if (x == nullptr || y == nullptr)
            return false;
        juce::HeapBlock<char> p (65536), q (65536);
        for (;;)
        {
            const int n = x->read (p, 65536);
            const int m = y->read (q, 65536);
            if (n != m || n < 0)
                return false;
            if (n == 0)
                return true;
            if (std::memcmp (p, q, static_cast<std::size_t> (n)) != 0)
                return false;
        }
    }

    // Whole or not at all: written beside, forced to the disk, then renamed over the target.
    static juce::Result publishRead (const juce::File& source, const OutputTarget& target)
    {
        const auto published = publish (target, [&source, &target] (juce::OutputStream& stream)
        {
            auto in = SafeFiles::openForReading (source);
            if (in == nullptr || stream.writeFromInputStream (*in, -1) != source.getSize())
                return juce::Result::fail ("can't write beside " + target.file.getFullPathName());
            return juce::Result::ok();
        });
        if (published.failed())
            return published;
        if (target.file.getSize() != source.getSize() || ! sameContent (source, target.file))
            return juce::Result::fail (target.file.getFullPathName() + " does not hold what was read");
        return juce::Result::ok();
    }

    const Options& options;
    Reporter& reporter;
    Environment environment;
    RateMeter meter;
    TerminalView view;
    LogLines logLines;
    std::unique_ptr<UpdateWorkflow> workflow;
    MidiPortInfo chosenPort;
    bool stopped = false;
};

const char* commandName (Command c)
{
    switch (c)
    {
        case Command::list: return "list";
        case Command::check: return "check";
        case Command::update: return "update";
        case Command::read: return "read";
        case Command::recoveryExport: return "recovery export";
        case Command::recoveryImport: return "recovery import";
        case Command::history: return "history";
        case Command::help: return "help";
        case Command::version: return "version";
        case Command::none: break;
    }
    return "";
}

// The file a command reads or writes, as named on the command line (none for list).
juce::File commandFile (const Options& options)
{
    const auto cwd = juce::File::getCurrentWorkingDirectory();
    switch (options.command)
    {
        case Command::check:
        case Command::update:
        case Command::recoveryExport:
        case Command::recoveryImport:
            return cwd.getChildFile (options.file);
        case Command::read:
            return cwd.getChildFile (options.out);
        case Command::list:
        case Command::history: // its file lies in the state folder, which the log never is
        case Command::help:
        case Command::version:
        case Command::none:
            break;
    }
    return {};
}

// The command's own file, checked before anything else is opened; `inUse` gets its identity.
std::optional<RunResult> checkCommandFiles (const Options& options, std::vector<FileIdentity>& inUse)
{
    const auto file = commandFile (options);
    if (file == juce::File())
        return std::nullopt;
    if (options.command == Command::read || options.command == Command::recoveryExport)
    {
        OutputTarget target;
        if (const auto checked = checkOutputTarget (file, target); checked.failed())
            return RunResult { Exit::localFiles, checked.getErrorMessage() };
        if (target.exists)
            inUse.push_back (target.identity);
        return std::nullopt;
    }
    juce::String why;
    if (SafeFiles::openForReading (file, &why) == nullptr)
        return RunResult { Exit::localFiles, "can't read " + file.getFullPathName() + ": " + why };
    if (const auto identity = identityOf (file))
        inUse.push_back (*identity);
    return std::nullopt;
}
} // namespace

Exit runCommandLine (const juce::StringArray& arguments, std::FILE* out, std::FILE* err, Environment environment)
{
    auto parsed = parseCommandLine (arguments);
    if (environment.argumentError.isNotEmpty())
        parsed.error = environment.argumentError;
    const auto& options = parsed.options;

    Reporter::Settings settings;
    settings.json = options.json;
    settings.quiet = options.quiet;
    settings.verbose = options.verbose;
    settings.progressLine = ::isatty (::fileno (out)) != 0;
    Reporter reporter (settings, out, err);

    if (parsed.error.isNotEmpty())
    {
        reporter.result (commandName (options.command), Exit::usage, parsed.error + " (see talvek-update --help)");
        return Exit::usage;
    }
    if (options.command == Command::help)
    {
        std::fputs (helpText().toRawUTF8(), out);
        return Exit::ok;
    }
    if (options.command == Command::version)
    {
        std::fprintf (out, "%s\n", versionText().toRawUTF8());
        return Exit::ok;
    }

    const auto finish = [&] (Exit code, const juce::String& message)
    {
        reporter.result (commandName (options.command), code, message);
        return code;
    };

    // The window and this tool share the update's files and the link: one of them at a time.
    const auto folder = Recovery::folderLocation();
    if (const auto prepared = Recovery::prepareFolder (folder); prepared.failed())
        return finish (Exit::localFiles, "can't use the state folder: " + prepared.getErrorMessage());
    InstanceLock lock (folder);
    switch (lock.tryAcquire())
    {
        case InstanceLock::Outcome::acquired:
            break;
        case InstanceLock::Outcome::heldByAnother:
            return finish (Exit::busy, "the TALVEK Update Tool runs already for this user (a window or another "
                                       "talvek-update): close it first");
        case InstanceLock::Outcome::failed:
            return finish (Exit::localFiles, "can't take the instance lock: " + lock.getError());
    }

    // Only now the log: a log named like a file of this run must never empty it.
    std::vector<FileIdentity> inUse;
    if (const auto refused = checkCommandFiles (options, inUse))
        return finish (refused->code, refused->message);
    if (options.logFile.isNotEmpty())
    {
        const auto logFile = juce::File::getCurrentWorkingDirectory().getChildFile (options.logFile);
        juce::String why;
        bool clash = logFile == commandFile (options);
        std::unique_ptr<juce::OutputStream> log;
        if (clash)
            why = "the log file " + logFile.getFullPathName() + " is a file this run reads or writes";
        else
            log = openLogFile (logFile, inUse, folder, why, clash);
        if (log == nullptr)
            return finish (clash ? Exit::usage : Exit::localFiles, why);
        reporter.setLog (std::move (log));
    }

    if (options.command == Command::history)
    {
        juce::String message;
        const auto code = showHistory (reporter, folder.getChildFile (UpdateHistory::fileName), message);
        return finish (code, message);
    }

    RunResult outcome { Exit::ok, {} };
    if (options.command == Command::recoveryExport || options.command == Command::recoveryImport)
    {
        const auto done = runRecoveryCommand (options, folder, reporter);
        outcome = { done.code, done.message };
    }
    else
    {
        Session session (options, reporter, std::move (environment));
        outcome = session.run();
    }
    // The choices that cost data, named in the result when they were taken.
    if (outcome.settingsReplaced)
        reporter.resultDetail ("settingsReplaced", true);
    if (outcome.sameUnitTaken)
        reporter.resultDetail ("sameUnitTaken", true);
    return finish (outcome.code, outcome.message);
}
} // namespace cli
