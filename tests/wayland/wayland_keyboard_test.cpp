// SPDX-License-Identifier: MIT
// Types through the real Wayland backend into receiving windows under a
// headless sway: one native Wayland window, one behind XWayland.
#include "fakes/needs_tool.h"
#include "fakes/typing_dump.h"
#include "platform/error.h"
#include "platform/wayland/keyboard_wayland.h"
#include "platform/wayland/wayland_keymap.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <pwd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <ostream>
#include <thread>

namespace {

const QString kScripts = QStringLiteral(SCNFERRY_SWAY_SCRIPTS);
const QString kReceiver = QStringLiteral(SCNFERRY_RECEIVER);

// A headless sway started by the test kit's scripts, stopped by its pid.
class SwaySession {
public:
    bool start()
    {
        QProcess start;
        start.start(kScripts + QStringLiteral("/start-sway.sh"), {});
        if (!start.waitForFinished(60000) || start.exitCode() != 0) {
            m_error = QString::fromLocal8Bit(start.readAllStandardError());
            return false;
        }
        for (const QString &line : QString::fromLocal8Bit(start.readAllStandardOutput()).split(u'\n')) {
            const QString assignment = line.startsWith(QStringLiteral("export ")) ? line.mid(7) : line;
            const qsizetype eq = assignment.indexOf(u'=');
            if (eq > 0)
                m_env[assignment.left(eq)] = assignment.mid(eq + 1);
        }
        return !value("SWAY_PID").isEmpty() && !value("WAYLAND_DISPLAY").isEmpty();
    }

    void stop()
    {
        if (value("SWAY_PID").isEmpty())
            return;
        QProcess::execute(kScripts + QStringLiteral("/stop-sway.sh"), {value("SWAY_PID"), value("SWAY_DIR")});
        m_env.clear();
    }

    ~SwaySession() { stop(); }

    QString value(const char *name) const
    {
        const auto it = m_env.find(QString::fromLatin1(name));
        return it == m_env.end() ? QString() : it->second;
    }
    const std::map<QString, QString> &env() const { return m_env; }

    // The end of the compositor's log, for failure messages.
    std::string logTail() const
    {
        QFile log(value("SWAY_DIR") + QStringLiteral("/sway.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        const QByteArray all = log.readAll();
        return all.right(3000).toStdString();
    }
    const QString &error() const { return m_error; }

    // The program's keyboard on this session, made as the program makes it:
    // with WAYLAND_DISPLAY and XWayland's DISPLAY set. The test runs as
    // another user than the session, so XWayland is told to let it in first.
    std::unique_ptr<platform::Keyboard> createKeyboard(QString *why) const
    {
        if (!value("DISPLAY").isEmpty() && !allowThisUserOnXWayland(why))
            return nullptr;
        const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
        const QByteArray savedDisplay = qgetenv("DISPLAY");
        qputenv("WAYLAND_DISPLAY", value("WAYLAND_DISPLAY").toLocal8Bit());
        qputenv("DISPLAY", value("DISPLAY").toLocal8Bit());
        auto keyboard = platform::createWaylandKeyboard(why);
        qputenv("WAYLAND_DISPLAY", savedWayland);
        qputenv("DISPLAY", savedDisplay);
        return keyboard;
    }

private:
    bool allowThisUserOnXWayland(QString *why) const
    {
        QProcess xhost;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, v] : m_env)
            env.insert(name, v);
        xhost.setProcessEnvironment(env);
        xhost.start(kScripts + QStringLiteral("/run-as-sway-user.sh"),
                    {QStringLiteral("xhost"), QStringLiteral("+si:localuser:") + QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name)});
        if (xhost.waitForFinished(30000) && xhost.exitCode() == 0)
            return true;
        *why = QStringLiteral("xhost could not let the test into XWayland: ") +
               QString::fromLocal8Bit(xhost.readAllStandardError());
        return false;
    }

    std::map<QString, QString> m_env;
    QString m_error;
};

