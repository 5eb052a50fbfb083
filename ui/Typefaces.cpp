#include "ui/Typefaces.h"

#include <unordered_map>

namespace typefaces
{
namespace
{
// A private-use character of the last plane: no typeface the tool meets has a glyph for it, so
// its shape is the typeface's missing-glyph shape.
constexpr juce::juce_wchar surelyMissing = 0x10fffd;

// Characters the fallback must have: a few of the two-devices warning's.
const char* const chineseSample = "\xe6\xa3\x80\xe6\xb5\x8b\xe4\xb8\xa4\xe5\x8f\xb0\xe8\xae\xbe\xe5\xa4\x87";

juce::Path outlineOf (juce::Typeface& typeface, juce::juce_wchar c)
{
    juce::Array<int> glyphs;
    juce::Array<float> offsets;
    typeface.getGlyphPositions (juce::String::charToString (c), glyphs, offsets);
    juce::Path path;
    if (! glyphs.isEmpty())
        typeface.getOutlineForGlyph (glyphs.getFirst(), path);
    return path;
}

bool hasGlyph (juce::Typeface& typeface, const juce::Path& missing, juce::juce_wchar c)
{
    if (juce::CharacterFunctions::isWhitespace (c))
        return true;
    // An empty outline for a visible character is a missing glyph too (some typefaces draw
    // nothing for what they lack).
    const auto outline = outlineOf (typeface, c);
    return ! outline.isEmpty() && outline != missing;
}

bool typefaceDraws (juce::Typeface& typeface, const juce::String& text)
{
    const auto missing = outlineOf (typeface, surelyMissing);
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
        if (! hasGlyph (typeface, missing, p.getAndAdvance()))
            return false;
    return true;
}

juce::StringArray preferredNames()
{
   #if JUCE_WINDOWS
    return { "Microsoft YaHei UI", "Microsoft YaHei", "SimHei", "SimSun", "Noto Sans SC" };
   #else
    // The framework reads .ttf and .otf files only, not font collections (.ttc), which rules
    // out most Chinese fonts of Debian; Droid Sans Fallback is a plain .ttf.
    return { "Droid Sans Fallback", "Noto Sans SC", "Noto Sans CJK SC", "WenQuanYi Micro Hei" };
   #endif
}

juce::Typeface::Ptr findChineseTypeface()
{
    const auto installed = juce::Font::findAllTypefaceNames();
    juce::StringArray candidates;
    for (const auto& preferred : preferredNames())
        if (installed.contains (preferred))
            candidates.add (preferred);
    candidates.addArray (installed);
    const auto sample = juce::String (juce::CharPointer_UTF8 (chineseSample));
    for (const auto& name : candidates)
    {
        auto typeface = juce::Typeface::createSystemTypefaceFor (juce::Font (name, 15.0f, juce::Font::plain));
        if (typeface != nullptr && typefaceDraws (*typeface, sample))
            return typeface;
    }
    return nullptr;
}

// Each character from the primary typeface when it has it, else from the fallback, whose
// glyph numbers carry a flag.
class FallbackTypeface final : public juce::Typeface
{
public:
    FallbackTypeface (juce::Typeface::Ptr primaryIn, juce::Typeface::Ptr fallbackIn)
        : juce::Typeface (primaryIn->getName(), primaryIn->getStyle()),
          primary (std::move (primaryIn)),
          fallback (std::move (fallbackIn)),
          missing (outlineOf (*primary, surelyMissing))
    {
    }

    float getAscent() const override { return primary->getAscent(); }
    float getDescent() const override { return primary->getDescent(); }
    float getHeightToPointsFactor() const override { return primary->getHeightToPointsFactor(); }
    bool isHinted() const override { return primary->isHinted(); }

    float getStringWidth (const juce::String& text) override
    {
        juce::Array<int> glyphs;
        juce::Array<float> offsets;
        getGlyphPositions (text, glyphs, offsets);
        return offsets.isEmpty() ? 0.0f : offsets.getLast();
    }

    void getGlyphPositions (const juce::String& text, juce::Array<int>& glyphs, juce::Array<float>& xOffsets) override
    {
        // Runs of characters that one typeface draws, so kerning within a run is kept.
        xOffsets.add (0.0f);
        float x = 0.0f;
        auto p = text.getCharPointer();
        while (! p.isEmpty())
        {
            const bool fromPrimary = primaryHas (*p);
            auto end = p;
            while (! end.isEmpty() && primaryHas (*end) == fromPrimary)
                ++end;
            const juce::String run (p, end);
            p = end;

            juce::Array<int> runGlyphs;
            juce::Array<float> runOffsets;
            (fromPrimary ? primary : fallback)->getGlyphPositions (run, runGlyphs, runOffsets);
            for (int i = 0; i < runGlyphs.size(); ++i)
            {
                glyphs.add (fromPrimary ? runGlyphs[i] : (runGlyphs[i] | fallbackFlag));
                xOffsets.add (x + runOffsets[i + 1]);
            }
            if (! runOffsets.isEmpty())
                x += runOffsets.getLast();
        }
    }

    bool getOutlineForGlyph (int glyph, juce::Path& path) override
    {
        return (glyph & fallbackFlag) != 0 ? fallback->getOutlineForGlyph (glyph & ~fallbackFlag, path)
                                           : primary->getOutlineForGlyph (glyph, path);
    }

    juce::EdgeTable* getEdgeTableForGlyph (int glyph, const juce::AffineTransform& transform, float height) override
    {
        return (glyph & fallbackFlag) != 0 ? fallback->getEdgeTableForGlyph (glyph & ~fallbackFlag, transform, height)
                                           : primary->getEdgeTableForGlyph (glyph, transform, height);
    }

private:
    static constexpr int fallbackFlag = 0x40000000; // above every character code and glyph index

    bool primaryHas (juce::juce_wchar c)
    {
        // Text is measured on any thread that asks for a width.
        const juce::ScopedLock lock (known);
        auto found = primaryGlyphs.find (c);
        if (found == primaryGlyphs.end())
            found = primaryGlyphs.emplace (c, hasGlyph (*primary, missing, c)).first;
        return found->second;
    }

    const juce::Typeface::Ptr primary;
    const juce::Typeface::Ptr fallback;
    const juce::Path missing;
    juce::CriticalSection known;
    std::unordered_map<juce::juce_wchar, bool> primaryGlyphs;
};
} // namespace

bool draws (const juce::Font& font, const juce::String& text)
{
    auto typeface = font.getTypefacePtr();
    return typeface != nullptr && typefaceDraws (*typeface, text);
}

juce::Typeface::Ptr withFallback (juce::Typeface::Ptr primary)
{
    if (primary == nullptr)
        return primary;
    // Looking through the installed typefaces loads each of them: once per run.
    static const juce::Typeface::Ptr chinese = findChineseTypeface();
    if (chinese == nullptr || typefaceDraws (*primary, juce::String (juce::CharPointer_UTF8 (chineseSample))))
        return primary;
    return new FallbackTypeface (primary, chinese);
}
} // namespace typefaces
