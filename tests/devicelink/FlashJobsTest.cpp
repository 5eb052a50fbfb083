// Erase, program and read jobs against the emulated instrument, checked against its record
// and its flash; and the failures that used to leave a script waiting.
#if TALVEK_HAVE_EMULATOR

#include "EmulatedDevice.h"

#include <set>

using namespace jobtest;

namespace
{
using Results = std::vector<std::pair<int, int>>;

constexpr int kib128 = 0x20000;

// One connected 64 MiB instrument with its driver loaded, shared by the tests of a suite.
class FlashJobs : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        device = new EmulatedDevice (emu::FlashChip::S29GL512_S);
        ready = device->connected && device->loadMatchingDriver();
    }
    static void TearDownTestSuite()
    {
        delete device;
        device = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE (ready);
        device->instrument.clearFaults();
        device->queue->clear();
        device->forget();
    }

    JobQueue& queue() { return *device->queue; }
    emu::Instrument& instrument() { return device->instrument; }
    juce::String log() { return device->log.text(); }
    Results run (int timeoutMs = 60000) { return device->runScript (timeoutMs); }

    std::set<std::uint32_t> erasedSectors()
    {
        std::set<std::uint32_t> out;
        for (const auto& [sector, times] : instrument().record().eraseCounts)
            if (times > 0)
                out.insert (sector);
        return out;
    }

    static inline EmulatedDevice* device = nullptr;
    static inline bool ready = false;
    TempFolder temp;
};
} // namespace

