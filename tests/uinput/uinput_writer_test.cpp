// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/uinput/keyboard_uinput.h"
#include "platform/uinput/uinput_device.h"
#include "platform/uinput/uinput_events.h"
#include "uinput/uinput_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using platform::RuntimeError;
using platform::uinput::EventGroup;
using platform::uinput::EventWriter;
using platform::uinput::Pacing;
using platform::uinput::UinputKeyboard;
using platform::uinput::UniqueFd;
using uinput_test::render;

namespace {

constexpr Pacing kNoPacing{0ns, 0};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
    explicit Pipe(int flags = 0)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | flags) != 0)
            throw std::runtime_error(std::strerror(errno));
        read = UniqueFd(fds[0]);
        write = UniqueFd(fds[1]);
    }
};

// Everything the pipe holds now (the read end must be non-blocking) or,
// on a blocking one, up to the end of the stream.
std::vector<input_event> drain(int fd)
{
    std::vector<std::byte> bytes;
    std::byte buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            bytes.insert(bytes.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    EXPECT_EQ(bytes.size() % sizeof(input_event), 0u) << "a torn event record";
    std::vector<input_event> events(bytes.size() / sizeof(input_event));
    if (!events.empty())
        std::memcpy(events.data(), bytes.data(), events.size() * sizeof(input_event));
    return events;
}

input_event key(std::uint16_t code, std::int32_t value)
{
    input_event e{};
    e.type = EV_KEY;
    e.code = code;
    e.value = value;
    return e;
}

input_event syn()
{
    input_event e{};
    e.type = EV_SYN;
    e.code = SYN_REPORT;
    return e;
}

EventGroup shiftedA()
{
    return {key(KEY_LEFTSHIFT, 1), syn(), key(KEY_A, 1), syn(), key(KEY_A, 0), syn(), key(KEY_LEFTSHIFT, 0), syn()};
}

EventGroup plainA()
{
    return {key(KEY_A, 1), syn(), key(KEY_A, 0), syn()};
}

std::string flat(const std::vector<EventGroup> &groups)
{
    std::vector<input_event> all;
    for (const auto &g : groups)
        all.insert(all.end(), g.begin(), g.end());
    return render(all);
}

TEST(UinputEventWriter, ResumesShortWrites)
{
    Pipe pipe;
    int calls = 0;
    // At most 7 bytes per call: every record is split across calls.
    EventWriter writer(pipe.write.get(), kNoPacing, 1s, [&](int fd, const void *buf, std::size_t count) {
        ++calls;
        return ::write(fd, buf, std::min<std::size_t>(count, 7));
    });
    const std::vector<EventGroup> groups{plainA(), shiftedA(), plainA()};
    writer.write(groups);
    pipe.write = UniqueFd();
    EXPECT_EQ(render(drain(pipe.read.get())), flat(groups));
    EXPECT_GE(calls, static_cast<int>((16 * sizeof(input_event) + 6) / 7));
}

TEST(UinputEventWriter, WaitsWhileThePipeIsFullAndLosesNothing)
{
    Pipe pipe(O_NONBLOCK);
    ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(::fcntl(pipe.read.get(), F_SETFL, 0), 0); // the reader blocks

    std::atomic<bool> sawFull{false};
    EventWriter writer(pipe.write.get(), kNoPacing, 10s, [&](int fd, const void *buf, std::size_t count) {
        const ssize_t n = ::write(fd, buf, count);
        if (n < 0 && errno == EAGAIN)
            sawFull = true;
        return n;
    });
    std::vector<EventGroup> groups;
    for (int i = 0; i < 1000; ++i)
        groups.push_back(i % 3 ? plainA() : shiftedA());

    std::vector<input_event> received;
    std::thread reader([&] {
        // Start draining only once the writer has met a full pipe, so that
        // the waiting path is always taken.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!sawFull && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        received = drain(pipe.read.get());
    });
    EXPECT_NO_THROW(writer.write(groups));
    pipe.write = UniqueFd();
    reader.join();
    EXPECT_TRUE(sawFull);
    EXPECT_EQ(render(received), flat(groups));
}

TEST(UinputEventWriter, GivesUpOnAStalledReaderWithWholeGroupsOnly)
{
    Pipe pipe(O_NONBLOCK);
    ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 4096), 0);
    EventWriter writer(pipe.write.get(), kNoPacing, 20ms);
    const std::vector<EventGroup> groups(200, shiftedA());
    try {
        writer.write(groups);
        FAIL() << "a pipe nobody reads took everything";
    } catch (const RuntimeError &e) {
        EXPECT_EQ(e.number(), platform::err::KeyboardFailed);
        EXPECT_TRUE(e.description().contains(QLatin1String("accepted no keystrokes"))) << e.what();
    }
    const auto events = drain(pipe.read.get());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.size() % shiftedA().size(), 0u) << "a chord was cut: " << render(events);
}

