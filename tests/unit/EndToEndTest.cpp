// The whole workflow against the emulated instrument, in this process: connection, detection,
// identity, File..., Execute, and the flash afterwards.
#include "WorkflowBench.h"

#include <gtest/gtest.h>

using namespace workflowtest;

namespace
{
// The only program over bytes that were not erased is the zero block at F000h, which may only
// clear bits; everything else lands on erased flash.
void expectProgramsOnErasedFlashOnly (const emu::Record& record)
{
    EXPECT_EQ (record.mismatchedBytes(), 0u);
    for (const auto& v : record.violations)
        EXPECT_EQ (v.blockAddress, 0xF000u) << "programmed over unerased bytes at " << std::hex << v.blockAddress;
}

std::vector<std::uint8_t> slice (const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t n)
{
    return std::vector<std::uint8_t> (bytes.begin() + static_cast<std::ptrdiff_t> (from),
                                      bytes.begin() + static_cast<std::ptrdiff_t> (from + n));
}

void runUpdate (Bench& bench, const juce::File& file, int timeoutMs)
{
    bench.choose (file);
    ASSERT_TRUE (bench.view.executeEnabled) << bench.log.all();
    bench.instrument->clearRecord();
    bench.execute (true);
    ASSERT_TRUE (bench.w().isUpdating());
    ASSERT_TRUE (bench.waitForStatus ("Update completed successfully.", timeoutMs))
        << bench.status() << "\n" << bench.log.all();

    EXPECT_FALSE (bench.w().isUpdating());
    EXPECT_FALSE (bench.view.progressVisible);
    EXPECT_FALSE (bench.view.executeEnabled);
    EXPECT_FALSE (bench.view.fileEnabled);
    EXPECT_FALSE (bench.identity().screenSaverBlocked);
    EXPECT_FALSE (bench.view.screenSaverBlocked);
    EXPECT_NEAR (bench.w().shownProgress(), 1.0, 0.011);
    EXPECT_NEAR (bench.view.progressValue, 1.0, 0.011);
}
} // namespace

TEST (EndToEnd, Update256KiBKeepsTheInstrumentsArea)
{
    Bench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
    const auto ownArea = bench.flash (0x40000, 0x20000);
    const auto tail = bench.flash (0x60000, 0x20000);
    const auto file = bench.writeUpdate ("update-256k.bin", 0x40000);

    runUpdate (bench, file, 120000);
    const auto image = readAll (file);
    EXPECT_TRUE (bench.flash (0, 0x40000) == image);
    EXPECT_TRUE (bench.flash (0x40000, 0x20000) == ownArea);
    EXPECT_TRUE (bench.flash (0x60000, 0x20000) == tail);
    const auto record = bench.instrument->record();
    expectProgramsOnErasedFlashOnly (record);
    EXPECT_EQ (record.count (emu::EventKind::SaveIoState), 1u);

    const auto paths = bench.state.paths();
    EXPECT_FALSE (juce::File (paths.lockFile).exists());
    EXPECT_TRUE (readAll (juce::File (paths.backupFile)) == ownArea);
    EXPECT_TRUE (juce::File (paths.readBackFile).existsAsFile());
    EXPECT_TRUE (juce::File (paths.versionFile).existsAsFile());
    EXPECT_TRUE (bench.log.all().contains ("OK!\n"));
}

TEST (EndToEnd, Update10MiBRewritesTheImage)
{
    Bench bench (instantInstrument());
    ASSERT_TRUE (bench.waitUntilReady()) << bench.status() << "\n" << bench.log.all();
    const auto file = bench.writeUpdate ("update-10m.bin", 40 * 0x40000);

    runUpdate (bench, file, 600000);
    const auto image = readAll (file);
    ASSERT_EQ (image.size(), 40u * 0x40000);
    const auto flash = bench.flash (0, image.size());
    EXPECT_TRUE (flash == image);
    expectProgramsOnErasedFlashOnly (bench.instrument->record());
    EXPECT_FALSE (juce::File (bench.state.paths().lockFile).exists());
    if (flash != image)
    {
        for (std::size_t at = 0; at < image.size(); at += 0x20000)
            EXPECT_TRUE (slice (flash, at, 0x20000) == slice (image, at, 0x20000)) << "block at " << std::hex << at;
    }
}
