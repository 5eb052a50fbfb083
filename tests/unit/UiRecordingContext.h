#pragma once

// A software renderer that also records what it is asked to draw: each glyph with its font,
// colour and position, and each filled rectangle with its colour. Components paint into it
// through their real paint code; the tests then compare the record with what the framework
// lays out for the expected text and rectangle.
#include <juce_gui_basics/juce_gui_basics.h>

#include <vector>

class RecordingContext : public juce::LowLevelGraphicsSoftwareRenderer
{
public:
    struct Glyph
    {
        int number;
        juce::Font font;
        juce::Colour colour;
        juce::Point<float> position; // glyph origin in image coordinates
        juce::AffineTransform transform;
    };

    struct Fill
    {
        juce::Rectangle<float> area; // image coordinates
        juce::Colour colour;
    };

    explicit RecordingContext (const juce::Image& image) : juce::LowLevelGraphicsSoftwareRenderer (image) {}

    void drawGlyph (int number, const juce::AffineTransform& t) override
    {
        const auto full = stack->transform.getTransformWith (t);
        glyphs.push_back ({ number, stack->font, stack->fillType.colour,
                            juce::Point<float> (0.0f, 0.0f).transformedBy (full), full });
        juce::LowLevelGraphicsSoftwareRenderer::drawGlyph (number, t);
    }

    void fillRect (const juce::Rectangle<float>& r) override
    {
        fills.push_back ({ r.transformedBy (stack->transform.getTransform()), stack->fillType.colour });
        juce::LowLevelGraphicsSoftwareRenderer::fillRect (r);
    }

    void fillRect (const juce::Rectangle<int>& r, bool replace) override
    {
        fills.push_back ({ r.toFloat().transformedBy (stack->transform.getTransform()), stack->fillType.colour });
        juce::LowLevelGraphicsSoftwareRenderer::fillRect (r, replace);
    }

    std::vector<Glyph> glyphs;
    std::vector<Fill> fills;
};

// Paints `component` as it would appear on screen (its own paint and its visible children)
// into a transparent image of its size, recording as it goes.
struct Recording
{
    explicit Recording (juce::Component& component)
        : image (juce::Image::ARGB, juce::jmax (1, component.getWidth()), juce::jmax (1, component.getHeight()), true),
          context (image)
    {
        juce::Graphics g (context);
        component.paintEntireComponent (g, true);
    }

    juce::Image image;
    RecordingContext context;
};

// What the framework draws for `text` laid out by `arrange` (one of GlyphArrangement's layout
// calls), recorded the same way.
template <typename Arrange>
std::vector<RecordingContext::Glyph> recordArrangement (Arrange&& arrange)
{
    juce::GlyphArrangement arrangement;
    arrange (arrangement);
    juce::Image scratch (juce::Image::ARGB, 1, 1, true);
    RecordingContext context (scratch);
    juce::Graphics g (context);
    arrangement.draw (g);
    return context.glyphs;
}

// Graphics::drawFittedText's layout of `text` in `area`, centred.
inline std::vector<RecordingContext::Glyph> expectedFittedGlyphs (const juce::Font& font, const juce::String& text,
                                                                  juce::Rectangle<int> area, int maxLines)
{
    return recordArrangement ([&] (juce::GlyphArrangement& a) {
        a.addFittedText (font, text, (float) area.getX(), (float) area.getY(), (float) area.getWidth(),
                         (float) area.getHeight(), juce::Justification::centred, maxLines);
    });
}

// Graphics::drawText's layout of one line of `text` centred in `area`.
inline std::vector<RecordingContext::Glyph> expectedCentredLine (const juce::Font& font, const juce::String& text,
                                                                 juce::Rectangle<int> area)
{
    return recordArrangement ([&] (juce::GlyphArrangement& a) {
        a.addLineOfText (font, text, 0.0f, 0.0f);
        a.justifyGlyphs (0, a.getNumGlyphs(), (float) area.getX(), (float) area.getY(), (float) area.getWidth(),
                         (float) area.getHeight(), juce::Justification::centred);
    });
}

inline std::vector<int> glyphNumbersOf (const std::vector<RecordingContext::Glyph>& glyphs, size_t from = 0,
                                        size_t count = (size_t) -1)
{
    std::vector<int> numbers;
    for (size_t i = from; i < glyphs.size() && i - from < count; ++i)
        numbers.push_back (glyphs[i].number);
    return numbers;
}

// Glyph numbers of `text` in `font`, whitespace skipped.
inline std::vector<int> glyphNumbersOf (const juce::Font& font, const juce::String& text)
{
    return glyphNumbersOf (recordArrangement ([&] (juce::GlyphArrangement& a) { a.addLineOfText (font, text, 0.0f, 0.0f); }));
}