TEST(UinputEventWriter, ReportsTheSystemErrorWhenTheReaderIsGone)
{
    struct IgnoreSigpipe {
        void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
        ~IgnoreSigpipe() { std::signal(SIGPIPE, old); }
    } ignore;
    Pipe pipe;
    pipe.read = UniqueFd();
    EventWriter writer(pipe.write.get(), kNoPacing);
    const std::vector<EventGroup> groups{plainA()};
    try {
        writer.write(groups);
        FAIL() << "wrote into a pipe without reader";
    } catch (const RuntimeError &e) {
        EXPECT_EQ(e.number(), platform::err::KeyboardFailed);
        EXPECT_TRUE(e.description().contains(QString::fromLocal8Bit(std::strerror(EPIPE)))) << e.what();
    }
}

TEST(UinputEventWriter, ReleasesWhatItPressedWhenAGroupFails)
{
    struct Case {
        const char *what;
        std::size_t bytesBeforeFailure;
        const char *expected;
    } cases[] = {
        {"Shift went down", 2 * sizeof(input_event), "+42 ; -42 ;"},
        {"Shift and A went down", 3 * sizeof(input_event), "+42 ; +30 -30 -42 ;"},
        {"A came up, Shift did not", 6 * sizeof(input_event), "+42 ; +30 ; -30 ; -42 ;"},
        {"nothing went down", 0, ""},
    };
    for (const Case &c : cases) {
        Pipe pipe(O_NONBLOCK);
        int call = 0;
        EventWriter writer(pipe.write.get(), kNoPacing, 1s, [&](int fd, const void *buf, std::size_t count) -> ssize_t {
            switch (call++) {
            case 0:
                if (c.bytesBeforeFailure > 0)
                    return ::write(fd, buf, std::min(count, c.bytesBeforeFailure));
                [[fallthrough]];
            case 1:
                errno = EIO;
                return -1;
            default:
                return ::write(fd, buf, count);
            }
        });
        const std::vector<EventGroup> groups{shiftedA(), plainA()};
        EXPECT_THROW(writer.write(groups), RuntimeError) << c.what;
        EXPECT_EQ(render(drain(pipe.read.get())), c.expected) << c.what;
    }
}

TEST(UinputKeyboard, TypesThroughTheDescriptor)
{
    Pipe pipe(O_NONBLOCK);
    const int readFd = pipe.read.get();
    UinputKeyboard keyboard(std::move(pipe.write), UinputKeyboard::Target::Stream, uinput_test::layout("us"), kNoPacing);
    keyboard.send(u"aB\r\n\x1D");
    EXPECT_EQ(render(drain(readFd)), "+30 ; -30 ; +42 ; +48 ; -48 ; -42 ; +28 ; -28 ; +29 ; +27 ; -27 ; -29 ;");
    EXPECT_EQ(keyboard.name(), QLatin1String("uinput"));
}

TEST(UinputKeyboard, WritesNothingWhenAnyCharacterIsMissing)
{
    Pipe pipe(O_NONBLOCK);
    const int readFd = pipe.read.get();
    UinputKeyboard keyboard(std::move(pipe.write), UinputKeyboard::Target::Stream, uinput_test::layout("us"), kNoPacing);
    const char16_t *const bursts[] = {u"12345\u00C4", u"\u4E2D", u"ok\r\u20AC\r"};
    for (const char16_t *burst : bursts) {
        EXPECT_THROW(keyboard.send(QString::fromUtf16(burst)), platform::UntypableError);
        EXPECT_EQ(render(drain(readFd)), "");
    }
    keyboard.send(u"z");
    EXPECT_EQ(render(drain(readFd)), "+44 ; -44 ;");
}

TEST(UinputKeyboard, FollowsTheCapsLockLightItIsSent)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd ours(fds[0]);
    UinputKeyboard keyboard(UniqueFd(fds[1]), UinputKeyboard::Target::Stream, uinput_test::layout("us"), kNoPacing);
    auto light = [&](std::vector<int> values) {
        std::vector<input_event> events;
        for (const int v : values) {
            input_event e{};
            e.type = EV_LED;
            e.code = LED_CAPSL;
            e.value = v;
            events.push_back(e);
            events.push_back(syn());
        }
        const auto bytes = static_cast<ssize_t>(events.size() * sizeof(input_event));
        ASSERT_EQ(::write(ours.get(), events.data(), static_cast<std::size_t>(bytes)), bytes);
    };
    const struct {
        std::vector<int> lights; // reported before the burst, oldest first
        const char *events;      // for "a"
    } steps[] = {
        {{}, "+30 ; -30 ;"},
        {{1}, "+42 ; +30 ; -30 ; -42 ;"},
        {{}, "+42 ; +30 ; -30 ; -42 ;"}, // still on
        {{0, 1, 0}, "+30 ; -30 ;"},      // the last report counts
        {{1, 1}, "+42 ; +30 ; -30 ; -42 ;"},
    };
    int i = 0;
    for (const auto &step : steps) {
        light(step.lights);
        keyboard.send(u"a");
        EXPECT_EQ(render(drain(ours.get())), step.events) << "step " << i;
        ++i;
    }
}

