#include "runtime/RMsBase.h"

#include <gtest/gtest.h>

#include <regex>

#include "runtime/RThreadBridge.h"
#include "runtime/RUiLoop.h"

using namespace DUve;
using namespace std::chrono_literals;

TEST(LogText, TimeStampFollowsEveryLineBreak) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    const std::string stamp = CRMsBase::TimeStampText(t);
    EXPECT_EQ(stamp, "2026/01/02 03:04:05 ");
    EXPECT_EQ(CRMsBase::InsertTimeStamps("\r\nAcceptor Listen : port=4000", stamp),
              "\r\n2026/01/02 03:04:05 Acceptor Listen : port=4000");
    EXPECT_EQ(CRMsBase::InsertTimeStamps("\r\na\r\nb", stamp),
              "\r\n" + stamp + "a\r\n" + stamp + "b");
    EXPECT_EQ(CRMsBase::InsertTimeStamps("no break\n here", stamp), "no break\n here");
    EXPECT_EQ(CRMsBase::InsertTimeStamps("end\r\n", stamp), "end\r\n" + stamp);
}

TEST(LogText, OutputMessageReachesTheUiThreadStamped) {
    auto loop = CRUiLoopAsio::Create();
    auto receiver = CRThreadBridge::InitializeUiThread();
    std::u16string text;
    CRThreadMessage::AddHandler<CRMsBase::CNotifyOutputMessage>(
        *receiver, [&text](const std::shared_ptr<const CRMsBase::CNotifyOutputMessage>& m) {
            text = m->sText;
        });
    CRThreadMessage::CListSender senders(receiver->GetSender());
    std::thread([&senders] {
        CRMsBase::OutputMessage(senders, "\r\n%s-> Received %d Request.",
                                std::u16string(u"127.0.0.1:5000"), 2);
    }).join();
    ASSERT_TRUE(loop->RunUntil([&] { return !text.empty(); }, 5s));
    const std::string utf8 = Utf16ToUtf8(text);
    EXPECT_TRUE(std::regex_match(
        utf8, std::regex("\r\n\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d 127\\.0\\.0\\.1:5000-> "
                         "Received 2 Request\\.")))
        << utf8;
    // The stamp is the local time of now (whatever the machine's zone).
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(utf8.substr(2, 10), CRMsBase::TimeStampText(local).substr(0, 10));
    receiver.reset();
    CRThreadBridge::ReleaseThread();
}