// The receiving window, run as the session's user, on one Qt platform.
class Receiver {
public:
    Receiver(const SwaySession &session, const QString &platform, const QString &outFile) : m_out(outFile)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : session.env())
            env.insert(name, value);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(kScripts + QStringLiteral("/run-as-sway-user.sh"),
                        {kReceiver, QStringLiteral("--out"), outFile});
    }

    ~Receiver()
    {
        // The script execs the receiver: this pid is the receiver's.
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    bool waitReady()
    {
        QDeadlineTimer deadline(30000);
        QByteArray out;
        while (!deadline.hasExpired()) {
            if (m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
                out += m_process.readAllStandardOutput();
            if (out.contains("READY"))
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }

    // What the window recorded once it equals want, or when it stops
    // growing towards it.
    QString waitFor(const QString &want)
    {
        QDeadlineTimer deadline(60000);
        QString got;
        while (!deadline.hasExpired()) {
            QFile file(m_out);
            if (file.open(QIODevice::ReadOnly))
                got = QString::fromUtf8(file.readAll());
            if (got == want || got.size() > want.size())
                break;
            QThread::msleep(20);
        }
        return got;
    }

private:
    QProcess m_process;
    QString m_out;
};

// What the receiver records for text: named keys by name, C0 controls as
// Ctrl plus the character 0x40 above them, CR LF as one Return.
QString recorded(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        switch (c.unicode()) {
        case u'\r':
            out += u'\n';
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            continue;
        case u'\n': out += u'\n'; continue;
        case u'\t': out += u'\t'; continue;
        case 0x08: out += QStringLiteral("<BackSpace>"); continue;
        case 0x1B: out += QStringLiteral("<Escape>"); continue;
        case 0x7F: out += QStringLiteral("<Delete>"); continue;
        default: break;
        }
        if (c.unicode() < 0x20)
            out += QStringLiteral("<C-%1>").arg(QChar(c.unicode() + 0x40).toLower());
        else
            out += c;
    }
    return out;
}

QString distinctCjk(int count, char16_t first)
{
    QString s;
    for (int i = 0; i < count; ++i)
        s += QChar(static_cast<char16_t>(first + i));
    return s;
}

QString mixed(int length)
{
    // Fixed seed: a failure can be reproduced.
    QRandomGenerator random(20261207);
    const QString pool = QStringLiteral("ABCxyz0189 +^%~(){}[]<>@#ÄäßÖü€ñΩ中文\r\n\t");
    QString s;
    for (int i = 0; i < length; ++i)
        s += pool[random.bounded(static_cast<int>(pool.size()))];
    return s;
}

// Another keyboard on the seat, as the user's own: a US layout on which the
// user holds Shift with Caps Lock on.
class UserKeyboard {
public:
    explicit UserKeyboard(const QByteArray &socket) : m_display(wl_display_connect(socket.constData()))
    {
        if (!m_display)
            return;
        m_registry = wl_display_get_registry(m_display);
        wl_registry_add_listener(m_registry, &kListener, this);
        wl_display_roundtrip(m_display);
        if (!m_seat || !m_manager)
            return;
        m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_manager, m_seat);

        xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        xkb_keymap *keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
        if (text) {
            const std::size_t size = std::strlen(text) + 1;
            const int fd = memfd_create("user-keymap", MFD_CLOEXEC);
            if (fd >= 0 && ::write(fd, text, size) == static_cast<ssize_t>(size)) {
                zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                               static_cast<std::uint32_t>(size));
                m_ready = true;
            }
            if (fd >= 0)
                ::close(fd);
        }
        std::free(text);
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
        m_ready = m_ready && wl_display_roundtrip(m_display) >= 0;
    }

    ~UserKeyboard()
    {
        if (m_keyboard)
            zwp_virtual_keyboard_v1_destroy(m_keyboard);
        if (m_manager)
            zwp_virtual_keyboard_manager_v1_destroy(m_manager);
        if (m_seat)
            wl_seat_destroy(m_seat);
        if (m_registry)
            wl_registry_destroy(m_registry);
        if (m_display)
            wl_display_disconnect(m_display);
    }

    bool ready() const { return m_ready; }

    // Left Shift down (evdev 42) and Caps Lock locked, and it stays so.
    bool holdShiftWithCapsLock()
    {
        zwp_virtual_keyboard_v1_key(m_keyboard, 1, 42, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, 1u << 0, 0, 1u << 1, 0);
        return wl_display_roundtrip(m_display) >= 0;
    }

    // A key typed on this keyboard, by its evdev code.
    bool tap(std::uint32_t key)
    {
        zwp_virtual_keyboard_v1_key(m_keyboard, 2, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(m_keyboard, 3, key, WL_KEYBOARD_KEY_STATE_RELEASED);
        return wl_display_roundtrip(m_display) >= 0;
    }

private:
    static void onGlobal(void *data, wl_registry *registry, std::uint32_t name, const char *interface, std::uint32_t)
    {
        auto *self = static_cast<UserKeyboard *>(data);
        if (!self->m_seat && std::strcmp(interface, wl_seat_interface.name) == 0)
            self->m_seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        else if (!self->m_manager && std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
            self->m_manager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
    static void onGlobalRemove(void *, wl_registry *, std::uint32_t) {}
    static constexpr wl_registry_listener kListener{onGlobal, onGlobalRemove};

    wl_display *m_display = nullptr;
    wl_registry *m_registry = nullptr;
    wl_seat *m_seat = nullptr;
    zwp_virtual_keyboard_manager_v1 *m_manager = nullptr;
    zwp_virtual_keyboard_v1 *m_keyboard = nullptr;
    bool m_ready = false;
};

struct Case {
    const char *name;
    QStringList bursts; // sent one after the other, without waiting
};

// A long burst, then characters the keymap has never had: the upload lands
// while the receiver may still be working through the long burst. `fresh`
// differs per receiver, so that the characters are new to the keymap each time.
Case newCharactersAfterALongBurst(char32_t fresh)
{
    QString added;
    for (char32_t c = fresh; c < fresh + 6; ++c)
        added += QString::fromUcs4(&c, 1);
    return {"NewCharactersAfterALongBurst", {mixed(3000), added + QStringLiteral("\n")}};
}

std::vector<Case> cases(char32_t fresh)
{
    QStringList pieces;
    const QString many = mixed(2000);
    for (qsizetype i = 0; i < many.size(); i += 20)
        pieces << many.mid(i, 20);
    QString ascii;
    for (char16_t c = 0x20; c < 0x7F; ++c)
        ascii += QChar(c);
    return {
        {"Ascii", {ascii + QStringLiteral("\r\n") + ascii}},
        {"OutsideLayouts", {QStringLiteral("Ä ä ß € ñ Ω ÄÄää Straße 5€ mañana Ωmega\n")}},
        {"Cjk", {QStringLiteral("中文字符 漢字 かな カナ 한국어\n")}},
        {"Controls",
         {QStringLiteral("A\tB\rC\nD\r\nE") + QChar(0x1D) + QStringLiteral("01") + QChar(0x1E) + QChar(0x04) +
          QChar(0x08) + QChar(0x1B) + QChar(0x7F) + QStringLiteral("F\n")}},
        {"MoreDistinctCharactersThanKeys",
         {distinctCjk(300, 0x4E00) + QStringLiteral("|") + distinctCjk(300, 0x4E00) + QStringLiteral("\n"),
          distinctCjk(260, 0x5200) + QStringLiteral("\n")}},
        {"ManySmallBursts", pieces},
        {"FiveThousandCharacters", {mixed(5000)}},
        newCharactersAfterALongBurst(fresh),
    };
}

struct Typing {
    const char *platform; // the receiver's Qt platform
    Case what;
};

void PrintTo(const Typing &t, std::ostream *os)
{
    *os << t.platform << '_' << t.what.name;
}

std::vector<Typing> typings()
{
    std::vector<Typing> out;
    char32_t fresh = 0x0180; // Latin Extended-B: in no other case
    for (const char *platform : {"wayland", "xcb"}) {
        for (const Case &c : cases(fresh))
            out.push_back({platform, c});
        fresh += 6;
    }
    return out;
}

class WaylandKeyboardTyping : public ::testing::TestWithParam<Typing> {
protected:
    static void SetUpTestSuite()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty())
            return;
        s_session = std::make_unique<SwaySession>();
        if (!s_session->start()) {
            s_error = s_session->error();
            s_session.reset();
            return;
        }
        // One keyboard for all cases, as the program keeps one.
        s_keyboard = s_session->createKeyboard(&s_error);
    }

    static void TearDownTestSuite()
    {
        s_keyboard.reset();
        s_session.reset();
    }

    void SetUp() override
    {
        SCNFERRY_NEEDS_TOOL("sway");
        ASSERT_TRUE(s_session) << "headless sway did not start: " << s_error.toStdString();
        ASSERT_TRUE(s_keyboard) << "no Wayland keyboard: " << s_error.toStdString();
    }

    static inline std::unique_ptr<SwaySession> s_session;
    static inline std::unique_ptr<platform::Keyboard> s_keyboard;
    static inline QString s_error;
};

