// Test helper: a UI loop on the test thread with a receiver that collects every log
// line and acceptor report sent to it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/RMsBase.h"
#include "runtime/RThreadBridge.h"
#include "runtime/RUiLoop.h"

namespace PalvorTest {

class CLogCapture {
public:
    CLogCapture() : loop(DUve::CRUiLoopAsio::Create()), receiver(DUve::CRThreadBridge::InitializeUiThread()) {
        DUve::CRThreadMessage::AddHandler<DUve::CRMsBase::CNotifyOutputMessage>(
            *receiver, [this](const std::shared_ptr<const DUve::CRMsBase::CNotifyOutputMessage>& m) {
                lines.push_back(DUve::Utf16ToUtf8(m->sText));
            });
    }
    ~CLogCapture() {
        receiver.reset();
        DUve::CRThreadBridge::ReleaseThread();
    }
    DUve::CRThreadMessage::CListSender Senders() const {
        return DUve::CRThreadMessage::CListSender(receiver->GetSender());
    }
    // Pumps the loop until some line contains `text`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return loop->RunUntil([&] { return Count(text) > 0; }, timeout);
    }
    // Pumps the loop until `n` lines contain `text`.
    bool WaitForCount(const std::string& text, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return loop->RunUntil([&] { return Count(text) >= n; }, timeout) && Count(text) == n;
    }
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos) ++n;
        return n;
    }

    std::shared_ptr<DUve::CRUiLoopAsio> loop;
    DUve::CRThreadBridge::CReceiverPtr receiver;
    std::vector<std::string> lines;
};

}  // namespace PalvorTest
