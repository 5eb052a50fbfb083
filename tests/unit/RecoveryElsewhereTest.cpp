// An interrupted update finished where it was not started (an empty state folder: another
// computer or user account), or on another unit of the same model: the instrument's own
// parameter area is never replaced under a success, a refusal writes nothing, and the unit the
// update belongs to completes afterwards with its own area back. In simulated time.
#include "SimulatedBench.h"

#include "devicelink/BuiltInData.h"
#include "workflow/RecoveryFile.h"

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
constexpr std::size_t wholeSpan = 0x80000; // every byte either script writes
const char* const completed = "Update completed successfully.";
const char* const lost = "Device disconnected. Quit this tool and try again.";

std::vector<std::uint8_t> builtInArea()
{
    const auto image = BuiltInData::paramArea();
    std::vector<std::uint8_t> area (image.data, image.data + image.size);
    area.resize (0x20000, 0xFF);
    return area;
}

// Runs one update to its end and says how it ended; `cut` pulls the cable at that program block.
juce::String runUpdate (SimBench& bench, const juce::File& file, std::uint64_t cut = 0)
{
    bench.choose (file);
    if (! bench.view.executeEnabled)
        return "not accepted: " + bench.status();
    if (cut != 0)
        bench.instrument->injectFault ({ emu::FaultKind::CablePull, emu::FaultPoint::ProgramBlock, cut });
    bench.execute (true);
    bench.runUntil ([&] { return ! bench.w().isUpdating() && ! bench.w().jobs().isRunning(); }, 120000);
    bench.instrument->clearFaults();
    return bench.status();
}

void restart (SimBench& bench)
{
    bench.start();
    ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
    bench.settle();
}

struct Interruption
{
    const char* name;
    std::uint64_t smallCut;  // program block of the 256 KiB update where the cable goes; 0: none
    std::uint64_t largeCut;  // then a 512 KiB update cut there; 0: none
    bool readCut;            // the 256 KiB update is cut in its backup read instead
};

const Interruption interruptions[] = {
    { "BeforeTheBackup", 0, 0, true },
    { "AfterTheBackup", 34, 0, false },
    { "DuringTheWriteBack", 100, 0, false },
    { "WholeImageAfterTheBackup", 30, 20, false },
};

// Where the update is finished first.
enum class Elsewhere
{
    EmptyFolder,
    ImportedRecoveryFile,
    DamagedRecoveryFile, // refused: the folder stays empty
};

const char* nameOf (Elsewhere e)
{
    switch (e)
    {
        case Elsewhere::EmptyFolder: return "EmptyFolder";
        case Elsewhere::ImportedRecoveryFile: return "ImportedRecoveryFile";
        case Elsewhere::DamagedRecoveryFile: return "DamagedRecoveryFile";
    }
    return "";
}

class FinishedElsewhere : public ::testing::TestWithParam<std::tuple<Interruption, Elsewhere>>
{
};
} // namespace

// The scenario: unit A interrupted in its home folder; the next update from an empty folder
// must keep A's own area or refuse without writing; the home folder then completes it.
TEST_P (FinishedElsewhere, KeepsTheOwnAreaOrRefusesThenHomeCompletes)
{
    const auto& [cut, where] = GetParam();
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto large = bench.writeUpdate ("update-512k.bin", 0x80000, 5);
    bench.view.sameUnit = true; // at home the user knows the unit

    if (cut.readCut)
    {
        bench.choose (small);
        bench.instrument->injectFault ({ emu::FaultKind::CablePull, emu::FaultPoint::ReadBlock, 10 });
        bench.execute (true);
        ASSERT_TRUE (bench.waitForStatus (lost, 60000)) << bench.log.all();
        bench.instrument->clearFaults();
        restart (bench);
    }
    if (cut.smallCut != 0)
    {
        ASSERT_EQ (runUpdate (bench, small, cut.smallCut), lost) << bench.log.all();
        EXPECT_TRUE (bench.view.hint.contains ("next update")) << bench.view.hint;
        restart (bench);
    }
    if (cut.largeCut != 0)
    {
        ASSERT_EQ (runUpdate (bench, large, cut.largeCut), lost) << bench.log.all();
        restart (bench);
    }
    const auto left = bench.flash (0, wholeSpan);

    // Elsewhere: another state folder, empty or with the recovery file imported. NO to every
    // question that costs data, but the one an imported file brings for this very unit.
    const auto recoveryFile = bench.state.scratch().getChildFile ("carried.talvek-recovery");
    const bool pending = juce::File (bench.state.paths().journalFile).existsAsFile();
    if (where != Elsewhere::EmptyFolder && pending)
    {
        juce::FileOutputStream out (recoveryFile);
        ASSERT_TRUE (out.openedOk());
        ASSERT_TRUE (RecoveryFile::write (bench.state.folder, out).ok());
    }
    if (where == Elsewhere::DamagedRecoveryFile && pending)
    {
        juce::MemoryBlock bytes;
        ASSERT_TRUE (recoveryFile.loadFileAsData (bytes));
        static_cast<char*> (bytes.getData())[bytes.getSize() / 2] ^= 0x10;
        ASSERT_TRUE (recoveryFile.replaceWithData (bytes.getData(), bytes.getSize()));
    }
    {
        ScopedStateFolder elsewhere;
        ASSERT_TRUE (Recovery::prepareFolder (elsewhere.folder).wasOk());
        const bool imported = where != Elsewhere::EmptyFolder && pending
                              && RecoveryFile::install (recoveryFile, elsewhere.folder).ok();
        EXPECT_EQ (imported, where == Elsewhere::ImportedRecoveryFile && pending);
        restart (bench);
        bench.view.sameUnit = imported;
        bench.view.replaceSettings = false;
        bench.instrument->clearRecord();
        const auto status = runUpdate (bench, small);
        if (imported)
        {
            EXPECT_EQ (status, completed) << bench.log.all();
            EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
        }
        else if (status == completed)
        {
            // Only an area that holds the instrument's own bytes is taken as its backup, and a
            // success leaves it as it was (a write-back cut part way is kept part way: the home
            // folder still holds the whole backup).
            const std::vector<std::uint8_t> areaLeft (left.begin() + 0x40000, left.begin() + 0x60000);
            EXPECT_FALSE (areaLeft == builtInArea());
            EXPECT_TRUE (bench.flash (0x40000, 0x20000) == areaLeft) << "a success replaced the instrument's area";
        }
        else
        {
            EXPECT_EQ (status, "Not updated: the settings of this device are missing.") << bench.log.all();
            EXPECT_TRUE (bench.view.hint.contains ("recovery file")) << bench.view.hint;
            EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
            EXPECT_TRUE (bench.flash (0, wholeSpan) == left);
        }
    }

    // Home again: the update completes with the area back.
    restart (bench);
    bench.view.sameUnit = true;
    ASSERT_EQ (runUpdate (bench, small), completed) << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (small));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
}