// The event node the kernel made for our virtual keyboard, opened for reading.
int openOurEventNode()
{
    namespace fs = std::filesystem;
    for (const auto &entry : fs::directory_iterator("/sys/class/input")) {
        const std::string node = entry.path().filename().string();
        if (!node.starts_with("event"))
            continue;
        std::ifstream nameFile(entry.path() / "device" / "name");
        std::string name;
        std::getline(nameFile, name);
        if (name == "ScnFerry virtual keyboard")
            return ::open(("/dev/input/" + node).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    return -1;
}

// Only where this machine has uinput and lets us write it: what the device
// really emitted, read back from its event node, not what we meant to write.
TEST(UinputDevice, TypesThroughARealDevice)
{
    if (::access("/dev/uinput", W_OK) != 0)
        GTEST_SKIP() << "/dev/uinput is missing or not writable here";
    QString why;
    auto keyboard = platform::createUinputKeyboard(&why);
    ASSERT_NE(keyboard, nullptr) << why.toStdString();
    const int fd = openOurEventNode();
    ASSERT_GE(fd, 0) << "no event node named \"ScnFerry virtual keyboard\"";
    keyboard->send(u"ab\r");

    // Presses and releases of A, B and Return, in order; nothing else pressed.
    const std::vector<std::pair<int, int>> expected = {
        {KEY_A, 1}, {KEY_A, 0}, {KEY_B, 1}, {KEY_B, 0}, {KEY_ENTER, 1}, {KEY_ENTER, 0}};
    std::vector<std::pair<int, int>> got;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        input_event ev{};
        while (::read(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev)) {
            if (ev.type == EV_KEY && ev.value != 2)
                got.emplace_back(ev.code, ev.value);
        }
    }
    ::close(fd);
    EXPECT_EQ(got, expected);
}

TEST(UinputDevice, ExplainsWhatToDoWhenUnusable)
{
    if (::access("/dev/uinput", W_OK) == 0)
        GTEST_SKIP() << "/dev/uinput is usable here";
    QString why;
    EXPECT_EQ(platform::createUinputKeyboard(&why), nullptr);
    const bool missing = ::access("/dev/uinput", F_OK) != 0;
    EXPECT_TRUE(why.contains(missing ? QLatin1String("modprobe uinput") : QLatin1String("udev rule")))
        << why.toStdString();
}

} // namespace

// A stop from another thread ends a long paced burst between keystrokes:
// send() returns early and every key that went down came up.
TEST(UinputKeyboard, StopsBetweenKeystrokesWhenAskedFromAnotherThread)
{
    Pipe pipe(O_NONBLOCK);
    const int readFd = pipe.read.get();
    UinputKeyboard keyboard(std::move(pipe.write), UinputKeyboard::Target::Stream, uinput_test::layout("us"),
                            platform::uinput::kDevicePacing);
    QString burst;
    for (int i = 0; i < 20000; ++i)
        burst += i % 2 ? QLatin1Char('A') : QLatin1Char('b'); // Shift chords and plain keys
    std::atomic<bool> returned{false};
    std::thread typing([&] {
        keyboard.send(burst);
        returned = true;
    });
    std::vector<input_event> events;
    // Not all of it yet: a few hundred events in, well before the end.
    while (events.size() < 400) {
        const auto more = drain(readFd);
        events.insert(events.end(), more.begin(), more.end());
        std::this_thread::yield();
    }
    keyboard.requestStop();
    typing.join();
    EXPECT_TRUE(returned);
    const auto rest = drain(readFd);
    events.insert(events.end(), rest.begin(), rest.end());
    std::map<std::uint16_t, int> down;
    for (const input_event &e : events) {
        if (e.type == EV_KEY)
            down[e.code] += e.value ? 1 : -1;
    }
    for (const auto &[code, count] : down)
        EXPECT_EQ(count, 0) << "key " << code << " left pressed";
    EXPECT_LT(events.size(), std::size_t(20000) * 5) << "the whole burst was typed";
    keyboard.send(u"z"); // and later sends return at once
    EXPECT_EQ(render(drain(readFd)), "");
}
