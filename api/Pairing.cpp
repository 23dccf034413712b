// The pairing route "/video/announce/": a device announces itself and gets its session id, or a PIN.
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "api/HttpListener.h"
#include "core/XmlText.h"
#include "core/IEvents.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "kivlib/kiv_thread.h"
#include "kivlib/kiv_xml.h"

namespace {
// Length in seconds of the stream segments, reported to the device so it can plan its buffering.
const uint32_t kVideoSegmentSeconds = 5;
const char kServerVersion[] = "1.0.3.3";
// The wait before a PIN goes out: it slows down anyone guessing at devices.
const uint32_t kPinReplyDelayMs = 1000;

// A device's name as it is kept and shown: its first 255 characters.
const size_t kMaxDeviceNameChars = 255;

// A reference is "&" + at most this many characters + ";".
const size_t kMaxReferenceChars = 10;

// The character of one reference (the text between "&" and ";"), in UTF-8; false for anything that is
// no reference to a character XML can carry.
bool DecodeReference(const std::string& reference, std::string& out) {
    static const struct {
        const char* name;
        char character;
    } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& named : kNamed) {
        if (reference == named.name) {
            out += named.character;
            return true;
        }
    }
    if (reference.size() < 2 || reference[0] != '#') return false;
    const bool hex = reference[1] == 'x' || reference[1] == 'X';
    const std::string digits = reference.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t c = 0;
    for (const char d : digits) {
        const int value = std::isdigit(static_cast<unsigned char>(d)) ? d - '0'
                          : hex && std::isxdigit(static_cast<unsigned char>(d))
                              ? std::tolower(static_cast<unsigned char>(d)) - 'a' + 10
                              : -1;
        if (value < 0) return false;
        c = c * (hex ? 16 : 10) + static_cast<uint32_t>(value);
        if (c > 0x10FFFF) return false;
    }
    if (!kivm::IsXmlChar(c)) return false;
    kivm::AppendUtf8(out, c);
    return true;
}

// The name is read as character data (see WrapNamesInCdata), so the references a device writes for
// "&", "<" and the like arrive as written: each becomes its character, once. Anything else, a lone
// "&" included, stays as it is.
std::string DecodeReferences(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '&') {
            // Only a short way ahead, so a name full of "&" costs no more than any other.
            const size_t end = std::min(text.size(), i + 2 + kMaxReferenceChars);
            const size_t semicolon =
                static_cast<size_t>(std::find(text.begin() + i + 1, text.begin() + end, ';') - text.begin());
            if (semicolon < end && DecodeReference(text.substr(i + 1, semicolon - i - 1), out)) {
                i = semicolon + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::wstring DeviceName(const std::string& announced) {
    // Wide text holds one character per element, so any cut lies between characters.
    return kivm::FromUTF8ExW(DecodeReferences(announced)).substr(0, kMaxDeviceNameChars);
}

const xml_element& RequireChild(const xml_element& parent, const char* name) {
    const xml_element* child = kiv_xml::find_child(parent, name, false);
    if (!child) throw std::runtime_error(std::string("Unable to find '") + name + "' element");
    return *child;
}

std::string AuthorizedReply(uint64_t sessionId, const std::wstring& lookupName) {
    return "<Calvoro>\n\t<SessionID>" + numstr::ToStr(sessionId, 16, 0) + "</SessionID>\n" + "<LookupName>" +
           EscapeXmlText(kivm::ToUTF8Ex(lookupName)) + "</LookupName>\n" + "<VideoSegmentLength>" +
           numstr::ToStr(kVideoSegmentSeconds, 10, 0) + "</VideoSegmentLength>\n" + "<ServerVersion>" +
           kServerVersion + "</ServerVersion>\n" + "</Calvoro>\n";
}

std::string PinReply(uint32_t pin) {
    return "<Calvoro>\n\t<ErrorMsg>Unauthorized</ErrorMsg>\n\t<PIN>" + numstr::ToStr(pin, 10, 0) + "</PIN>\n</Calvoro>\n";
}
}  // namespace

std::string WrapNamesInCdata(const std::string& body) {
    // One pass, each byte looked at a bounded number of times: the first "<Name>" pairs with the first
    // "</Name>" after it. When no "</Name>" follows a "<Name>", none follows any later one either.
    static const std::string kOpen = "<Name>";
    static const std::string kClose = "</Name>";
    std::string out;
    out.reserve(body.size());
    size_t done = 0;
    for (;;) {
        const size_t open = body.find(kOpen, done);
        if (open == std::string::npos) break;
        const size_t text = open + kOpen.size();
        const size_t close = body.find(kClose, text);
        if (close == std::string::npos) break;
        out.append(body, done, open - done);
        out += "<Name><![CDATA[";
        out.append(body, text, close - text);
        out += "]]></Name>";
        done = close + kClose.size();
    }
    out.append(body, done, std::string::npos);
    return out;
}

void HttpListener::Announce(const std::string& body) {
    try {
        const std::string rewritten = WrapNamesInCdata(body);
        kiv_xml parser;
        std::string error;
        if (!parser.parse(rewritten.data(), rewritten.size(), error))
            throw std::runtime_error(error + " - post data = " + body);
        const boost::shared_ptr<xml_element> top = parser.get_parsed_element();
        if (!top) throw std::runtime_error("Unable to find 'Announce' element");
        const xml_element& announce = RequireChild(*top, "Announce");
        const std::wstring name = DeviceName(RequireChild(announce, "Name").text);
        const std::wstring uniqueId = kivm::FromUTF8ExW(RequireChild(announce, "UniqueID").text);

        const ClientSession session = state_->GetOrCreateSession(name, uniqueId);
        if (const xml_element* type = kiv_xml::find_child(announce, "DeviceType", true))
            state_->SetDeviceType(session.SessionId, kivm::FromUTF8ExW(type->text));
        if (const xml_element* version = kiv_xml::find_child(announce, "Version", true))
            state_->SetDeviceVersion(session.SessionId, kivm::FromUTF8ExW(version->text));
        events_->ClientAnnounced(name, uniqueId);

        // Asked only now: the user may have typed the PIN while this request was under way.
        if (state_->IsSessionAuthorized(session.SessionId)) {
            SendXml(AuthorizedReply(session.SessionId, state_->GetLookupName()), 200);
        } else {
            make_delay(kPinReplyDelayMs);
            SendXml(PinReply(session.Pin), 401);
        }
    } catch (const std::exception& e) {
        SendErrorMsg(e.what(), 500);
    }
}