INSTANTIATE_TEST_SUITE_P (Points, FinishedElsewhere,
                          ::testing::Combine (::testing::ValuesIn (interruptions),
                                              ::testing::Values (Elsewhere::EmptyFolder, Elsewhere::ImportedRecoveryFile,
                                                                 Elsewhere::DamagedRecoveryFile)),
                          [] (const auto& info)
                          {
                              return std::string (std::get<0> (info.param).name) + "_" + nameOf (std::get<1> (info.param));
                          });

// Going on anyway is the user's explicit choice, and does what it says.
TEST (FinishedElsewhere, TheUserMayTakeTheBuiltInSettings)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    bench.view.sameUnit = true;
    ASSERT_EQ (runUpdate (bench, small, 34), lost);

    ScopedStateFolder elsewhere;
    restart (bench);
    bench.view.replaceSettings = true;
    ASSERT_EQ (runUpdate (bench, small), completed) << bench.log.all();
    EXPECT_TRUE (bench.w().replacedSettings());
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (small));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == builtInArea());
}

namespace
{
// Unit 2: the same identity and tag as unit 1, with this area.
struct SecondUnit
{
    const char* name;
    std::vector<std::uint8_t> (*area)();
    bool wholeImageJournal; // unit 1's journal names script A (a second, whole-image update was cut too)
    bool asked;             // the area can't tell: the user is asked (and says NO)
};

std::vector<std::uint8_t> erasedArea() { return std::vector<std::uint8_t> (0x20000, 0xFF); }
std::vector<std::uint8_t> ownDataArea()
{
    std::vector<std::uint8_t> area (0x20000);
    for (std::size_t i = 0; i < area.size(); ++i)
        area[i] = static_cast<std::uint8_t> (i * 7 + 3);
    return area;
}

const SecondUnit secondUnits[] = {
    { "Erased", erasedArea, false, true },
    { "BuiltInImage", builtInArea, false, true },
    { "OwnDataAfterAWholeImageCut", ownDataArea, true, false },
    { "ErasedAfterAWholeImageCut", erasedArea, true, true },
};

void PrintTo (const SecondUnit& unit, std::ostream* out) { *out << unit.name; }

class SecondUnitOfTheModel : public ::testing::TestWithParam<SecondUnit>
{
};
} // namespace

