#include "cli/Reporter.h"

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
    const int percent = juce::jlimit (0, 100, static_cast<int> (fraction * 100.0));
    const auto now = juce::Time::getMillisecondCounter();
    const auto rate = bytesPerSecond >= 0 ? juce::String (bytesPerSecond / 1024.0, 1) + " KiB/s" : juce::String ("-- KiB/s");
    const auto left = secondsLeft >= 0 ? clock (secondsLeft) + " left" : juce::String ("--:-- left");

    if (settings.json)
    {
        if (percent == lastPercent && now - lastProgressMs < 1000)
            return;
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", "progress");
        o->setProperty ("percent", percent);
        o->setProperty ("kibPerSecond", bytesPerSecond >= 0 ? juce::var (std::round (bytesPerSecond / 102.4) / 10.0) : juce::var());
        o->setProperty ("secondsLeft", secondsLeft >= 0 ? juce::var (juce::roundToInt (secondsLeft)) : juce::var());
        emitJson (o);
    }
    else if (settings.quiet)
    {
        return;
    }
    else if (settings.progressLine)
    {
        if (percent == lastPercent && now - lastProgressMs < 250)
            return;
        std::fprintf (out, "\r\033[K%3d%%  %s  %s", percent, rate.toRawUTF8(), left.toRawUTF8());
        std::fflush (out);
        progressStanding = true;
    }
    else
    {
        // Not a terminal: a plain line every tenth.
        if (percent / 10 == lastPercent / 10 && lastPercent >= 0)
            return;
        std::fprintf (out, "%3d%%  %s  %s\n", percent / 10 * 10, rate.toRawUTF8(), left.toRawUTF8());
        std::fflush (out);
    }
    if (percent / 10 != lastPercent / 10)
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

void Reporter::result (const juce::String& command, Exit code, const juce::String& message,
                       const std::vector<std::pair<juce::String, bool>>& choices)
{
    toLog ("result: " + juce::String (exitName (code)) + " (" + juce::String (static_cast<int> (code)) + ") " + message);
    if (settings.json)
    {
        juce::DynamicObject::Ptr o = new juce::DynamicObject();
        o->setProperty ("type", "result");
        o->setProperty ("command", command);
        o->setProperty ("exitCode", static_cast<int> (code));
        o->setProperty ("outcome", exitName (code));
        o->setProperty ("message", message);
        for (const auto& [name, taken] : choices)
            if (taken)
                o->setProperty (juce::Identifier (name), true);
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
