// Pellacor's window on the Qt event loop: posts and timers arriving from
// other threads run on the user-interface thread, in order, and a timer that
// was killed on that thread never runs again. Also the log and the headless
// message and interface rules.
#include "frame/api_log.h"
#include "frame/headless.h"
#include "frame/ui_window.h"
#include "qt_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::QtApp;
using test::RunFor;
using test::WaitUntil;

TEST(UiWindow, PostsFromManyThreadsArriveInOrderOnTheUiThread) {
    QtApp();
    CUiWindow window;
    const auto uiThread = std::this_thread::get_id();
    std::map<uintptr_t, std::vector<intptr_t>> received; // UI thread only
    int offThread = 0;
    window.SetMessageHandler([&](uint32_t message, uintptr_t wparam, intptr_t lparam) {
        if (std::this_thread::get_id() != uiThread) ++offThread;
        if (message == 1025) received[wparam].push_back(lparam);
    });
    constexpr int kThreads = 4, kPosts = 300;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&window, t] {
            for (int i = 0; i < kPosts; ++i) EXPECT_EQ(window.Window()->post(window.Window()->context, 1025, t, i), 1);
        });
    }
    for (auto& p : posters) p.join();
    ASSERT_TRUE(WaitUntil([&] {
        size_t n = 0;
        for (auto& [t, v] : received) n += v.size();
        return n == kThreads * kPosts;
    }));
    EXPECT_EQ(offThread, 0);
    for (auto& [t, values] : received) {
        for (int i = 0; i < kPosts; ++i) ASSERT_EQ(values[i], i) << "thread " << t;
    }
}

struct TimerProbe {
    std::atomic<int> calls{0};
    std::atomic<int> offThread{0};
    std::thread::id uiThread = std::this_thread::get_id();
    static void Proc(void* arg, uintptr_t) {
        auto* probe = static_cast<TimerProbe*>(arg);
        if (std::this_thread::get_id() != probe->uiThread) probe->offThread++;
        probe->calls++;
    }
};

TEST(UiWindow, TimersStartedFromOtherThreadsRunOnTheUiThreadUntilKilled) {
    QtApp();
    CUiWindow window;
    const PellacorWindow* w = window.Window();
    TimerProbe probes[9];
    std::vector<std::thread> readers;
    for (uintptr_t id = 1; id <= 9; ++id) {
        readers.emplace_back([w, id, &probes] {
            // A reader restarts its end-of-frame timer on every byte.
            for (int i = 0; i < 50; ++i) w->set_timer(w->context, id, 5, &TimerProbe::Proc, &probes[id - 1]);
        });
    }
    for (auto& r : readers) r.join();
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& p : probes) {
            if (p.calls < 2) return false;
        }
        return true;
    }));
    EXPECT_EQ(window.RunningTimers(), 9);

    // Killed from a reader thread, the timer stops once the request reached
    // the user-interface thread; killed on it, no call starts afterwards.
    std::thread([w] { w->kill_timer(w->context, 1); }).join();
    for (uintptr_t id = 2; id <= 9; ++id) EXPECT_EQ(w->kill_timer(w->context, id), 1);
    ASSERT_TRUE(WaitUntil([&] { return window.RunningTimers() == 0; }));
    int before[9];
    for (int i = 0; i < 9; ++i) before[i] = probes[i].calls;
    RunFor(60ms);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(probes[i].calls, before[i]) << "timer " << i + 1;
        EXPECT_EQ(probes[i].offThread, 0);
    }
    EXPECT_EQ(w->kill_timer(w->context, 42), 1); // unknown ids are fine
    EXPECT_EQ(w->set_timer(w->context, 1, 5, nullptr, nullptr), 0);
}

TEST(UiWindow, KillFromTheUiThreadStopsATickAlreadyQueued) {
    QtApp();
    CUiWindow window;
    const PellacorWindow* w = window.Window();
    TimerProbe probe;
    // A proc that kills its own timer, as the RTU end-of-frame handling does.
    struct SelfKill {
        const PellacorWindow* w;
        int calls = 0;
        static void Proc(void* arg, uintptr_t id) {
            auto* self = static_cast<SelfKill*>(arg);
            ++self->calls;
            self->w->kill_timer(self->w->context, id);
        }
    } selfKill{w};
    w->set_timer(w->context, 3, 1, &SelfKill::Proc, &selfKill);
    ASSERT_TRUE(WaitUntil([&] { return selfKill.calls == 1; }));
    RunFor(30ms);
    EXPECT_EQ(selfKill.calls, 1);
    // Restarting after the kill runs it again.
    w->set_timer(w->context, 3, 1, &TimerProbe::Proc, &probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.calls >= 1; }));
    w->kill_timer(w->context, 3);
}

