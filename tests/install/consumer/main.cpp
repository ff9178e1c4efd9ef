#include <Quorvel.h>

#include <cstdio>
#include <string>

namespace {

void receive(const Quorvel::Logger::LogLevel&, const char* text, void* userData)
{
    static_cast<std::string*>(userData)->append(text);
}

} // namespace

int main()
{
    using namespace Quorvel::Logger;
    std::string received;
    QvSetConsoleLogLevel(-1);
    QvSetCallBackLogLevel(INFO, &receive, &received);
    QvOutputLogString(INFO, "hello from outside %d\n", 42);
    QvSetCallBackLogLevel(-1, nullptr, nullptr);
    std::printf("callback received: %s\n", received.c_str());
    return received == "[INFO] hello from outside 42" ? 0 : 1;
}
