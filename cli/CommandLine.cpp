#include "cli/CommandLine.h"

#include "cli/ExitCode.h"
#include "common/Utf8.h"

#include <limits>

namespace cli
{
namespace
{
// Every flash address the tool knows fits in 32 bits; anything larger is a typo.
constexpr std::int64_t largestByteCount = std::int64_t (1) << 32;

std::optional<Command> commandNamed (const juce::String& word)
{
    if (word == "list") return Command::list;
    if (word == "check") return Command::check;
    if (word == "update") return Command::update;
    if (word == "read") return Command::read;
    if (word == "history") return Command::history;
    if (word == "help") return Command::help;
    if (word == "recovery") return Command::recoveryExport; // export or import: the next word says
    return std::nullopt;
}
} // namespace

std::optional<std::int64_t> parseByteCount (const juce::String& textIn)
{
    auto text = textIn.trim().toLowerCase();
    std::int64_t scale = 1;
    if (text.endsWithChar ('k'))
        scale = 1024;
    else if (text.endsWithChar ('m'))
        scale = 1024 * 1024;
    if (scale != 1)
        text = text.dropLastCharacters (1);

    int base = 10;
    if (text.startsWith ("0x"))
    {
        base = 16;
        text = text.substring (2);
    }
    else if (text.endsWithChar ('h'))
    {
        base = 16;
        text = text.dropLastCharacters (1);
    }
    if (text.isEmpty() || text.length() > 12)
        return std::nullopt;

    std::int64_t value = 0;
    for (const auto c : text)
    {
        const int digit = juce::CharacterFunctions::getHexDigitValue (c);
        if (digit < 0 || digit >= base)
            return std::nullopt;
        value = value * base + digit;
    }
    if (value > largestByteCount / scale)
        return std::nullopt;
    return value * scale;
}

juce::StringArray argumentsFromBytes (int argc, const char* const* argv, juce::String& error)
{
    juce::StringArray arguments;
    for (int i = 1; i < argc; ++i)
    {
        const auto size = std::char_traits<char>::length (argv[i]);
        if (utf8::isWellFormed (argv[i], size))
            arguments.add (juce::String::fromUTF8 (argv[i], static_cast<int> (size)));
        else if (error.isEmpty())
            error = "argument " + juce::String (i) + " is not valid UTF-8: " + juce::String (utf8::escaped (argv[i], size));
    }
    return arguments;
}

juce::String byteCountProblem (const juce::String& textIn)
{
    if (parseByteCount (textIn).has_value())
        return {};
    auto text = textIn.trim().toLowerCase();
    if (text.isEmpty())
        return "it is empty";
    if (text.startsWithChar ('-'))
        return "a negative number";
    const auto last = text.getLastCharacter();
    if (juce::CharacterFunctions::isLetter (last) && last != 'k' && last != 'm' && last != 'h' && ! text.startsWith ("0x"))
        return "the suffix " + juce::String::charToString (textIn.trim().getLastCharacter())
               + " is not known: K is 1024 bytes, M 1048576; a flash holds at most 256M";
    // The digits alone, to tell a bad digit from a value that is too large.
    auto digits = text;
    if (digits.endsWithChar ('k') || digits.endsWithChar ('m'))
        digits = digits.dropLastCharacters (1);
    const bool hex = digits.startsWith ("0x") || digits.endsWithChar ('h');
    digits = digits.startsWith ("0x") ? digits.substring (2) : hex ? digits.dropLastCharacters (1) : digits;
    for (const auto c : digits)
    {
        const int digit = juce::CharacterFunctions::getHexDigitValue (c);
        if (digit < 0 || digit >= (hex ? 16 : 10))
            return juce::String ("'") + juce::String::charToString (c) + "' is not a "
                   + (hex ? "hexadecimal" : "decimal") + " digit"
                   + (hex ? juce::String() : juce::String (" (hexadecimal: 0x40000 or 40000h)"));
    }
    if (digits.isEmpty())
        return "there are no digits";
    return "more than 4 GiB, past every flash the tool knows";
}

Parsed parseCommandLine (const juce::StringArray& arguments)
{
    Parsed parsed;
    auto& o = parsed.options;
    juce::StringArray words;

    const auto fail = [&parsed] (const juce::String& why)
    {
        parsed.error = why;
        return parsed;
    };

    for (int i = 0; i < arguments.size(); ++i)
    {
        const auto& a = arguments[i];
        const auto value = [&] (const char* option) -> std::optional<juce::String>
        {
            if (a.startsWith (juce::String (option) + "="))
                return a.fromFirstOccurrenceOf ("=", false, false);
            if (i + 1 < arguments.size())
                return arguments[++i];
            return std::nullopt;
        };

        if (a == "--help" || a == "-h")
            o.command = Command::help;
        else if (a == "--version")
        {
            if (o.command != Command::help)
                o.command = Command::version;
        }
        else if (a == "--json")
            o.json = true;
        else if (a == "--quiet" || a == "-q")
            o.quiet = true;
        else if (a == "--verbose" || a == "-v")
            o.verbose = true;
        else if (a == "--yes" || a == "-y")
            o.yes = true;
        else if (a == "--same-unit")
            o.sameUnit = true;
        else if (a == "--replace-settings")
            o.replaceSettings = true;
        else if (a == "--port" || a.startsWith ("--port="))
        {
            const auto v = value ("--port");
            if (! v.has_value() || v->isEmpty())
                return fail ("--port needs a port name");
            o.port = *v;
        }
        else if (a == "--log" || a.startsWith ("--log="))
        {
            const auto v = value ("--log");
            if (! v.has_value() || v->isEmpty())
                return fail ("--log needs a file name");
            o.logFile = *v;
        }
        else if (a == "--")
        {
            for (++i; i < arguments.size(); ++i)
                words.add (arguments[i]);
        }
        else if (a.startsWith ("-") && a.length() > 1)
            return fail ("unknown option " + a);
        else
            words.add (a);
    }

    if (o.quiet && o.verbose)
        return fail ("--quiet and --verbose exclude each other");
    if (o.command == Command::help || o.command == Command::version)
        return parsed;
    if (words.isEmpty())
        return fail ("no command given");

    const auto command = commandNamed (words[0]);
    if (! command.has_value())
        return fail ("unknown command " + words[0]);
    o.command = *command;
    words.remove (0);

    const auto expect = [&] (int count, const char* shape) -> bool
    {
        if (words.size() == count)
            return true;
        parsed.error = juce::String ("usage: talvek-update ") + shape;
        return false;
    };

    switch (o.command)
    {
        case Command::help:
            break;
        case Command::list:
            if (! expect (0, "list"))
                return parsed;
            break;
        case Command::history:
            if (! expect (0, "history"))
                return parsed;
            break;
        case Command::check:
        case Command::update:
            if (! expect (1, o.command == Command::check ? "check FILE" : "update FILE [--yes]"))
                return parsed;
            o.file = words[0];
            break;
        case Command::read:
        {
            if (! expect (3, "read START LENGTH OUT"))
                return parsed;
            const auto start = parseByteCount (words[0]);
            const auto length = parseByteCount (words[1]);
            if (! start.has_value())
                return fail ("START is not an address: " + words[0] + " (" + byteCountProblem (words[0]) + ")");
            if (! length.has_value())
                return fail ("LENGTH is not a byte count: " + words[1] + " (" + byteCountProblem (words[1]) + ")");
            if (*length == 0)
                return fail ("LENGTH must be above 0: " + words[1]);
            o.start = *start;
            o.length = *length;
            o.out = words[2];
            break;
        }
        case Command::recoveryExport:
        case Command::recoveryImport:
        {
            if (! expect (2, "recovery export FILE | recovery import FILE"))
                return parsed;
            if (words[0] == "import")
                o.command = Command::recoveryImport;
            else if (words[0] != "export")
                return fail ("usage: talvek-update recovery export FILE | recovery import FILE");
            o.file = words[1];
            break;
        }
        case Command::none:
        case Command::version:
            break;
    }
    if (o.yes && o.command != Command::update)
        return fail ("--yes belongs to update");
    if ((o.sameUnit || o.replaceSettings) && o.command != Command::update && o.command != Command::check)
        return fail (juce::String (o.sameUnit ? "--same-unit" : "--replace-settings") + " belongs to update and check");
    return parsed;
}

juce::String versionText()
{
    return juce::String ("talvek-update ") + TALVEK_VERSION;
}

juce::String helpText()
{
    juce::String text;
    text << "Usage: talvek-update [OPTIONS] COMMAND\n"
            "\n"
            "Updates the firmware of a TALVEK instrument connected by MIDI, without a window.\n"
            "\n"
            "Commands:\n"
            "  list                     probe every MIDI port and describe each instrument found\n"
            "  check FILE               check an update file against the connected instrument\n"
            "  update FILE [--yes]      write the update file, read it back and compare it; an\n"
            "                           interrupted update of this instrument is completed\n"
            "  read START LENGTH OUT    read LENGTH bytes of flash from START into the file OUT\n"
            "                           (read twice; the reads must agree). Numbers: 262144,\n"
            "                           0x40000, 40000h, 256K, 10M\n"
            "  recovery export FILE     write the interrupted update waiting in the state folder\n"
            "                           (its record, the backup of the instrument's own area\n"
            "                           and the update file) into one file, to complete it on\n"
            "                           another computer, user account or state folder\n"
            "  recovery import FILE     check every part of a recovery file and install it in\n"
            "                           the state folder: the next update of that instrument\n"
            "                           completes the interrupted one. A different interrupted\n"
            "                           update waiting there is never replaced (exit 8); a\n"
            "                           damaged file is refused (exit 9)\n"
            "  history                  every update that started on this computer for this user:\n"
            "                           when, port, identity, file, size, SHA-256, script, outcome\n"
            "\n"
            "Options:\n"
            "  --port NAME    use the instrument on this port: its name as list prints it (or its id);\n"
            "                 without it, two instruments answering is refused\n"
            "  --yes, -y      answer update's questions with yes (needed without a terminal): the\n"
            "                 update, and completing an interrupted one on an unreadable identity\n"
            "  --same-unit    the connected instrument is the one whose update was interrupted:\n"
            "                 asked when its parameter area at 40000h can't tell (erased, or only the\n"
            "                 built-in settings); --yes never answers this\n"
            "  --replace-settings\n"
            "                 the instrument's settings are not in its flash (an update interrupted\n"
            "                 elsewhere left them in that computer's state folder): replace them with\n"
            "                 the built-in ones; --yes never answers this\n"
            "  --json         one JSON object per line on stdout: \"type\" is event, progress,\n"
            "                 instrument, log or result (the manual page lists the fields)\n"
            "  --log FILE     keep every log line of the run in FILE (never the update file,\n"
            "                 read's OUT, the recovery file or a file of the state folder)\n"
            "  --quiet, -q    print only the result\n"
            "  --verbose, -v  print the link's log lines too\n"
            "  --version      print the version and exit\n"
            "  --help, -h     print this text and exit\n"
            "\n"
            "Exit codes:\n";
    for (const auto& info : exitTable)
        text << "  " << juce::String (static_cast<int> (info.code)).paddedLeft (' ', 2) << "  "
             << juce::String (info.name).paddedRight (' ', 20) << info.description << "\n";
    text << "\n"
            "Environment: TALVEK_MIDI_SOCKETS (sockets of emulated instruments, separated by ':'),\n"
            "TALVEK_STATE_DIR (the folder of the update's files and the instance lock).\n";
    return text;
}
} // namespace cli
