#include "cli/Reporter.h"

#include <juce_cryptography/juce_cryptography.h>

#include <unistd.h>

namespace cli
{
namespace
{
juce::String clock (double seconds)
{
    const auto s = juce::roundToInt (seconds);
    return juce::String (s / 60).paddedLeft ('0', 2) + ":" + juce::String (s % 60).paddedLeft ('0', 2);
}

juce::String stamp()
{
    return juce::Time::getCurrentTime().formatted ("%Y-%m-%d %H:%M:%S ");
}
} // namespace

Reporter::Reporter (Settings settingsIn, std::FILE* outIn, std::FILE* errIn)
    : settings (settingsIn), out (outIn), err (errIn)
{
}

Reporter::~Reporter()
{
    if (pendingLog.isNotEmpty())
        log ("\n");
    endProgress();
}

void Reporter::setLog (std::unique_ptr<juce::OutputStream> stream)
{
    logStream = std::move (stream);
}

void Reporter::toLog (const juce::String& line)
{
    if (logStream == nullptr)
        return;
    *logStream << stamp() << line << "\n";
    logStream->flush(); // kept for support even when the run ends badly
}

void Reporter::emitJson (juce::DynamicObject::Ptr object)
{
    endProgress();
    const auto line = juce::JSON::toString (juce::var (object.get()), true);
    std::fprintf (out, "%s\n", line.toRawUTF8());
    std::fflush (out);
}

void Reporter::event (const juce::String& textIn)
{
    const auto text = textIn.trim();
    if (text.isEmpty())
        return;
    toLog (text);
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", "event");
        o->setProperty ("text", text);
        emitJson (o);
        return;
    }
    if (settings.quiet)
        return;
    endProgress();
    lastEvent = text;
    std::fprintf (out, "%s\n", text.toRawUTF8());
    std::fflush (out);
}

void Reporter::log (const juce::String& text)
{
    pendingLog << text;
    // The link ends its lines; a piece that never does is taken as a line of its own.
    if (pendingLog.length() > maxLogLine)
        pendingLog << "\n";
    while (pendingLog.containsChar ('\n'))
    {
        const auto line = pendingLog.upToFirstOccurrenceOf ("\n", false, false).trimEnd();
        pendingLog = pendingLog.fromFirstOccurrenceOf ("\n", false, false);
        if (line.isEmpty())
            continue;
        toLog ("log: " + line);
        if (! settings.verbose)
            continue;
        if (settings.json)
        {
            juce::DynamicObject::Ptr o = new juce::DynamicObject();
            o->setProperty ("type", "log");
            o->setProperty ("text", line);
            emitJson (o);
        }
        else
        {
            endProgress();
            std::fprintf (err, "  %s\n", line.toRawUTF8());
            std::fflush (err);
        }
    }
}

void Reporter::warning (const juce::String& text)
{
    toLog ("warning: " + text);
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", "event");
        o->setProperty ("text", text);
        o->setProperty ("warning", true);
        emitJson (o);
        return;
    }
    endProgress();
    std::fprintf (err, "talvek-update: %s\n", text.toRawUTF8());
    std::fflush (err);
}

void Reporter::progress (double fraction, double bytesPerSecond, double secondsLeft)
{
    lastRate = bytesPerSecond;
    showProgress (juce::jlimit (0, 100, static_cast<int> (fraction * 100.0)), bytesPerSecond, secondsLeft, false);
}

void Reporter::finishProgress (double fraction)
{
    const int percent = juce::jlimit (0, 100, static_cast<int> (fraction * 100.0));
    // The last figure the bar reached, exactly: 100 after a job that went through.
    showProgress (percent, lastRate, percent == 100 ? 0.0 : -1.0, true);
    lastPercent = lastPrintedPercent = -1; // a later bar starts again
    lastRate = -1.0;
}

