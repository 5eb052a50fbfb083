#pragma once

// The link's timing, copy and quiet rules, without I/O: fed with times (microseconds on the
// host's clock) and events, it answers what to do. Frames carry no request id, so time is what
// tells a lost reply from a slow one, and a copy of an Ack from the next one.
//
//   event                               | what it changes
//   ------------------------------------+-----------------------------------------------------
//   frameTime(us)                        | the link's frame time: the longest recent exchange,
//                                        | fading by 1/8 per exchange towards what is measured
//   replyBegan(us) (request to the F0   | the reply time: the longest recent one, fading as
//     of its answer)                    | the frame time does
//   blockAnswered(us) (a Data block's    | the fastest block exchange seen on this link
//     Ack, status 0, not a copy)         |
//   eraseAnswered(us) (an erase's Ack,   | the fastest sector erase seen on this link
//     status 0, not a copy)              |
//   newLink()                            | forgets them all
//
//   question                            | answer
//   ------------------------------------+-----------------------------------------------------
//   isAckCopy(sinceBlockSentUs)         | true when the Ack came sooner than four fifths of
//                                        | the fastest block exchange: every block must cross
//                                        | the cable before its Ack can leave, so a real Ack
//                                        | cannot come that soon; it is a copy of the Ack
//                                        | before. The fastest exchange is the least delayed by
//                                        | the host, while a copy's stamp may be late by as
//                                        | long as the input thread waited for a CPU: hence
//                                        | close to the fastest, not half of it. Not judged
//                                        | below 1 ms a block (an instant socket), where a copy
//                                        | and a quick answer look the same.
//   watchdogTicks(periodMs)             | the ticks of silence before a reply counts as lost:
//                                        | twice the frame time, never below the fixed limit
//   quietTicks(periodMs)                | the ticks a line must stay silent before nothing more
//                                        | is taken to be on its way: twice the frame time, at
//                                        | least two ticks
//   lineQuiet(now, arriving, began,      | with a port that sees every byte: nothing arriving
//     lastEvent)                        | and nothing begun since the last frame or request
//                                        | for one reply time (a request to the first byte of
//                                        | its answer) plus a margin; a frame that never ends
//                                        | stops counting as arriving after twice the frame time
//   settled(now, arriving, began,        | before a driver upload or a flash test: the line is
//     lastEvent)                        | quiet as above and for at least settleFloorUs, as
//                                        | long as a copy of the last reply has been seen to
//                                        | come late
//   isEraseAckCopy(sinceEraseSentUs)    | the same for an erase: no sector erases in less than
//                                        | half the fastest erase seen, so an Ack that soon is
//                                        | a copy of the one before (the last block's, or the
//                                        | last sector's)
//   heldEraseAckExpired(heldUs, nowUs)  | as heldAckExpired, with the fastest erase
//   heldAckExpired(heldUs, nowUs)       | a held Ack that nothing else followed for twice the
//                                        | fastest exchange was the real answer: the link only
//                                        | looked slow while the host or the device was busy

#include <algorithm>
#include <cstdint>

class LinkRules
{
public:
    static constexpr int fixedWatchdogTicks = 8;
    static constexpr std::int64_t copyJudgedFromUs = 1000;

    static constexpr std::int64_t quietMarginUs = 10000;
    static constexpr std::int64_t arrivingTimeoutUs = 100000;
    static constexpr std::int64_t settleFloorUs = 50000;

    void newLink() { frameUs = fastestBlockUs = fastestEraseUs = replyUs = 0; }
    void replyBegan (std::int64_t us) { replyUs = std::max (us, replyUs - replyUs / 8); }
    bool lineQuiet (std::int64_t nowUs, bool arriving, std::int64_t lastBeganUs, std::int64_t lastEventUs) const
    {
        if (arriving && nowUs - lastBeganUs < 2 * frameUs + arrivingTimeoutUs)
            return false;
        return nowUs - std::max (lastBeganUs, lastEventUs) >= replyUs + replyUs / 2 + quietMarginUs;
    }
    bool settled (std::int64_t nowUs, bool arriving, std::int64_t lastBeganUs, std::int64_t lastEventUs) const
    {
        return lineQuiet (nowUs, arriving, lastBeganUs, lastEventUs)
               && nowUs - std::max (lastBeganUs, lastEventUs) >= settleFloorUs;
    }
    std::int64_t replyTimeUs() const { return replyUs; }

    void frameTime (std::int64_t us) { frameUs = std::max (us, frameUs - frameUs / 8); }
    void blockAnswered (std::int64_t us) { fastestBlockUs = fastestBlockUs == 0 ? us : std::min (fastestBlockUs, us); }
    void forgetFastestBlock() { fastestBlockUs = 0; }
    void eraseAnswered (std::int64_t us) { fastestEraseUs = fastestEraseUs == 0 ? us : std::min (fastestEraseUs, us); }
    void forgetFastestErase() { fastestEraseUs = 0; }
    bool isEraseAckCopy (std::int64_t sinceEraseSentUs) const
    {
        return fastestEraseUs >= copyJudgedFromUs && sinceEraseSentUs < fastestEraseUs / 2;
    }
    bool heldEraseAckExpired (std::int64_t heldUs, std::int64_t nowUs) const { return nowUs - heldUs >= 2 * fastestEraseUs; }

    bool isAckCopy (std::int64_t sinceBlockSentUs) const
    {
        return fastestBlockUs >= copyJudgedFromUs && sinceBlockSentUs < fastestBlockUs * 4 / 5;
    }
    bool heldAckExpired (std::int64_t heldUs, std::int64_t nowUs) const { return nowUs - heldUs >= 2 * fastestBlockUs; }

    int ticksForTwice (std::int64_t us, int periodMs) const
    {
        const std::int64_t period = std::int64_t (std::max (1, periodMs)) * 1000;
        return static_cast<int> ((2 * us + period - 1) / period) + 1;
    }
    int watchdogTicks (int periodMs) const { return std::max (fixedWatchdogTicks, ticksForTwice (frameUs, periodMs)); }
    int quietTicks (int periodMs) const { return std::max (2, ticksForTwice (frameUs, periodMs)); }

    std::int64_t frameTimeUs() const { return frameUs; }
    std::int64_t fastestBlock() const { return fastestBlockUs; }

private:
    std::int64_t frameUs = 0;
    std::int64_t fastestBlockUs = 0;
    std::int64_t fastestEraseUs = 0;
    std::int64_t replyUs = 0;
};
