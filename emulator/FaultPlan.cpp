// Fault specs (parsing and naming) and the matching of armed faults against the points the
// programmer reaches.

#include "FaultPlan.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace talvek::emu
{

namespace
{
struct NamedKind { const char* name; FaultKind kind; };
constexpr NamedKind faultKinds[] = {
    { "power-loss", FaultKind::PowerLoss },
    { "cable-pull", FaultKind::CablePull },
    { "ack-status-2", FaultKind::AckStatus2 },
    { "ack-status-3", FaultKind::AckStatus3 },
    { "refuse", FaultKind::Refuse },
    { "drop-reply", FaultKind::DropReply },
    { "corrupt-read", FaultKind::CorruptReadFrame },
    { "wrong-check", FaultKind::WrongCheckBytes },
    { "delay", FaultKind::DelayReply },
    { "duplicate-ack", FaultKind::DuplicateAck },
    { "duplicate-read", FaultKind::DuplicateReadFrame },
    { "noise", FaultKind::Noise },
    { "second-instrument", FaultKind::SecondInstrument },
    { "oversize-read", FaultKind::OversizeReadFrame },
};
struct NamedPoint { const char* name; FaultPoint point; };
constexpr NamedPoint faultPoints[] = {
    { "frame", FaultPoint::Frame },
    { "block", FaultPoint::Block },
    { "program-block", FaultPoint::ProgramBlock },
    { "read-block", FaultPoint::ReadBlock },
    { "erase", FaultPoint::Erase },
    { "bytes", FaultPoint::Bytes },
    { "test", FaultPoint::Test },
};

std::optional<std::uint64_t> number (std::string_view s)
{
    if (s.empty() || s.size() > 18)
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s)
    {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + std::uint64_t (c - '0');
    }
    return v;
}
} // namespace

const char* faultKindName (FaultKind kind)
{
    for (const auto& k : faultKinds)
        if (k.kind == kind)
            return k.name;
    return "?";
}

const char* faultPointName (FaultPoint point)
{
    for (const auto& p : faultPoints)
        if (p.point == point)
            return p.name;
    return "?";
}

std::optional<Fault> parseFault (std::string_view spec, std::string* error)
{
    auto fail = [&] (const std::string& why) -> std::optional<Fault> {
        if (error) *error = "fault \"" + std::string (spec) + "\": " + why;
        return std::nullopt;
    };
    Fault fault;
    std::string_view rest = spec;
    std::vector<std::string_view> options;
    if (const auto comma = rest.find (','); comma != std::string_view::npos)
    {
        std::string_view opts = rest.substr (comma + 1);
        rest = rest.substr (0, comma);
        while (! opts.empty())
        {
            const auto c = opts.find (',');
            options.push_back (opts.substr (0, c));
            opts = c == std::string_view::npos ? std::string_view {} : opts.substr (c + 1);
        }
    }
    std::string_view kindName = rest, where;
    if (const auto at = rest.find ('@'); at != std::string_view::npos)
    {
        kindName = rest.substr (0, at);
        where = rest.substr (at + 1);
    }
    bool found = false;
    for (const auto& k : faultKinds)
        if (kindName == k.name)
        {
            fault.kind = k.kind;
            found = true;
        }
    if (! found)
        return fail ("unknown kind \"" + std::string (kindName) + "\"");
    if (! where.empty())
    {
        const auto colon = where.find (':');
        if (colon == std::string_view::npos)
            return fail ("expected POINT:N after @");
        found = false;
        for (const auto& p : faultPoints)
            if (where.substr (0, colon) == p.name)
            {
                fault.point = p.point;
                found = true;
            }
        if (! found)
            return fail ("unknown point \"" + std::string (where.substr (0, colon)) + "\"");
        const auto n = number (where.substr (colon + 1));
        if (! n || *n == 0)
            return fail ("N must be a number from 1");
        fault.n = *n;
    }
    for (auto opt : options)
    {
        const auto eq = opt.find ('=');
        const auto key = opt.substr (0, eq);
        const auto value = eq == std::string_view::npos ? std::optional<std::uint64_t> {} : number (opt.substr (eq + 1));
        if (! value || *value > 0xFFFFFFFFull)
            return fail ("bad option \"" + std::string (opt) + "\"");
        if (key == "count")
            fault.count = std::uint32_t (*value);
        else if (key == "ms")
            fault.delayMs = std::uint32_t (*value);
        else if (key == "partial")
            fault.partialBytes = std::uint32_t (*value);
        else if (key == "every")
        {
            if (*value == 0)
                return fail ("every must be a number from 1");
            fault.every = std::uint32_t (*value);
        }
        else if (key == "after")
            fault.afterMs = std::uint32_t (*value);
        else
            return fail ("unknown option \"" + std::string (key) + "\"");
    }
    return fault;
}

std::string describeFault (const Fault& f)
{
    std::string s = std::string (faultKindName (f.kind)) + "@" + faultPointName (f.point) + ":" + std::to_string (f.n);
    if (f.count != 1)
        s += ",count=" + std::to_string (f.count);
    if (f.every != 1)
        s += ",every=" + std::to_string (f.every);
    if (f.afterMs != 0)
        s += ",after=" + std::to_string (f.afterMs);
    if (f.kind == FaultKind::DelayReply)
        s += ",ms=" + std::to_string (f.delayMs);
    if (f.kind == FaultKind::PowerLoss)
        s += ",partial=" + std::to_string (f.partialBytes);
    return s;
}

//==============================================================================================

void FaultPlan::arm (const Fault& fault) { armed.push_back ({ fault, count (fault.point) }); }

void FaultPlan::clear() { armed.clear(); }

std::optional<Fault> FaultPlan::checkTriggers (bool bytesOnly)
{
    std::optional<Fault> hit;
    for (auto& a : armed)
    {
        if (a.triggered || (bytesOnly != (a.fault.point == FaultPoint::Bytes)))
            continue;
        if (count (a.fault.point) - a.base != a.fault.n)
            continue;
        a.triggered = true;
        if (immediate (a.fault.kind))
        {
            a.done = true;
            if (! hit)
                hit = a.fault;
        }
    }
    return hit;
}

const FaultPlan::Armed* FaultPlan::take (FaultKind kind)
{
    for (auto& a : armed)
        if (a.triggered && ! a.done && a.fault.kind == kind)
        {
            if (++a.chances % std::max<std::uint32_t> (1, a.fault.every) != 0)
                continue;
            ++a.applied;
            if (a.fault.count != 0 && a.applied >= a.fault.count)
                a.done = true;
            return &a;
        }
    return nullptr;
}

} // namespace talvek::emu
