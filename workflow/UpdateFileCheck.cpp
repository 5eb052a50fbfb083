#include "workflow/UpdateFileCheck.h"

#include "devicelink/SafeFiles.h"

#include "devicelink/FileJobs.h"
#include "devicelink/Communication.h"
#include "devicelink/JobPaths.h"
#include "messages/LogPrinter.h"

#include <algorithm>

namespace UpdateFile
{
namespace
{
bool readAt (juce::InputStream& in, juce::int64 offset, void* dest, int count)
{
    return in.setPosition (offset) && in.read (dest, count) == count;
}
} // namespace

const char* sizeProblem (juce::int64 size)
{
    if (size < FlashLayout::updateUnit)
        return "File too small!\n";
    if (size % FlashLayout::updateUnit != 0)
        return "File length must be an integer multiple of 256k!\n";
    // Job lengths are 32-bit, and no instrument's flash comes near this size.
    if (size > std::numeric_limits<int>::max())
        return "File too large!\n";
    return nullptr;
}

bool matchesInstrument (const juce::File& file, const IdentityBytes& deviceId, const TagBytes& deviceTag)
{
    if (JobPaths::tooLong (file.getFullPathName()))
        return false;

    // Never waits on a FIFO or a device node picked in the chooser: the window would freeze.
    auto stream = SafeFiles::openForReading (file);
    if (stream == nullptr)
        return false;
    auto& in = *stream;

    IdentityBytes id {};
    if (! readAt (in, FlashLayout::identityOffset, id.data(), FlashLayout::identityLength) || id != deviceId)
        return false;

    if (in.getTotalLength() >= FlashLayout::tagOffset)
    {
        std::array<std::uint8_t, comparedTagLength> tag {};
        if (! readAt (in, FlashLayout::tagOffset, tag.data(), comparedTagLength)
            || ! std::equal (tag.begin(), tag.end(), deviceTag.begin()))
            return false;
    }
    return true;
}

UpdateFileCheck check (const juce::File& file, CLogPrinter& log, juce::int64& size)
{
    const auto record = FileJobs::readVersionRecord (file.getFullPathName());
    std::wstring version;
    for (auto unit : *record)
    {
        if (unit == 0)
            break;
        version.push_back (static_cast<wchar_t> (unit));
    }
    log.printA ("File version:");
    log.setTextColour (0xFFFF0000);
    log.printW (L"%ls\n", version.c_str());
    log.setTextColour (0xFF000000);

    size = file.existsAsFile() ? file.getSize() : 0;

    if (const auto* problem = sizeProblem (size))
    {
        log.printA ("%s", problem);
        return UpdateFileCheck::badSize;
    }

    auto in = SafeFiles::openForReading (file);
    std::uint8_t first = 0;
    std::array<std::uint8_t, 2> marker {};
    if (in == nullptr || ! readAt (*in, 0, &first, 1) || ! readAt (*in, markerOffset, marker.data(), 2))
        return UpdateFileCheck::modified;
    return first == 0x02 && marker[0] == 0x42 && marker[1] == 0x44 ? UpdateFileCheck::ok
                                                                    : UpdateFileCheck::modified;
}
} // namespace UpdateFile