void Reporter::showProgress (int percent, double bytesPerSecond, double secondsLeft, bool last)
{
    const auto now = juce::Time::getMillisecondCounter();
    const auto rate = bytesPerSecond >= 0 ? juce::String (bytesPerSecond / 1024.0, 1) + " KiB/s" : juce::String ("-- KiB/s");
    const auto left = secondsLeft >= 0 ? clock (secondsLeft) + " left" : juce::String ("--:-- left");

    if (settings.json)
    {
        if (percent == lastPercent && (last || now - lastProgressMs < 1000))
            return;
        // Written by hand: the framework prints a double with all its binary digits (76.6 as
        // 76.59999999999999), whatever number of places it is asked for.
        const auto kib = bytesPerSecond >= 0 ? juce::String (std::round (bytesPerSecond / 102.4) / 10.0, 1) : juce::String ("null");
        const auto seconds = secondsLeft >= 0 ? juce::String (juce::roundToInt (secondsLeft)) : juce::String ("null");
        endProgress();
        std::fprintf (out, "{\"type\": \"progress\", \"percent\": %d, \"kibPerSecond\": %s, \"secondsLeft\": %s}\n", percent,
                      kib.toRawUTF8(), seconds.toRawUTF8());
        std::fflush (out);
    }
    else if (settings.quiet)
    {
        return;
    }
    else if (settings.progressLine)
    {
        if (percent == lastPercent && now - lastProgressMs < 250 && ! last)
            return;
        std::fprintf (out, "\r\033[K%3d%%  %s  %s", percent, rate.toRawUTF8(), left.toRawUTF8());
        std::fflush (out);
        progressStanding = true;
    }
    else
    {
        // Not a terminal: a plain line every tenth, and the last figure reached.
        const int shown = last ? percent : percent / 10 * 10;
        if (shown == lastPrintedPercent || (! last && percent / 10 == lastPercent / 10 && lastPercent >= 0))
            return;
        std::fprintf (out, "%3d%%  %s  %s\n", shown, rate.toRawUTF8(), left.toRawUTF8());
        std::fflush (out);
        lastPrintedPercent = shown;
    }
    if (percent / 10 != lastPercent / 10 || last)
        toLog ("progress " + juce::String (percent) + "% " + rate + " " + left);
    lastPercent = percent;
    lastProgressMs = now;
}

void Reporter::endProgress()
{
    if (progressStanding)
    {
        std::fprintf (out, "\n");
        std::fflush (out);
        progressStanding = false;
    }
}

void Reporter::record (const juce::String& kind, juce::DynamicObject& fields, const juce::String& text)
{
    toLog (text);
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", kind);
        for (const auto& field : fields.getProperties())
            o->setProperty (field.name, field.value);
        emitJson (o);
        return;
    }
    endProgress();
    std::fprintf (out, "%s\n", text.toRawUTF8());
    std::fflush (out);
}

void Reporter::instrument (juce::DynamicObject& fields, const juce::String& text)
{
    toLog (text);
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = fields.clone();
        o->setProperty ("type", "instrument");
        emitJson (o);
        return;
    }
    endProgress();
    std::fprintf (out, "%s\n", text.toRawUTF8());
    std::fflush (out);
}

void Reporter::resultDetail (const juce::String& name, const juce::var& value)
{
    details.set (name, value);
}

bool Reporter::resultFile (const juce::File& file)
{
    juce::FileInputStream in (file);
    if (! in.openedOk())
        return false;
    resultDetail ("file", file.getFullPathName());
    resultDetail ("fileBytes", static_cast<juce::int64> (in.getTotalLength()));
    juce::BufferedInputStream buffered (in, 65536); // the digest reads 64 bytes at a time
    resultDetail ("fileSha256", juce::SHA256 (buffered).toHexString().removeCharacters (" "));
    return true;
}

void Reporter::result (const juce::String& command, Exit code, const juce::String& message)
{
    juce::String detailText;
    for (const auto& detail : details)
        detailText << (detailText.isEmpty() ? "" : ", ") << detail.name.toString() << " " << detail.value.toString();
    toLog ("result: " + juce::String (exitName (code)) + " (" + juce::String (static_cast<int> (code)) + ") " + message
           + (detailText.isEmpty() ? juce::String() : " [" + detailText + "]"));
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", "result");
        o->setProperty ("command", command);
        o->setProperty ("exitCode", static_cast<int> (code));
        o->setProperty ("outcome", exitName (code));
        o->setProperty ("message", message);
        for (const auto& detail : details)
            o->setProperty (detail.name, detail.value);
        emitJson (o);
        return;
    }
    endProgress();
    if (message.isEmpty())
        return;
    if (code == Exit::ok)
    {
        if (! settings.quiet && message != lastEvent)
            std::fprintf (out, "%s\n", message.toRawUTF8());
        if (! settings.quiet)
            for (const auto& detail : details)
                std::fprintf (out, "  %-11s %s\n", detail.name.toString().toRawUTF8(), detail.value.toString().toRawUTF8());
        std::fflush (out);
    }
    else
    {
        std::fprintf (err, "talvek-update: %s\n", message.toRawUTF8());
        std::fflush (err);
    }
}

bool Reporter::ask (const juce::String& question)
{
    toLog ("question: " + question);
    if (::isatty (STDIN_FILENO) == 0 || settings.json)
        return false;
    endProgress();
    std::fprintf (err, "%s [yes/no] ", question.toRawUTF8());
    std::fflush (err);
    char answer[64] = {};
    if (std::fgets (answer, sizeof (answer), stdin) == nullptr)
        return false;
    const auto word = juce::String (answer).trim().toLowerCase();
    const bool yes = word == "yes" || word == "y";
    toLog (juce::String ("answer: ") + (yes ? "yes" : "no"));
    return yes;
}
} // namespace cli
