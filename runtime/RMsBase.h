// Log output of the services: a finished, time-stamped log text travels as a
// CNotifyOutputMessage to the receivers in a service's sender list (the window's log pane
// or standard output in headless mode).
#pragma once

#include <ctime>
#include <string>

#include "runtime/RString.h"
#include "runtime/RThreadMessage.h"

namespace DUve::CRMsBase {

class CNotifyOutputMessage : public CRThreadMessage::CMessage {
public:
    explicit CNotifyOutputMessage(std::u16string text) : sText(std::move(text)) {}
    std::u16string sText;
};

// "%Y/%m/%d %H:%M:%S " of the given broken-down time.
std::string TimeStampText(const std::tm& when);

// Puts `stamp` after every "\r\n" of `message`.
std::string InsertTimeStamps(const std::string& message, const std::string& stamp);

// The message with the current local time after every line break.
std::string StampNow(const std::string& message);

// Formats (printf-style, UTF-8 or UTF-16 string arguments alike), stamps and sends the
// text to every member of `senders`. Format strings begin with "\r\n". With no member
// nothing is formatted: a line that nobody receives costs nothing.
template <class... Args>
void OutputMessage(const CRThreadMessage::CListSender& senders, const char* fmt, Args&&... args) {
    if (senders.empty()) return;
    const std::string text = StampNow(Format(fmt, std::forward<Args>(args)...));
    senders.Send(std::make_shared<const CNotifyOutputMessage>(Utf8ToUtf16(text)));
}

}  // namespace DUve::CRMsBase