TEST_P(WaylandKeyboardTyping, ReceiverGetsExactlyTheText)
{
    const char *platformName = GetParam().platform;
    const Case &c = GetParam().what;
    const QString out = s_session->value("SWAY_DIR") + QStringLiteral("/home/received-%1-%2.txt")
                                                             .arg(QString::fromLatin1(platformName),
                                                                  QString::fromLatin1(c.name));
    Receiver receiver(*s_session, QString::fromLatin1(platformName), out);
    ASSERT_TRUE(receiver.waitReady()) << "the receiver did not get the focus; sway's log:\n" << s_session->logTail();

    QString sent;
    qsizetype characters = 0;
    QElapsedTimer clock;
    clock.start();
    for (const QString &burst : c.bursts) {
        ASSERT_NO_THROW(s_keyboard->send(burst));
        sent += burst;
        characters += burst.toUcs4().size();
    }
    const qint64 sendMs = clock.elapsed();
    const QString want = recorded(sent);
    const QString got = receiver.waitFor(want);
    const qint64 arrivedMs = clock.elapsed();
    recordComparison(QString::fromStdString(std::string(platformName) + "_" + c.name), want, got);

    std::cout << "[ figures  ] " << platformName << ' ' << c.name << ": " << characters << " characters, sent in "
              << sendMs << " ms, received in " << arrivedMs << " ms ("
              << (arrivedMs > 0 ? characters * 1000 / arrivedMs : characters) << " chars/s)\n";
    if (got != want) {
        qsizetype at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at])
            ++at;
        FAIL() << "first difference at " << at << " of " << want.size() << ": want \""
               << want.mid(at, 20).toStdString() << "\", got \"" << got.mid(at, 20).toStdString()
               << "\"; sway's log:\n" << s_session->logTail();
    }
}

