// The command line's numbers and shapes, in process.

#include "cli/CommandLine.h"

#include <gtest/gtest.h>

TEST (TerminalCommandLine, ByteCounts)
{
    const std::vector<std::pair<const char*, std::optional<std::int64_t>>> cases {
        { "262144", 262144 }, { "0x40000", 0x40000 }, { "40000h", 0x40000 }, { "40000H", 0x40000 },
        { "256K", 0x40000 },  { "10M", 10 * 1024 * 1024 }, { "0x1fK", 31 * 1024 }, { "0", 0 },
        { "4294967296", std::int64_t (1) << 32 },
        // Refused: a sign, no digits, a digit of another base, two suffixes, past 32 bits.
        { "-1", std::nullopt }, { "0x", std::nullopt }, { "h", std::nullopt }, { "", std::nullopt },
        { "12a", std::nullopt }, { "1KK", std::nullopt }, { "4097M", std::nullopt },
        { "4294967297", std::nullopt }, { "ffffffffffffffffffff", std::nullopt },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ (cli::parseByteCount (text), expected) << text;
}

TEST (TerminalCommandLine, ShapesAndOptions)
{
    const auto parse = [] (const char* line) { return cli::parseCommandLine (juce::StringArray::fromTokens (line, false)); };

    const auto update = parse ("--port=usb-midi update --yes file.bin --json");
    ASSERT_TRUE (update.error.isEmpty()) << update.error;
    EXPECT_EQ (update.options.command, cli::Command::update);
    EXPECT_EQ (update.options.file, "file.bin");
    EXPECT_TRUE (update.options.yes && update.options.json);

    const auto read = parse ("read 40000h 128K out.bin --log run.log");
    ASSERT_TRUE (read.error.isEmpty()) << read.error;
    EXPECT_EQ (read.options.start, 0x40000);
    EXPECT_EQ (read.options.length, 0x20000);
    EXPECT_EQ (read.options.logFile, "run.log");

    EXPECT_EQ (parse ("list --help").options.command, cli::Command::help);
    EXPECT_EQ (update.options.port, "usb-midi");
    for (const auto* wrong : { "", "flash", "list extra", "check", "read 0 0 out", "read 0 1", "check f --yes",
                               "list --quiet --verbose", "list --port", "list --fast" })
        EXPECT_TRUE (parse (wrong).error.isNotEmpty()) << wrong;
}
