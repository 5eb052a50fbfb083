#include "workflow/LinkEvent.h"

#include "messages/CustomMessage.h"

std::optional<LinkEvent> decodeLinkMessage (const juce::Message& message)
{
    const auto* m = dynamic_cast<const CCustomMessage*> (&message);
    if (m == nullptr)
        return std::nullopt;

    LinkEvent e;
    switch (m->code)
    {
        case MessageCode::ScanStarted: e.kind = LinkEvent::Kind::scanStarted; break;
        case MessageCode::DeviceConnected:
            e.kind = LinkEvent::Kind::connected;
            e.fsMode = m->param1 != 0;
            break;
        case MessageCode::DeviceNotFound: e.kind = LinkEvent::Kind::notFound; break;
        case MessageCode::PortsDenied: e.kind = LinkEvent::Kind::portsDenied; break;
        case MessageCode::MultipleDevices: e.kind = LinkEvent::Kind::severalInstruments; break;
        case MessageCode::OperationState:
            e.kind = LinkEvent::Kind::operationState;
            e.failed = m->param1 != 0;
            break;
        case MessageCode::Progress:
            e.kind = LinkEvent::Kind::progress;
            e.phase = m->param1;
            e.done = m->param2;
            e.total = m->param3;
            break;
        case MessageCode::LinkState: e.kind = LinkEvent::Kind::linkState; break;
        case MessageCode::JobFinished:
            e.kind = LinkEvent::Kind::jobFinished;
            e.failed = m->param1 != 0;
            e.failure = m->param2;
            break;
        case MessageCode::NoOutputDevice: e.kind = LinkEvent::Kind::noOutputDevice; break;
        case MessageCode::VersionInfo:
            e.kind = LinkEvent::Kind::versionInfo;
            e.record = m->data.get();
            break;
        case MessageCode::LogAppendText:
            e.kind = LinkEvent::Kind::logText;
            if (m->data != nullptr)
                e.text = juce::String (juce::CharPointer_UTF16 (
                    reinterpret_cast<const juce::CharPointer_UTF16::CharType*> (m->data->c_str())));
            break;
        default: break;
    }
    return e;
}