std::string caseName(const ::testing::TestParamInfo<WaylandKeyboardTyping::ParamType> &info)
{
    return std::string(info.param.platform) + "_" + info.param.what.name;
}

INSTANTIATE_TEST_SUITE_P(Sway, WaylandKeyboardTyping, ::testing::ValuesIn(typings()), caseName);

TEST(WaylandKeyboard, TypesLiterallyWhileTheUserHoldsShiftWithCapsLockOn)
{
    SCNFERRY_NEEDS_TOOL("sway");
    SwaySession session;
    ASSERT_TRUE(session.start()) << session.error().toStdString();
    const QByteArray socket = session.value("WAYLAND_DISPLAY").toLocal8Bit();
    QString why;
    auto keyboard = session.createKeyboard(&why);
    ASSERT_TRUE(keyboard) << why.toStdString();
    UserKeyboard user(socket);
    ASSERT_TRUE(user.ready());

    const QString text = QStringLiteral("abc XYZ äÄß Ω 中 Mixed 123 !@#") + QChar(0x1D) + QStringLiteral("z\n");
    for (const char *platformName : {"wayland", "xcb"}) {
        SCOPED_TRACE(platformName);
        Receiver receiver(session, QString::fromLatin1(platformName),
                          session.value("SWAY_DIR") + QStringLiteral("/home/shift-") + QString::fromLatin1(platformName));
        ASSERT_TRUE(receiver.waitReady());
        ASSERT_TRUE(user.holdShiftWithCapsLock());
        ASSERT_NO_THROW(keyboard->send(text));
        // The user's key "1" afterwards gives "!": Shift really is held on
        // the seat, and typing left the user's keyboard state alone.
        ASSERT_TRUE(user.tap(2));
        const QString want = recorded(text) + u'!';
        const QString got = receiver.waitFor(want);
        recordComparison(QString::fromStdString(std::string("ShiftWithCapsLock_") + platformName), want, got);
        EXPECT_EQ(got.toStdString(), want.toStdString());
    }
}

