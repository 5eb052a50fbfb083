// The link's rules without I/O, as tables: what the instrument can still owe during a read
// (ReadLedger) and the timing, copy and quiet rules (LinkRules).

#include "devicelink/LinkRules.h"
#include "devicelink/ReadLedger.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace
{
// Plays a script against a ledger whose answers are four bytes long, one event a word, ten
// microseconds apart:
//   R  a read request          A  a host Ack             T  the watchdog's time-out
//   B  a frame longer than a block before any other      L  what is owed given up for lost
//   a  a one-byte acked frame  s  a one-byte streamed frame
//   w  a whole answer in one frame                       x  a two-byte streamed frame
// and describes each frame: b (begins), u (begins, nothing owed), c (continues), followed by
// ! when the answer is whole, or ^ when its bytes passed a block.
struct Played
{
    std::string frames;
    int owed = 0;
    bool arriving = false;
    bool stalled = false;
    bool uncertain = false;
    bool canRequest = true;
    std::int64_t slowestUs = 0;
};

Played play (const std::string& script)
{
    ReadLedger ledger;
    ledger.reset (4);
    std::istringstream in (script);
    std::string word;
    std::int64_t now = 0;
    std::string frames;
    while (in >> word)
    {
        now += 10;
        const char e = word[0];
        int bytes = 0;
        bool waits = false;
        switch (e)
        {
            case 'R': ledger.requestSent (now); continue;
            case 'A': ledger.hostAckSent(); continue;
            case 'T': ledger.answerTimedOut(); continue;
            case 'B': ledger.badFrame(); continue;
            case 'L': ledger.presumeLost(); continue;
            case 'a': bytes = 1; waits = true; break;
            case 's': bytes = 1; break;
            case 'w': bytes = 4; waits = true; break;
            case 'x': bytes = 2; break;
            default: ADD_FAILURE() << "unknown event " << word; continue;
        }
        const auto a = ledger.frame (bytes, waits, now);
        if (! frames.empty())
            frames += ' ';
        frames += a.begins ? (a.unasked ? 'u' : 'b') : 'c';
        if (a.complete)
            frames += '!';
        if (a.overflow)
            frames += '^';
    }
    return { frames, ledger.owedAnswers(), ledger.answerArriving(), ledger.isStalled(), ledger.uncertain(),
             ledger.canRequest(), ledger.slowestAnswerUs() };
}
} // namespace

TEST (ReadLedger, WhatTheInstrumentStillOwes)
{
    struct Row
    {
        const char* what;
        const char* script;
        const char* frames;
        int owed;
        bool arriving;
        bool stalled;
        bool uncertain;
    };
    const Row rows[] = {
        { "one request, one answer", "R w", "b!", 0, false, false, false },
        { "a late answer, then the re-request's", "R R w w", "b! b!", 0, false, false, false },
        { "the first of two answers is in: one more is owed", "R R w", "b!", 1, false, false, false },
        { "an acked answer Acked through", "R a A a A a A a", "b c c c!", 0, false, false, false },
        { "an acked answer not Acked waits: the next frame begins another", "R R a a", "b b", 0, true, true, false },
        { "a request ends an answer that waits for an Ack", "R a R a", "b b", 0, true, true, false },
        { "after an Ack, a frame asked for may still come", "R a A R a", "b c", 1, true, true, false },
        { "a streamed answer", "R s s s s", "b c c c!", 0, false, false, false },
        { "a time-out ends the answer on the line", "R s s T R s", "b c b", 0, true, false, false },
        { "an answer nobody asked for", "w", "u!", 0, false, false, false },
        { "bytes past a block", "R s x x", "b c c^", 0, false, false, false },
        { "a bad frame answers nothing and leaves a doubt", "R B w", "b!", 0, false, false, true },
        { "owed answers given up for lost", "R R R L w", "u!", 0, false, false, false },
    };
    for (const auto& r : rows)
    {
        SCOPED_TRACE (r.what);
        const auto p = play (r.script);
        EXPECT_EQ (p.frames, r.frames);
        EXPECT_EQ (p.owed, r.owed);
        EXPECT_EQ (p.arriving, r.arriving);
        EXPECT_EQ (p.stalled, r.stalled);
        EXPECT_EQ (p.uncertain, r.uncertain);
    }
}

TEST (ReadLedger, RequestsOwedAreBoundedAndTimed)
{
    EXPECT_TRUE (play ("R R").canRequest);
    EXPECT_FALSE (play ("R R R").canRequest);
    EXPECT_TRUE (play ("R R R w").canRequest);
    // An answer is timed from the oldest request it can answer: the first of two.
    EXPECT_EQ (play ("R R w").slowestUs, 20);
    EXPECT_EQ (play ("R w R R R w").slowestUs, 30);
}

