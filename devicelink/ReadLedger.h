#pragma once

// What the instrument can still owe during a read. Read frames carry no request id; what the
// instrument does is known: it answers its read requests in turn, one answer per request (or
// none, when a reply is lost). An answer is one block's bytes in one or more frames. Streamed
// frames (flag 1) follow one another; an acked frame (any other flag) is followed by the next
// one only after the host's Ack, and the host's next other frame ends that answer.
//
// The ledger counts; the engine decides (TransferEngineRead.cpp). Every request still owed is
// for the block being read, so whatever answer comes is that block's; the engine takes one only
// when it answers the one request owed, and asks for the next block only once nothing is owed.
//
//   state of the answer on the line | event            | next state, and what changes
//   --------------------------------+------------------+-------------------------------------------
//   none                            | requestSent      | none; owed + 1
//   none                            | frame            | an answer begins: owed - 1 (the oldest
//                                   |                  | request, which times it), or `unasked`
//                                   |                  | when nothing was owed; arriving, or none
//                                   |                  | again when the frame holds all its bytes
//   arriving, not stalled           | frame            | it continues; none when its bytes are
//                                   |                  | whole, none with `overflow` past them
//   arriving, acked frame, no Ack   | (= stalled)      | the instrument sends nothing more of it
//     from the host since          |                  | until the host's Ack
//   stalled                         | hostAckSent      | arriving: the Ack asks for the next frame
//   stalled                         | frame            | a new answer begins (the stalled one is over)
//   stalled                         | requestSent      | none: the request ends it; owed + 1
//   arriving, not stalled           | requestSent      | arriving: frames asked for before may still
//                                   |                  | come; owed + 1
//   arriving                        | answerTimedOut   | none: nothing came for the watchdog's wait
//   any                             | badFrame (longer | unchanged, and `uncertain`: it may or may
//                                   |  than a block,   | not have been an answer; the engine waits
//                                   |  before others)  | for a quiet line before the next block
//   any                             | presumeLost      | owed 0: the drain's quiet time (twice the
//                                   |                  | slowest answer seen) passed without them
//   any                             | settled          | `uncertain` cleared
//
// The engine's side: an answer that begins while others are owed starts a drain (frames counted
// and dropped). A drain ends on a quiet line; when an answer still owed would be held back by a
// stalled one (an instrument that answers in turn), the stalled one is Acked through first, so
// a quiet line there is no proof that nothing is owed. Status 3 adds a request only below
// maxOwed; the watchdog's own re-requests are bounded by the retry count.

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
