// The webhook's events and its sender.
#include <gtest/gtest.h>

#include "monitor/health_state.h"
#include "monitor/webhook.h"
#include "tests/http_peer.h"

#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using tw::CStrW;
using tw_test::HttpPeer;

constexpr long long kSeconds = 1796740188; // 2026-12-08T14:29:48Z

tw::FleetEvent Numbered(unsigned long long number)
{
    return tw::FleetEvent{number, kSeconds, tw::EventKind::Restart, 1, -1, L"app.exe", L"C:\\app.exe", L"重启"};
}

bool WaitFor(const std::function<bool()>& done, DWORD ms)
{
    for (ULONGLONG end = GetTickCount64() + ms; !done(); Sleep(20)) {
        if (GetTickCount64() > end)
            return false;
    }
    return true;
}

// The numbers of the events the peer took, as they came.
std::vector<unsigned long long> Numbers(const HttpPeer& peer)
{
    std::vector<unsigned long long> numbers;
    for (const std::string& body : peer.Bodies()) {
        size_t at = body.find("\"number\":");
        numbers.push_back(at == std::string::npos ? 0 : strtoull(body.c_str() + at + 9, nullptr, 10));
    }
    return numbers;
}

// Numbers as a receiver that drops repeats sees them; each repeat must
// follow its first copy at once (the sender never skips ahead).
std::vector<unsigned long long> Deduplicated(const std::vector<unsigned long long>& numbers)
{
    std::vector<unsigned long long> distinct;
    for (unsigned long long number : numbers) {
        if (distinct.empty() || distinct.back() != number)
            distinct.push_back(number);
    }
    return distinct;
}

std::vector<unsigned long long> Range(unsigned long long first, unsigned long long last)
{
    std::vector<unsigned long long> numbers;
    for (unsigned long long n = first; n <= last; ++n)
        numbers.push_back(n);
    return numbers;
}

struct JsonCase {
    tw::FleetEvent event;
    unsigned long long lost;
    const char* json;
};

TEST(WebhookJson, EachEventIsOneObjectWithItsFieldsEscaped)
{
    JsonCase cases[] = {
        {{1, kSeconds, tw::EventKind::TollwickStart, 0, -1, L"", L"", L"Tollwick 已启动"},
         0,
         R"({"time":"2026-12-08T14:29:48Z","machine":"PC-01","user":"ops","event":"tollwick_start",)"
         R"("program":null,"path":null,"entry":null,"text":"Tollwick 已启动","number":1})"},
        {{42, 0, tw::EventKind::Restart, 3, -1, L"say \"hi\"", L"C:\\Apps\\a\tb.exe",
          L"一\n二\r\x01 \xD800 \xDE00 \xD83D\xDE00"},
         0,
         R"({"time":"1970-01-01T00:00:00Z","machine":"PC-01","user":"ops","event":"restart",)"
         R"("program":"say \"hi\"","path":"C:\\Apps\\a\tb.exe","entry":3,)"
         R"("text":"一\n二\r\u0001 � � 😀","number":42})"},
        {{7, kSeconds, tw::EventKind::HealthFailure, 2, tw::kCheckHeartbeat, L"a", L"b", L"心跳"},
         0,
         R"({"time":"2026-12-08T14:29:48Z","machine":"PC-01","user":"ops","event":"health_failure",)"
         R"("program":"a","path":"b","entry":2,"check":"heartbeat","text":"心跳","number":7})"},
        {{9, kSeconds, tw::EventKind::Crash, 1, -1, L"a", L"b", L""},
         5,
         R"({"time":"2026-12-08T14:29:48Z","machine":"PC-01","user":"ops","event":"crash",)"
         R"("program":"a","path":"b","entry":1,"text":"","number":9,"lost":5})"},
    };
    for (const JsonCase& c : cases)
        EXPECT_STREQ(tw::WebhookJson(c.event, c.lost, L"PC-01", L"ops").c_str(), c.json);
}

class WebhookTest : public ::testing::Test {
protected:
    void TearDown() override { tw::StopWebhook(0); }

    static CStrW Machine()
    {
        wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {0};
        DWORD size = ARRAYSIZE(name);
        GetComputerNameW(name, &size);
        return CStrW(name);
    }
    static CStrW User()
    {
        wchar_t name[257] = {0};
        DWORD size = ARRAYSIZE(name);
        GetUserNameW(name, &size);
        return CStrW(name);
    }
    // Starts on a peer that is open or was (closed: it refuses).
    static bool Start(const HttpPeer& peer) { return tw::StartWebhook(CStrW(peer.Url().c_str())); }
    static void Queue(unsigned long long first, unsigned long long last)
    {
        for (unsigned long long n = first; n <= last; ++n)
            tw::QueueWebhookEvent(Numbered(n));
    }
};