TEST_P (SecondUnitOfTheModel, KeepsItsOwnAreaAndTheFirstCompletesLater)
{
    const auto& unit = GetParam();
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownOfFirst = bench.flash (0x40000, 0x20000);
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto large = bench.writeUpdate ("update-512k.bin", 0x80000, 5);
    bench.view.sameUnit = true;
    ASSERT_EQ (runUpdate (bench, small, 3), lost) << bench.log.all();
    if (unit.wholeImageJournal)
    {
        restart (bench);
        ASSERT_EQ (runUpdate (bench, large, 20), lost) << bench.log.all();
    }
    const auto first = bench.flash (0, wholeSpan);
    const auto journal = juce::File (bench.state.paths().journalFile).loadFileAsString();
    const auto backup = readAll (juce::File (bench.state.paths().backupFile));

    // Unit 2: fresh content of the same model, its area as the case has it.
    bench.instrument->generateContent();
    bench.instrument->writeFlash (0x40000, unit.area());
    const auto second = bench.flash (0, wholeSpan);
    restart (bench);
    EXPECT_TRUE (bench.view.hint.contains ("this model")) << bench.view.hint;
    bench.view.sameUnit = false;
    bench.view.kinds.clear();
    bench.instrument->clearRecord();
    const auto status = runUpdate (bench, small);
    EXPECT_NE (status, completed);
    EXPECT_EQ (std::count (bench.view.kinds.begin(), bench.view.kinds.end(), WorkflowView::Question::sameUnit),
               unit.asked ? 1 : 0);
    EXPECT_EQ (status, unit.asked ? "Not updated. Nothing was written."
                                  : "The last update was for another device. Connect that device to complete it.");
    EXPECT_EQ (bench.instrument->record().count (emu::EventKind::Erase), 0u);
    EXPECT_TRUE (bench.flash (0, wholeSpan) == second);
    // Nothing of unit 1's recovery went.
    EXPECT_EQ (juce::File (bench.state.paths().journalFile).loadFileAsString(), journal);
    EXPECT_TRUE (readAll (juce::File (bench.state.paths().backupFile)) == backup);

    // Unit 1 comes back and completes with its own area.
    bench.instrument->writeFlash (0, first);
    restart (bench);
    bench.view.sameUnit = true;
    ASSERT_EQ (runUpdate (bench, small), completed) << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (small));
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownOfFirst);
}

INSTANTIATE_TEST_SUITE_P (Areas, SecondUnitOfTheModel, ::testing::ValuesIn (secondUnits),
                          [] (const auto& info) { return std::string (info.param.name); });

// The private copy is what the journal names: replaced after the journal, it is not written.
TEST (PrivateCopy, ReplacedAfterTheJournalIsNotWritten)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto before = bench.flash (0, 0x60000);
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto other = bench.writeUpdate ("update-256k-other.bin", 0x40000, 9);
    const auto copy = juce::File (bench.state.paths().updateCopyFile);

    bench.choose (small);
    ASSERT_TRUE (bench.view.executeEnabled);
    bench.execute (true);
    // Swapped once the journal is on the disk, before the first program frame of the file.
    ASSERT_TRUE (bench.runUntil ([&] { return juce::File (bench.state.paths().lockFile).exists(); }, 60000));
    ASSERT_TRUE (other.copyFileTo (copy));
    bench.runUntil ([&] { return ! bench.w().isUpdating(); }, 120000);
    EXPECT_NE (bench.status(), completed);
    EXPECT_EQ (bench.status(), "Can't open file to read data.");
    EXPECT_TRUE (bench.log.all().contains ("The file changed after it was checked."));
    EXPECT_TRUE (bench.flash (0, 0x40000) != readAll (other));
    (void) before;
}

// Swapped once its first bytes are in the flash, the copy is never read again: the rest is
// written from, and compared against, the bytes that were checked.
TEST (PrivateCopy, ReplacedDuringTheWriteIsNeverMixedIn)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    const auto other = bench.writeUpdate ("update-256k-other.bin", 0x40000, 9);
    const auto copy = juce::File (bench.state.paths().updateCopyFile);

    bench.choose (small);
    ASSERT_TRUE (bench.view.executeEnabled);
    bench.execute (true);
    const auto programmedBelowTheArea = [&]
    {
        for (const auto& b : bench.instrument->record().programmed)
            if (b.address >= 0x20000 && b.address < 0x40000) // the file's first bytes, not the zero block
                return true;
        return false;
    };
    ASSERT_TRUE (bench.runUntil (programmedBelowTheArea, 60000)) << bench.log.all();
    ASSERT_TRUE (other.copyFileTo (copy));
    ASSERT_TRUE (bench.runUntil ([&] { return ! bench.w().isUpdating(); }, 120000));
    EXPECT_EQ (bench.status(), completed) << bench.log.all();
    EXPECT_TRUE (bench.flash (0, 0x40000) == readAll (small));
}

// Choosing the private copy itself uses it as it is: after a cut that left the identity
// unreadable it may be the only file that completes the update.
TEST (PrivateCopy, ChosenAsTheUpdateFileIsUsedNotDestroyed)
{
    SimBench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto small = bench.writeUpdate ("update-256k.bin", 0x40000);
    bench.view.sameUnit = true;
    ASSERT_EQ (runUpdate (bench, small, 60), lost); // inside block 0: the identity is erased
    const auto copy = juce::File (bench.state.paths().updateCopyFile);
    ASSERT_TRUE (readAll (copy) == readAll (small));
    small.deleteFile(); // the user's own file is gone

    restart (bench);
    ASSERT_EQ (runUpdate (bench, copy), completed) << bench.log.all();
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
    EXPECT_EQ (bench.view.questions.size(), 3); // the update, the unreadable identity, the update
}