// The program's end during a long (paced) burst: a stop from another thread
// ends it between two strokes; what arrived is exactly the start of the
// burst, and the user's next key is a plain "3", nothing held or repeating.
TEST(WaylandKeyboard, StopFromAnotherThreadEndsALongBurstCleanly)
{
    if (QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty())
        GTEST_SKIP() << "sway is not installed";
    SwaySession session;
    ASSERT_TRUE(session.start()) << session.error().toStdString();
    QString why;
    auto keyboard = session.createKeyboard(&why);
    ASSERT_TRUE(keyboard) << why.toStdString();
    UserKeyboard user(session.value("WAYLAND_DISPLAY").toLocal8Bit());
    ASSERT_TRUE(user.ready());
    const QString out = session.value("SWAY_DIR") + QStringLiteral("/home/stop");
    Receiver receiver(session, QStringLiteral("wayland"), out);
    ASSERT_TRUE(receiver.waitReady());

    QString burst = mixed(20000).remove(u'\r').remove(u'\n'); // one recorded character each
    std::atomic<bool> returned{false};
    std::thread typing([&] {
        try {
            keyboard->send(burst);
        } catch (const platform::RuntimeError &e) {
            ADD_FAILURE() << e.what();
        }
        returned = true;
    });
    const auto receivedSoFar = [&] {
        QFile file(out);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    QDeadlineTimer deadline(60000);
    while (receivedSoFar().size() < 300 && !returned && !deadline.hasExpired())
        QThread::msleep(10);
    keyboard->requestStop();
    typing.join();
    EXPECT_TRUE(returned);

    // "3" (evdev 4) is not in the burst: it marks the end of what arrives.
    ASSERT_TRUE(user.tap(4));
    QString typed;
    deadline.setRemainingTime(60000);
    while (!(typed = receivedSoFar()).endsWith(u'3') && !deadline.hasExpired())
        QThread::msleep(10);
    ASSERT_TRUE(typed.endsWith(u'3')) << typed.right(40).toStdString();
    typed.chop(1);
    const QString want = recorded(burst.left(typed.size()));
    EXPECT_LT(typed.size(), burst.size()) << "the whole burst was typed";
    EXPECT_EQ(typed.toStdString(), want.toStdString());
}

TEST(WaylandKeyboard, RefusesWithoutAWaylandSession)
{
    const QByteArray saved = qgetenv("WAYLAND_DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    QString why;
    EXPECT_EQ(platform::createWaylandKeyboard(&why), nullptr);
    EXPECT_TRUE(why.contains(QStringLiteral("WAYLAND_DISPLAY"))) << why.toStdString();

    qputenv("WAYLAND_DISPLAY", "/nonexistent/wayland-socket");
    why.clear();
    EXPECT_EQ(platform::createWaylandKeyboard(&why), nullptr);
    EXPECT_FALSE(why.isEmpty());
    if (saved.isNull())
        qunsetenv("WAYLAND_DISPLAY");
    else
        qputenv("WAYLAND_DISPLAY", saved);
}

TEST(WaylandKeyboard, ReportsTheLostCompositorAsKeyboardFailed)
{
    SCNFERRY_NEEDS_TOOL("sway");
    SwaySession session;
    ASSERT_TRUE(session.start()) << session.error().toStdString();
    QString why;
    auto keyboard = session.createKeyboard(&why);
    ASSERT_TRUE(keyboard) << why.toStdString();
    EXPECT_EQ(keyboard->name(), QStringLiteral("wayland"));
    EXPECT_NO_THROW(keyboard->send(u"ok"));

    session.stop();
    try {
        keyboard->send(u"lost");
        FAIL() << "typing into a stopped compositor succeeded";
    } catch (const platform::RuntimeError &e) {
        EXPECT_EQ(e.number(), platform::err::KeyboardFailed);
        EXPECT_TRUE(e.description().contains(QStringLiteral("Wayland"))) << e.description().toStdString();
    }
}

} // namespace
