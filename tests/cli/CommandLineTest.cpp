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

// A refused number says what is wrong with it, the suffix above all.
TEST (TerminalCommandLine, ByteCountProblemsAreNamed)
{
    const std::vector<std::pair<const char*, const char*>> cases {
        { "1G", "the suffix G is not known" }, { "128KB", "the suffix B is not known" },
        { "4097M", "more than 4 GiB" },        { "4294967297", "more than 4 GiB" },
        { "12x", "the suffix x is not known" }, { "40000g", "the suffix g is not known" },
        { "0x4g000", "'g' is not a hexadecimal digit" }, { "1.5M", "'.' is not a decimal digit" },
        { "0x", "no digits" }, { "K", "no digits" }, { "-1", "negative" }, { " ", "empty" },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_TRUE (cli::byteCountProblem (text).contains (expected)) << text << ": " << cli::byteCountProblem (text);
    EXPECT_TRUE (cli::byteCountProblem ("256K").isEmpty());

    const auto read = cli::parseCommandLine (juce::StringArray::fromTokens ("read 0 1G out.bin", false));
    EXPECT_EQ (read.error, "LENGTH is not a byte count: 1G (the suffix G is not known: K is 1024 bytes, M 1048576; "
                           "a flash holds at most 256M)");
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
