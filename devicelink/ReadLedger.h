#pragma once

// What the instrument can still owe during a read. Read frames carry no request id; what the
// instrument does is known: it answers its read requests in turn, one answer per request (or
// none, when a reply is lost). An answer is one block's bytes in one or more frames. Streamed
// frames (flag 1) follow one another; an acked frame (any other flag) is followed by the next
// one only after the host's Ack, and the host's next other frame ends that answer.
//
// The ledger counts; the engine decides (TransferEngineRead.cpp). Its one rule: every request
// still owed is for the block being read, so any answer that comes is that block's; the next
// block is asked for only once nothing is owed (or what was owed has been given up for lost,
// after the slowest answer seen has had time to come, half as long again).
//
//   state (of the answer on the line)  | event                        | next, and what changes
//   -----------------------------------+------------------------------+---------------------------------
//   none                               | requestSent                  | none; owed + 1
//   none                               | frame                        | arriving (or none when the frame
//                                      |                              | is the whole answer); an answer
//                                      |                              | begins: owed - 1, or `unasked`
//                                      |                              | when nothing was owed
//   arriving (streamed, or acked and   | frame                        | arriving / none when the bytes
//     Acked by the host)               |                              | are whole; `overflow` (none,
//                                      |                              | uncertain) when they pass them
//   arriving, acked, not yet Acked     | hostAckSent                  | arriving (the Ack asks for more)
//     (stalled)                        |                              |
//   stalled                            | frame                        | a new answer begins: a stalled
//                                      |                              | answer sends nothing before an Ack
//   stalled                            | requestSent                  | none: the request ends it; owed + 1
//   arriving (not stalled)             | requestSent                  | arriving: frames asked for before
//                                      |                              | may still come; owed + 1
//   any                                | badFrame (longer than a      | unchanged, uncertain: it may or
//                                      |   block before any other)    | may not have been an answer
//   any                                | presumeLost                  | owed 0, uncertain
//   any                                | settled                      | uncertain cleared (the engine
//                                      |                              | waited out the allowance)
//
// `uncertain` means a count may be off by one: the engine then waits out the reply allowance
// before it asks for another block, and again after the last one.

#include <cstdint>
#include <deque>

class ReadLedger
{
public:
    // Requests owed at most: a silent device is not asked again and again.
    static constexpr int maxOwed = 3;

    struct Arrival
    {
        bool begins = false;   // the first frame of an answer
        bool unasked = false;  // it began when no request was owed: a copy, or one given up for lost
        bool complete = false; // the answer's bytes are whole
        bool overflow = false; // the bytes passed a block: not an answer that can be taken
        int answer = 0;        // numbers the answers of a read, from 1
    };

    void reset (int answerBytesIn)
    {
        *this = ReadLedger {};
        answerBytes = answerBytesIn;
    }

    void requestSent (std::int64_t us)
    {
        if (stalled)
            arrivedBytes = 0; // the request ends an answer that waits for an Ack
        stalled = false;
        ++owed;
        askedAt.push_back (us);
        while (askedAt.size() > std::size_t (maxOwed + 1))
            askedAt.pop_front();
        lastRequestUs = us;
    }

    void hostAckSent() { stalled = false; }
    // Nothing came for the watchdog's whole wait: the answer on the line will not go on.
    void answerTimedOut()
    {
        arrivedBytes = 0;
        stalled = false;
    }

    Arrival frame (int bytes, bool waitsForAck, std::int64_t us)
    {
        Arrival a;
        if (arrivedBytes == 0 || stalled)
        {
            a.begins = true;
            ++answerCount;
            arrivedBytes = 0;
            if (owed > 0)
            {
                --owed;
                if (! askedAt.empty())
                {
                    if (us - askedAt.front() > slowestUs)
                        slowestUs = us - askedAt.front();
                    askedAt.pop_front();
                }
            }
            else
                a.unasked = true;
        }
        a.answer = answerCount;
        arrivedBytes += bytes;
        stalled = false;
        if (arrivedBytes > answerBytes)
        {
            a.overflow = true;
            arrivedBytes = 0;
        }
        else if (arrivedBytes == answerBytes)
        {
            a.complete = true;
            arrivedBytes = 0;
        }
        else
            stalled = waitsForAck;
        return a;
    }

    void badFrame() { isUncertain = true; }
    void presumeLost()
    {
        owed = 0;
        askedAt.clear();
    }
    void settled() { isUncertain = false; }

    int owedAnswers() const { return owed; }
    bool canRequest() const { return owed < maxOwed; }
    bool answerArriving() const { return arrivedBytes > 0; }
    bool isStalled() const { return stalled; }
    bool uncertain() const { return isUncertain; }
    int currentAnswer() const { return answerCount; }
    std::int64_t slowestAnswerUs() const { return slowestUs; }
    std::int64_t lastRequestAtUs() const { return lastRequestUs; }
    // How long after a request its answer may still begin: the slowest seen (or the link's
    // frame time, whichever is longer), half as long again.
    std::int64_t allowanceUs (std::int64_t frameTimeUs) const
    {
        const auto longest = slowestUs > frameTimeUs ? slowestUs : frameTimeUs;
        return longest + longest / 2;
    }

private:
    int answerBytes = 0;
    int owed = 0;
    std::deque<std::int64_t> askedAt; // owed requests, oldest first
    int arrivedBytes = 0;
    bool stalled = false;
    bool isUncertain = false;
    int answerCount = 0;
    std::int64_t slowestUs = 0;
    std::int64_t lastRequestUs = 0;
};