TEST(ApiLog, KeepsTheLast500LinesAndStampsInEnglish) {
    CApiLog log;
    std::vector<std::string> heard;
    log.SetListener([&](const std::string& line) { heard.push_back(line); });
    for (int i = 1; i <= 501; ++i) log.AddLogLine("line " + std::to_string(i));
    ASSERT_EQ(log.Lines().size(), 500u);
    EXPECT_EQ(log.Lines().front(), "line 2");
    EXPECT_EQ(log.Lines().back(), "line 501");
    EXPECT_EQ(heard.size(), 501u);

    std::tm t{};
    t.tm_mday = 6;
    t.tm_mon = 11;
    t.tm_year = 126;
    t.tm_hour = 8;
    t.tm_min = 15;
    EXPECT_EQ(CApiLog::FormatStamp(t), "06-Dec-2026 08:15:00 ");
    log.AddLogLine("IOPCServer->AddGroup()", 1);
    const std::string stamped = log.Lines().back();
    ASSERT_EQ(stamped.size(), 21u + 22u);
    EXPECT_EQ(stamped.substr(2, 1), "-");
    EXPECT_EQ(stamped.substr(21), "IOPCServer->AddGroup()");
}

TEST(Headless, MessagesAreOneLineAndTheInterfaceIsChosenInOnePlace) {
    EXPECT_EQ(CStderrMessages::OneLine("GetMalloc failed\n"), "GetMalloc failed");
    EXPECT_EQ(CStderrMessages::OneLine("a\r\nb"), "a  b");

    struct Case {
        bool requested, built, usable;
        bool headless, probed;
        std::string notice;
    } cases[] = {
        {true, true, true, true, false, ""},
        {false, false, true, true, false, "the windowed interface is not available in this build: running headless"},
        {false, true, false, true, true, "no display found: running headless"},
        {false, true, true, false, true, ""},
    };
    for (const Case& c : cases) {
        bool probed = false;
        const InterfaceChoice choice = ChooseInterface(c.requested, c.built, [&] {
            probed = true;
            return DisplayProbe{c.usable, "", c.usable ? "" : "no display found"};
        });
        EXPECT_EQ(choice.headless, c.headless) << c.requested << c.built << c.usable;
        EXPECT_EQ(probed, c.probed) << c.requested << c.built << c.usable;
        EXPECT_EQ(choice.notice, c.notice);
    }
}

// The probe never lets Qt meet a display it cannot open.
TEST(Headless, DisplayProbeAnswersWithoutQt) {
    struct Case {
        DisplayEnvironment environment;
        bool usable;
        std::string qpaPlatform, why;
    } cases[] = {
        {{"offscreen", "", "", "", false}, true, "", ""},
        {{"minimal", ":4242", "", "", false}, true, "", ""},
        {{"", "", "", "", false}, false, "", "no display found"},
        {{"", ":4242", "", "", false}, false, "", "the X display :4242 cannot be opened"},
        {{"xcb", "", "", "", false}, false, "", "no display found"},
        {{"", "", "wayland-0", "/nonexistent", false}, false, "", "Qt has no Wayland platform"},
        {{"", "", "wayland-0", "/nonexistent", true}, false, "", "the Wayland display wayland-0 cannot be opened"},
        {{"wayland", ":4242", "", "", true}, false, "", "no display found"},
        {{"vnc", "", "", "", false}, true, "", ""},
    };
    for (const Case& c : cases) {
        const DisplayProbe probe = ProbeDisplay(c.environment);
        EndDisplayProbe();
        EXPECT_EQ(probe.usable, c.usable) << c.environment.qpaPlatform << "|" << c.environment.display;
        EXPECT_EQ(probe.qpaPlatform, c.qpaPlatform);
        EXPECT_EQ(probe.why, c.why);
    }
}

TEST(Headless, SigtermQuitsTheEventLoop) {
    QtApp();
    CSignalQuit quit;
    ASSERT_TRUE(quit.Ok());
    QTimer::singleShot(0, [] { ::kill(::getpid(), SIGTERM); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(3); });
    guard.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(quit.Received(), SIGTERM);
}

} // namespace
} // namespace quorvane