TEST_F(WebhookTest, QueuedEventsArriveInOrderEachAsItsJson)
{
    for (const wchar_t* url : {L"", L"ftp://127.0.0.1/", L"http://", L"127.0.0.1:80/hook", L"file:///C:/x"})
        EXPECT_FALSE(tw::StartWebhook(url)) << tw::ToNarrow(url).c_str();
    HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    std::wstring url = peer.Url();
    url.replace(0, 4, L"HTTP");
    ASSERT_TRUE(tw::StartWebhook(url.c_str()));
    EXPECT_FALSE(tw::StartWebhook(url.c_str())) << "one sender at a time";
    Queue(1, 5);
    ASSERT_TRUE(WaitFor([&] { return peer.Bodies().size() >= 5; }, 10000));
    std::vector<std::string> bodies = peer.Bodies();
    ASSERT_EQ(bodies.size(), 5u);
    for (unsigned long long n = 1; n <= 5; ++n)
        EXPECT_EQ(bodies[n - 1], tw::WebhookJson(Numbered(n), 0, Machine(), User()).c_str());
}

// Down for 20 s: each event queued meanwhile comes once it is back, within
// the waits of 1, 2, 4, 8 and 16 s.
TEST_F(WebhookTest, EventsQueuedWhileTheReceiverIsDownArriveOnceItIsBack)
{
    HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    ASSERT_TRUE(Start(peer));
    Queue(1, 1);
    ASSERT_TRUE(WaitFor([&] { return peer.Bodies().size() == 1; }, 5000));
    peer.Close();
    ULONGLONG down = GetTickCount64();
    for (unsigned long long n = 2; n <= 5; ++n, Sleep(5000))
        Queue(n, n);
    ASSERT_TRUE(peer.Open(peer.Port()));
    EXPECT_EQ(peer.Bodies().size(), 1u);
    ASSERT_TRUE(WaitFor([&] { return Numbers(peer).back() == 5; }, 20000)) << Numbers(peer).size();
    EXPECT_LT(GetTickCount64() - down, 35000u);
    std::vector<unsigned long long> numbers = Numbers(peer);
    EXPECT_EQ(Deduplicated(numbers), Range(1, 5));
}

TEST_F(WebhookTest, AnEventAnswered500IsSentAgain)
{
    HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    peer.SetMode(HttpPeer::kAnswer500);
    ASSERT_TRUE(Start(peer));
    Queue(1, 2);
    ASSERT_TRUE(WaitFor([&] { return peer.Bodies().size() >= 2; }, 5000));
    peer.SetMode(HttpPeer::kAnswer200);
    ASSERT_TRUE(WaitFor([&] { return Numbers(peer).back() == 2; }, 10000));
    std::vector<unsigned long long> numbers = Numbers(peer);
    EXPECT_EQ(numbers[0], 1u);
    EXPECT_EQ(numbers[1], 1u);
    EXPECT_EQ(Deduplicated(numbers), Range(1, 2));
}

// 1,005 events while down: the oldest 5 are dropped, and the first event
// delivered says so.
TEST_F(WebhookTest, AFullQueueDropsTheOldestAndTheNextEventCarriesTheCount)
{
    HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    peer.Close();
    ASSERT_TRUE(Start(peer));
    Queue(1, tw::kWebhookQueueCapacity + 5);
    ASSERT_TRUE(peer.Open(peer.Port()));
    ASSERT_TRUE(WaitFor([&] { return Numbers(peer).size() >= tw::kWebhookQueueCapacity; }, 120000))
        << Numbers(peer).size();
    std::vector<std::string> bodies = peer.Bodies();
    EXPECT_EQ(bodies[0], tw::WebhookJson(Numbered(6), 5, Machine(), User()).c_str());
    EXPECT_EQ(Deduplicated(Numbers(peer)), Range(6, tw::kWebhookQueueCapacity + 5));
    EXPECT_EQ(bodies.back().find("\"lost\""), std::string::npos);
}

// The exit must never hang on a receiver that takes the request and says
// nothing: the stop keeps to its allowance, not the 10 s time-outs.
TEST_F(WebhookTest, StopKeepsToItsAllowanceWhileARequestHangs)
{
    HttpPeer peer;
    ASSERT_TRUE(peer.Open());
    peer.SetMode(HttpPeer::kSilent);
    ASSERT_TRUE(Start(peer));
    Queue(1, 1);
    ASSERT_TRUE(WaitFor([&] { return peer.Requests() == 1; }, 5000));
    ULONGLONG start = GetTickCount64();
    tw::StopWebhook(500);
    ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 450u);
    EXPECT_LT(took, 3000u);
    tw::StopWebhook(500);
    ASSERT_TRUE(Start(peer)) << "started again after a stop";
}

} // namespace
