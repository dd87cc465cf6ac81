#include "runtime/RMsBase.h"

#include <chrono>

namespace DUve::CRMsBase {

std::string TimeStampText(const std::tm& when) {
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S ", &when);
    return std::string(buf, n);
}

std::string InsertTimeStamps(const std::string& message, const std::string& stamp) {
    static constexpr std::string_view kBreak = "\r\n";
    std::string out;
    out.reserve(message.size() + stamp.size());
    size_t from = 0;
    for (size_t pos = message.find(kBreak); pos != std::string::npos;
         pos = message.find(kBreak, from)) {
        out.append(message, from, pos + kBreak.size() - from);
        out += stamp;
        from = pos + kBreak.size();
    }
    out.append(message, from, std::string::npos);
    return out;
}

std::string StampNow(const std::string& message) {
    if (message.find("\r\n") == std::string::npos) return message;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return InsertTimeStamps(message, TimeStampText(local));
}

}  // namespace DUve::CRMsBase
