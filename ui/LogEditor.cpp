#include "ui/LogEditor.h"

CLogEditor::CLogEditor() : juce::TextEditor ("new text editor", 0) {}

static juce::String toJuceString (const std::u16string& text)
{
    return juce::String (juce::CharPointer_UTF16 (reinterpret_cast<const juce::CharPointer_UTF16::CharType*> (text.c_str())));
}

void CLogEditor::handleMessage (const juce::Message& message)
{
    const auto* m = dynamic_cast<const CCustomMessage*> (&message);
    if (m == nullptr)
        return;

    switch (m->code)
    {
        case MessageCode::LogAppendText:
            if (m->data != nullptr)
            {
                const auto text = toJuceString (*m->data);
                moveCaretToEnd (false);
                insertTextAtCaret (text);
                if (copy != nullptr)
                {
                    copy->writeText (text, false, false, nullptr);
                    copy->flush();
                }
            }
            break;
        case MessageCode::LogSetBold:
            bold = m->param1 != 0;
            rebuildFont();
            break;
        case MessageCode::LogSetTextColour:
            setColour (juce::TextEditor::textColourId, juce::Colour (static_cast<juce::uint32> (m->param1)));
            break;
        case MessageCode::LogSetFontHeight:
            fontHeight = m->param1;
            rebuildFont();
            break;
        case MessageCode::LogClear:
            clear();
            break;
        case MessageCode::LogSetFontName:
            fontName = m->data != nullptr ? toJuceString (*m->data) : juce::String();
            rebuildFont();
            break;
        default:
            break;
    }
}

void CLogEditor::rebuildFont()
{
    const auto height = static_cast<float> (fontHeight);
    const int style = bold ? juce::Font::bold : juce::Font::plain;
    setFont (fontName.isNotEmpty() ? juce::Font (fontName, height, style) : juce::Font (height, style));
}

void CLogEditor::postText (std::unique_ptr<std::u16string> text)
{
    postCustomMessage (this, MessageCode::LogAppendText, 0, 0, 0, std::move (text));
}

void CLogEditor::postBold (bool flag) { postCustomMessage (this, MessageCode::LogSetBold, flag ? 1 : 0); }

void CLogEditor::postTextColour (std::uint32_t argb)
{
    postCustomMessage (this, MessageCode::LogSetTextColour, static_cast<int> (argb));
}

void CLogEditor::postFontHeight() { postCustomMessage (this, MessageCode::LogSetFontHeight, largeFontHeight); }

void CLogEditor::postClear() { postCustomMessage (this, MessageCode::LogClear); }