TEST_F (FlashJobs, EraseCoversWholeSectorsAndLogsTheLength)
{
    const auto file200 = temp.write ("200h.bin", pattern (0x200));
    const auto file300k = temp.write ("300000.bin", pattern (300000));

    struct Case
    {
        const char* what;
        std::function<void (JobQueue&)> add;
        juce::String logStart;
        std::set<std::uint32_t> sectors;
        Results results;
    };
    const Case cases[] = {
        { "parameter sector", [] (JobQueue& q) { q.addEraseParamSector (0, 2); },
          "Erasing ...\nErase finished, time:", { 2 }, { { 0, 0 } } },
        { "200h file at 40000h", [&] (JobQueue& q) { q.addEraseRange (file200, 0, 0, 0x40000, 0x200, 0, 2); },
          "Program length is set to 200h bytes.\nErasing ...\nErase finished, time:", { 2 }, { { 0, 0 } } },
        { "300000-byte file", [&] (JobQueue& q) { q.addEraseRange (file300k, 0, 0, 0, 0, 0, 2); },
          "Program length is set to 493e0h bytes.\nErasing ...\nErase finished, time:", { 0, 1, 2 }, { { 0, 0 } } },
        { "from a file offset", [&] (JobQueue& q) { q.addEraseRange (file300k, 0, 0x40000, 0x60000, 0, 0, 2); },
          "Program length is set to 93e0h bytes.\nErasing ...\n", { 3 }, { { 0, 0 } } },
        { "offset not at a sector start", [&] (JobQueue& q) { q.addEraseRange (file300k, 0, 0, 0x10000, 0, 0, 2); },
          "Flash offset must at the start of one sector!\n", {}, { { 1, FailureReason::JobRefused } } },
        { "page 1 shifts the sectors", [] (JobQueue& q) { q.addEraseRange ("***", 1, 0, 0x20000, kib128, 0, 2); },
          "Erasing ...\n", { 2 }, { { 0, 0 } } },
        { "clipped at the flash end", [] (JobQueue& q) { q.addEraseRange ("***", 511, 0, 0, 2 * kib128, 0, 2); },
          "Program length is larger than the flash size.\nProgram length is set to 20000h bytes.\nErasing ...\n",
          { 511 }, { { 0, 0 } } },
        { "starting at the flash end", [] (JobQueue& q) { q.addEraseRange ("***", 512, 0, 0, kib128, 0, 2); },
          "Program length is larger than the flash size.\nProgram length is set to 0h bytes.\n"
          "Something wrong in program...\n",
          {}, { { 1, FailureReason::JobRefused } } },
        { "empty file", [&] (JobQueue& q) { q.addEraseRange (temp.write ("empty.bin", {}), 0, 0, 0, 0, 0, 2); },
          "Program length is set to 0h bytes.\nSomething wrong in program...\n", {}, { { 1, FailureReason::JobRefused } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        device->forget();
        queue().clear();
        c.add (queue());
        EXPECT_EQ (run(), c.results);
        const auto text = log();
        EXPECT_TRUE (text.startsWith (c.logStart)) << text;
        EXPECT_EQ (erasedSectors(), c.sectors);
        if (c.results.front().first != 0)
        {
            const auto states = device->messages.of (MessageCode::OperationState);
            ASSERT_FALSE (states.empty());
            EXPECT_EQ (states.back().p1, 1);
        }
    }
}

TEST_F (FlashJobs, FileRangeIsProgrammedReadBackAndCompared)
{
    // The range runs to the end of the file: the compare then covers every byte written.
    constexpr int fileOffset = 0x1000, flashOffset = 0x60000, length = 0x5123;
    const auto data = pattern (fileOffset + length, 7);
    const auto source = temp.write ("update.bin", data);
    const auto readBack = temp.file ("read.tmp").getFullPathName();

    queue().addEraseRange (source, 0, fileOffset, flashOffset, length, 0, 10);
    queue().addProgramFile (source, 0, fileOffset, flashOffset, length, 10, 20);
    queue().addReadToFile (readBack, 0, flashOffset, length, 20, 90);
    queue().addCompareFiles (source, fileOffset, readBack);
    EXPECT_EQ (run(), Results (4, { 0, 0 }));

    const std::vector<std::uint8_t> expected (data.begin() + fileOffset, data.begin() + fileOffset + length);
    EXPECT_EQ (readAll (juce::File (readBack)), expected);
    EXPECT_EQ (instrument().readFlash (flashOffset, length), expected);

    const auto text = log();
    EXPECT_TRUE (text.contains ("Program finished, time:")) << text;
    EXPECT_TRUE (text.contains ("Total time:")) << text;
    EXPECT_TRUE (text.contains ("Program OK.\n")) << text;
    EXPECT_TRUE (text.contains ("Reading...\n")) << text;
    EXPECT_TRUE (text.contains ("Read OK.\n")) << text;
    EXPECT_TRUE (text.endsWith ("Start comparing...\n\nOK!\n")) << text;
    EXPECT_EQ (instrument().record().violations.size(), 0u);
}

TEST_F (FlashJobs, ProgramFileStopsAtTheEndOfTheFile)
{
    const auto data = pattern (0x1800, 3);
    const auto source = temp.write ("short.bin", data);
    queue().addEraseRange (source, 0, 0x800, 0x80000, 0x10000, 0, 10);
    queue().addProgramFile (source, 0, 0x800, 0x80000, 0x10000, 10, 20);
    EXPECT_EQ (run(), Results (2, { 0, 0 }));

    EXPECT_EQ (instrument().record().programmed.size(), 1u) << "0x1000 bytes: one block";
    const auto flash = instrument().readFlash (0x80000, 0x1000);
    EXPECT_EQ (flash, std::vector<std::uint8_t> (data.begin() + 0x800, data.end()));
}

TEST_F (FlashJobs, BuiltInBlockIsProgrammedAndReadBack)
{
    const auto param = BuiltInData::paramArea();
    const auto zero = BuiltInData::zeroBlock();
    const auto readBack = temp.file ("param.tmp").getFullPathName();
    const auto zeroBack = temp.file ("zero.tmp").getFullPathName();
    const auto blockFile = temp.write ("param.bin", toVector (param));

    queue().addEraseParamSector (0, 2);
    queue().addProgramData (param.data, 0x40000, 0x10000, 2, 4);
    queue().addEraseRange ("***", 0, 0, 0, kib128, 4, 5);
    queue().addProgramData (zero.data, 0xF000, 0x1000, 5, 6);
    queue().addReadToFile (readBack, 0, 0x40000, 0x10000, 6, 50);
    queue().addCompareFiles (blockFile, 0, readBack);
    queue().addReadToFile (zeroBack, 0, 0xF000, 0x1000, 50, 100);
    EXPECT_EQ (run(), Results (7, { 0, 0 }));

    EXPECT_EQ (readAll (juce::File (readBack)), toVector (param));
    EXPECT_EQ (readAll (juce::File (zeroBack)), toVector (zero));
    EXPECT_EQ (instrument().readFlash (0x40000, 0x10000), toVector (param));
    EXPECT_EQ (log().indexOf ("\nOK!\n") >= 0, true);
}

TEST_F (FlashJobs, ReadsByPageOffsetAndLength)
{
    const auto flashEnd = 512 * kib128;
    struct Case
    {
        const char* what;
        int page, offset, length;
        std::uint64_t firstBlock; // byte address of the first block asked for
        int fileSize;
    };
    const Case cases[] = {
        { "page 1 asks for word address 10000h", 1, 0, 4096, 0x20000, 4096 },
        { "10 bytes", 0, 0x1FFF4, 10, 0x1FFF4, 10 },
        { "identity record at page 4Fh", 0x4F, 0, 12, 0x9E0000, 12 },
        { "length 0 reads to the flash end", 511, 0x10000, 0, (std::uint64_t) flashEnd - 0x10000, 0x10000 },
        { "clipped at the flash end", 511, 0x1F000, 0x4000, (std::uint64_t) flashEnd - 0x1000, 0x1000 },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        device->forget();
        queue().clear();
        const auto file = temp.file ("read.tmp");
        queue().addReadToFile (file.getFullPathName(), c.page, c.offset, c.length, 0, 100);
        EXPECT_EQ (run(), Results (1, { 0, 0 }));

        const auto reads = instrument().record().eventsOf (emu::EventKind::ReadBlock);
        ASSERT_FALSE (reads.empty());
        EXPECT_EQ (reads.front().address, c.firstBlock);
        EXPECT_EQ (reads.size(), (size_t) (c.fileSize + 4095) / 4096);
        const auto start = (std::uint64_t) c.page * kib128 + (std::uint64_t) c.offset;
        EXPECT_EQ (readAll (file), instrument().readFlash (start, (size_t) c.fileSize));
        EXPECT_TRUE (log().startsWith ("Reading...\n"));
    }
}

TEST_F (FlashJobs, ReadBeyondTheFlashEndIsRefusedWithoutAFile)
{
    const auto file = temp.file ("never.tmp");
    queue().addReadToFile (file.getFullPathName(), 512, 0, 12, 0, 100);
    EXPECT_EQ (run (5000), Results (1, { 1, FailureReason::JobRefused }));
    EXPECT_EQ (log(), "Read address is beyond the end of the flash.\n");
    EXPECT_FALSE (file.exists());
    EXPECT_EQ (instrument().record().readBlocks, 0u);
}

// A destination that would take the bytes without keeping them (a link to a device node) is
// refused before anything is read. POSIX only: links to device nodes.
#if ! JUCE_WINDOWS
TEST_F (FlashJobs, AReadIntoALinkIsRefused)
{
    const auto file = temp.file ("read.tmp");
    ASSERT_TRUE (juce::File ("/dev/null").createSymbolicLink (file, true));
    queue().addReadToFile (file.getFullPathName(), 0, 0, 0x2000, 0, 100);
    EXPECT_EQ (run(), Results (1, { 1, FailureReason::ReadFileNotMade }));
    EXPECT_TRUE (log().endsWith ("Can't create file to save.\n")) << log();
    EXPECT_FALSE (log().contains ("Read OK."));
    EXPECT_EQ (instrument().record().readBlocks, 0u);
}
#endif

// Failures that used to end a job with OperationState (1) alone, or with nothing, now also
// end it with JobFinished (1, reason).
TEST_F (FlashJobs, DeviceFailuresEndTheJob)
{
    const auto source = temp.write ("source.bin", pattern (0x3000));

    struct Case
    {
        const char* what;
        emu::Fault fault;
        std::function<void (JobQueue&)> add;
        juce::String logPart;
        Results results;
    };
    const Case cases[] = {
        { "device status 2 during an erase", { emu::FaultKind::AckStatus2, emu::FaultPoint::Erase, 1, 1 },
          [] (JobQueue& q) { q.addEraseParamSector (0, 2); },
          "Timer out when operating the flash.\n", { { 1, FailureReason::FlashFailed } } },
        { "device status 2 while programming", { emu::FaultKind::AckStatus2, emu::FaultPoint::ProgramBlock, 2, 1 },
          [&] (JobQueue& q) { q.addProgramFile (source, 0, 0, 0x100000, 0, 0, 2); },
          "Timer out when operating the flash.\n", { { 1, FailureReason::FlashFailed } } },
        { "no answer after ten read retries", { emu::FaultKind::DropReply, emu::FaultPoint::ReadBlock, 1, 0 },
          [&] (JobQueue& q) { q.addReadToFile (temp.file ("r.tmp").getFullPathName(), 0, 0, 0x2000, 0, 2); },
          "Time out, retry...1,2,3,4,5,6,7,8,9,10The device has no response.\n",
          { { 1, FailureReason::NoResponse } } },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        device->forget();
        instrument().clearFaults();
        instrument().injectFault (c.fault);
        queue().clear();
        c.add (queue());
        EXPECT_EQ (run (30000), c.results);
        const auto text = log();
        EXPECT_TRUE (text.contains (c.logPart)) << text;
        const auto states = device->messages.of (MessageCode::OperationState);
        ASSERT_FALSE (states.empty());
        EXPECT_EQ (states.back().p1, 1);
        // Nothing more arrives for the finished job (no watchdog left running).
        pumpFor (600);
        EXPECT_EQ (device->messages.finished().size(), 1u);
    }
    instrument().clearFaults();
}

#endif
