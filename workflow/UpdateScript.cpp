#include "workflow/UpdateScript.h"

#include "devicelink/FlashLayout.h"
#include "devicelink/JobQueue.h"

namespace UpdateScript
{
namespace
{
constexpr int blockSpan = FlashLayout::pageSize; // one 128 KiB flash block

void queueFullImage (JobQueue& q, const juce::String& file, int size, const Blocks& b,
                     const Recovery::Paths& paths)
{
    q.addEraseParamSector (0.0f, 2.0f);                                              // A1
    q.addProgramData (b.paramAreaImage, 0x40000, 0x10000, 2.0f, 4.0f);              // A2
    q.addSendDriver (b.specialDriver, b.specialDriverSize, "Sepcial", 4.0f, 4.0f);  // A3
    q.addSaveIoState();                                                              // A4
    q.addSendDriver (b.workDriver, b.workDriverSize, "Work", 4.0f, 4.0f);           // A5
    q.addProgramData (b.zeroBlock, 0xF000, 0x1000, 4.0f, 4.5f);                     // A6
    q.addEraseRange (file, 0, 0x60000, 0x60000, 0, 4.5f, 26.0f);                    // A7
    q.addProgramFile (file, 0, 0x60000, 0x60000, 0, 26.0f, 50.0f);                  // A8
    q.addEraseRange (file, 0, 0x20000, 0x20000, blockSpan, 50.0f, 52.0f);           // A9
    q.addProgramFile (file, 0, 0x20000, 0x20000, blockSpan, 52.0f, 54.0f);          // A10
    q.addEraseRange (file, 0, 0, 0, blockSpan, 54.0f, 56.0f);                       // A11
    q.addProgramFile (file, 0, 0, 0, blockSpan, 56.0f, 58.0f);                      // A12
    q.addEraseRange (file, 0, 0x40000, 0x40000, blockSpan, 58.0f, 60.0f);           // A13
    q.addProgramFile (file, 0, 0x40000, 0x40000, blockSpan, 60.0f, 62.0f);          // A14
    q.addReadToFile (paths.readBackFile, 0, 0, size, 62.0f, 99.0f);                 // A15
    q.addCompareFiles (file, 0, paths.readBackFile);                                 // A16
    // Only now is a restore left by an interrupted script B moot: until the whole image is
    // verified, the backup is still the instrument's own area.
    q.addBackupLock (paths.lockFile, 1);
}

void queueKeepArea (JobQueue& q, const juce::String& file, int size, const Blocks& b,
                    const Recovery::Paths& paths, bool takeBackup)
{
    if (takeBackup)
    {
        q.addReadToFile (paths.backupFile, 0, 0x40000, blockSpan, 0.0f, 4.0f);      // B1
        // The backup is the only copy of the instrument's own area once B4 has run, and an HS
        // read carries no check bytes: it is read a second time and the two must agree before
        // the lock makes it the one to restore.
        q.addReadToFile (paths.readBackFile, 0, 0x40000, blockSpan, 4.0f, 7.0f);
        q.addCompareFiles (paths.backupFile, 0, paths.readBackFile);
        q.addBackupLock (paths.lockFile, 0);                                         // B2
    }
    q.addSendDriver (b.workDriver, b.workDriverSize, "Work", 7.0f, 9.0f);           // B3
    q.addEraseParamSector (9.0f, 18.0f);                                             // B4
    q.addProgramData (b.paramAreaImage, 0x40000, 0x10000, 18.0f, 25.0f);            // B5
    q.addSendDriver (b.specialDriver, b.specialDriverSize, "Sepcial", 25.0f, 27.0f);// B6
    q.addSaveIoState();                                                              // B7
    q.addSendDriver (b.workDriver, b.workDriverSize, "Work", 27.0f, 29.0f);         // B8
    q.addProgramData (b.zeroBlock, 0xF000, 0x1000, 29.0f, 30.0f);                   // B9
    q.addEraseRange (file, 0, 0x20000, 0x20000, blockSpan, 30.0f, 37.0f);           // B10
    q.addProgramFile (file, 0, 0x20000, 0x20000, blockSpan, 37.0f, 46.0f);          // B11
    q.addEraseRange (file, 0, 0, 0, blockSpan, 46.0f, 55.0f);                       // B12
    q.addProgramFile (file, 0, 0, 0, blockSpan, 55.0f, 64.0f);                      // B13
    q.addEraseRange (paths.backupFile, 0, 0, 0x40000, blockSpan, 64.0f, 73.0f);     // B14
    q.addProgramFile (paths.backupFile, 0, 0, 0x40000, blockSpan, 73.0f, 82.0f);    // B15
    q.addReadToFile (paths.readBackFile, 0, 0, size, 82.0f, 91.0f);                 // B17
    q.addCompareFiles (file, 0, paths.readBackFile);                                 // B18
    q.addSendDriver (b.workDriver, b.workDriverSize, "Work", 91.0f, 93.0f);         // B19
    q.addReadToFile (paths.readBackFile, 0, 0x40000, blockSpan, 93.0f, 100.0f);     // B20
    q.addCompareFiles (paths.backupFile, 0, paths.readBackFile);                     // B21
    // The mark goes last: a failure in the verification keeps the restore pending.
    q.addBackupLock (paths.lockFile, 1);                                             // B16
}
} // namespace

Kind queue (JobQueue& q, const juce::String& updateFilePath, int updateFileSize,
            const Blocks& blocks, const Recovery::Paths& paths, const juce::String& backupDigest,
            bool readAreaFirst)
{
    q.addSendDriver (blocks.workDriver, blocks.workDriverSize, "Work", 0.0f, 100.0f);
    if (readAreaFirst)
        q.addReadToFile (paths.readBackFile, 0, 0x40000, blockSpan, 0.0f, 0.0f);

    // Up to one update unit, the file leaves the instrument its own parameter area.
    if (updateFileSize > FlashLayout::updateUnit)
    {
        // The lock of an interrupted script B stays until this script has verified the whole
        // image (its last job): a failure before that leaves the restore pending.
        queueFullImage (q, updateFilePath, updateFileSize, blocks, paths);
        return Kind::fullImage;
    }

    switch (Recovery::decide (juce::File (paths.lockFile), juce::File (paths.backupFile), backupDigest))
    {
        case Recovery::Decision::takeFreshBackup:
            queueKeepArea (q, updateFilePath, updateFileSize, blocks, paths, true);
            return Kind::keepAreaFresh;
        case Recovery::Decision::restoreFromBackup:
            queueKeepArea (q, updateFilePath, updateFileSize, blocks, paths, false);
            return Kind::keepAreaRestore;
        case Recovery::Decision::cannotRecover:
            break;
    }
    return Kind::refused;
}
bool restorePending (const Recovery::Paths& paths, const juce::String& backupDigest)
{
    return Recovery::decide (juce::File (paths.lockFile), juce::File (paths.backupFile), backupDigest)
           == Recovery::Decision::restoreFromBackup;
}
} // namespace UpdateScript