TEST (LinkRules, CopiesOfAcks)
{
    struct Row
    {
        const char* what;
        std::int64_t fastestUs; // 0: no block answered yet
        std::int64_t sinceUs;
        bool copy;
    };
    const Row rows[] = {
        { "nothing measured yet", 0, 0, false },
        { "an instant socket: a copy and a quick answer look the same", 600, 0, false },
        { "800 kB/s: the copy follows the real Ack at once", 5900, 10, true },
        { "800 kB/s: a real Ack a little quicker than the fastest", 5900, 5000, false },
        { "800 kB/s: the copy, stamped late by a busy input thread", 5900, 4000, true },
        { "800 kB/s: just under four fifths of the fastest", 5900, 4719, true },
        { "800 kB/s: four fifths of the fastest", 5900, 4720, false },
        { "100 kB/s: the copy", 47000, 100, true },
        { "100 kB/s: the real Ack", 47000, 47500, false },
    };
    for (const auto& r : rows)
    {
        SCOPED_TRACE (r.what);
        LinkRules rules;
        if (r.fastestUs > 0)
            rules.blockAnswered (r.fastestUs);
        EXPECT_EQ (rules.isAckCopy (r.sinceUs), r.copy);
    }

    // A held Ack expires after twice the fastest exchange; the fastest is the smallest seen.
    LinkRules rules;
    rules.blockAnswered (8000);
    rules.blockAnswered (6000);
    rules.blockAnswered (9000);
    EXPECT_EQ (rules.fastestBlock(), 6000);
    EXPECT_FALSE (rules.heldAckExpired (100, 100 + 11999));
    EXPECT_TRUE (rules.heldAckExpired (100, 100 + 12000));
    rules.newLink();
    EXPECT_EQ (rules.fastestBlock(), 0);

    // Erases are judged by their own fastest exchange, not by the blocks'.
    rules.blockAnswered (6000);
    EXPECT_FALSE (rules.isEraseAckCopy (10)) << "no erase measured yet";
    rules.eraseAnswered (280000);
    rules.eraseAnswered (276000);
    EXPECT_TRUE (rules.isEraseAckCopy (10)) << "the last block's Ack, doubled";
    EXPECT_TRUE (rules.isEraseAckCopy (137999));
    EXPECT_FALSE (rules.isEraseAckCopy (138000));
    EXPECT_FALSE (rules.heldEraseAckExpired (0, 551999));
    EXPECT_TRUE (rules.heldEraseAckExpired (0, 552000));
    rules.newLink();
    EXPECT_FALSE (rules.isEraseAckCopy (10));
}

TEST (LinkRules, WatchdogAndQuietTimes)
{
    struct Row
    {
        const char* what;
        std::int64_t frameUs;
        int periodMs;
        int watchdog;
        int quiet;
    };
    const Row rows[] = {
        { "nothing measured, read ticks", 0, 80, 8, 2 },
        { "USB block frame, read ticks", 47000, 80, 8, 3 },
        { "a late answer of 700 ms", 700000, 80, 19, 19 },
        { "DIN block frame, read ticks", 1500000, 80, 39, 39 },
        { "DIN block frame, program ticks", 1500000, 500, 8, 7 },
    };
    for (const auto& r : rows)
    {
        SCOPED_TRACE (r.what);
        LinkRules rules;
        rules.frameTime (r.frameUs);
        EXPECT_EQ (rules.watchdogTicks (r.periodMs), r.watchdog);
        EXPECT_EQ (rules.quietTicks (r.periodMs), r.quiet);
    }

    // The longest recent exchange rules, and fades by an eighth per exchange.
    LinkRules rules;
    rules.frameTime (800);
    rules.frameTime (100);
    EXPECT_EQ (rules.frameTimeUs(), 700);
    rules.frameTime (900);
    EXPECT_EQ (rules.frameTimeUs(), 900);
}

TEST (LinkRules, QuietLineSeenByTheByte)
{
    // Times in ms after the last frame (or request) at 0; the reply time is 20 ms where known.
    struct Row
    {
        const char* what;
        std::int64_t replyMs;
        std::int64_t nowMs;
        bool arriving;
        std::int64_t beganMs;
        bool quiet;
        bool settled;
    };
    const Row rows[] = {
        { "no reply time yet: the margin alone", 0, 11, false, -5, true, false },
        { "within one and a half reply times and the margin", 20, 39, false, -5, false, false },
        { "past them, but a copy may still come", 20, 41, false, -5, true, false },
        { "past the floor as well", 20, 51, false, -5, true, true },
        { "a frame begun since counts from its start", 20, 60, false, 30, false, false },
        { "a frame still arriving", 20, 200, true, 150, false, false },
        { "a frame that never ended stops counting", 20, 300, true, 50, true, true },
    };
    for (const auto& r : rows)
    {
        SCOPED_TRACE (r.what);
        LinkRules rules;
        if (r.replyMs > 0)
            rules.replyBegan (r.replyMs * 1000);
        EXPECT_EQ (rules.lineQuiet (r.nowMs * 1000, r.arriving, r.beganMs * 1000, 0), r.quiet);
        EXPECT_EQ (rules.settled (r.nowMs * 1000, r.arriving, r.beganMs * 1000, 0), r.settled);
    }
}
