// SPDX-License-Identifier: MIT
// Types through the real X11 backend into a receiving window on Xvfb and
// compares what the window got.
#include "fakes/needs_tool.h"
#include "fakes/typing_dump.h"
#include "platform/error.h"
#include "platform/x11/keyboard_x11.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <random>

// Last: Xlib defines macros (None, Bool, Status) that clash with C++ names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

using namespace platform;

namespace {

// Polls cond, letting timers run, until it holds or the deadline passes.
bool waitFor(const std::function<bool()> &cond, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Where two texts part, with a little context: long texts are unreadable
// in full.
std::string difference(const QString &got, const QString &expected)
{
    qsizetype i = 0;
    while (i < got.size() && i < expected.size() && got[i] == expected[i])
        ++i;
    return QStringLiteral("got %1 characters, expected %2; first difference at %3: got \"%4\", expected \"%5\"")
        .arg(got.size())
        .arg(expected.size())
        .arg(i)
        .arg(got.mid(i, 40), expected.mid(i, 40))
        .toStdString();
}

// The running test's name, for the stress benchmark's record.
QString currentTest()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return QString::fromLatin1(info ? info->name() : "?");
}

QProcessEnvironment envFor(const QString &display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

// Xvfb on the first free display number, stopped by its process id.
class XServer {
public:
    // Xvfb picks a free display number itself and writes it to -displayfd
    // once it accepts connections, so parallel tests cannot collide.
    bool start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setStandardErrorFile(QProcess::nullDevice());
        m_process->start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                  QStringLiteral("-screen"), QStringLiteral("0"),
                                                  QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                                  QStringLiteral("tcp")});
        waitFor([&] { return m_process->canReadLine() || m_process->state() == QProcess::NotRunning; }, 20000);
        bool ok = false;
        const int n = m_process->readLine().trimmed().toInt(&ok);
        if (!ok) {
            stop();
            return false;
        }
        m_display = QStringLiteral(":%1").arg(n);
        return true;
    }
    void stop()
    {
        if (!m_process)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(5000))
            m_process->kill();
        m_process->waitForFinished(5000);
        m_process.reset();
    }
    ~XServer() { stop(); }
    const QString &display() const { return m_display; }

private:
    std::unique_ptr<QProcess> m_process;
    QString m_display;
};

bool run(const QString &display, const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessEnvironment(envFor(display));
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class X11Typing : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
            return;
        s_server = new XServer;
        ASSERT_TRUE(s_server->start());
        s_oldDisplay = qgetenv("DISPLAY");
        qputenv("DISPLAY", s_server->display().toLocal8Bit());
        QString whyNot;
        s_keyboard = createX11Keyboard(&whyNot).release();
        ASSERT_NE(s_keyboard, nullptr) << whyNot.toStdString();
        s_x = XOpenDisplay(nullptr);
    }
    static void TearDownTestSuite()
    {
        delete s_keyboard;
        s_keyboard = nullptr;
        if (s_x)
            XCloseDisplay(s_x);
        s_x = nullptr;
        delete s_server;
        s_server = nullptr;
        qputenv("DISPLAY", s_oldDisplay);
    }

    void SetUp() override
    {
        SCNFERRY_NEEDS_TOOL("Xvfb");
        ASSERT_NE(s_server, nullptr) << "Xvfb did not start";
        ASSERT_NE(s_keyboard, nullptr);
        ASSERT_TRUE(m_dir.isValid());
        m_out = m_dir.filePath(QStringLiteral("received.txt"));
        m_receiver.setProcessEnvironment(envFor(s_server->display()));
        m_receiver.start(QStringLiteral(SCNFERRY_RECEIVER), {QStringLiteral("--out"), m_out});
        ASSERT_TRUE(waitFor([&] { return m_receiver.canReadLine() || m_receiver.state() == QProcess::NotRunning; },
                            20000));
        ASSERT_EQ(m_receiver.readLine().trimmed(), "READY");
    }

    void TearDown() override
    {
        if (m_receiver.state() != QProcess::NotRunning) {
            m_receiver.terminate();
            m_receiver.waitForFinished(5000);
        }
    }

    void setLayout(const char *layout) const
    {
        ASSERT_TRUE(run(s_server->display(), QStringLiteral("setxkbmap"), {QString::fromLatin1(layout)}));
    }

    QString received() const
    {
        QFile f(m_out);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Waits until the receiver holds at least as much as expected.
    QString receivedWhenComplete(const QString &expected, int ms = 20000) const
    {
        waitFor([&] { return received().size() >= expected.size(); }, ms);
        // Anything doubled would arrive late: give it a moment to show.
        waitFor([] { return false; }, 100);
        return received();
    }

    static bool keymapHas(KeySym sym)
    {
        std::unique_ptr<XkbDescRec, void (*)(XkbDescPtr)> xkb(XkbGetMap(s_x, XkbKeySymsMask, XkbUseCoreKbd),
                                                              [](XkbDescPtr d) { XkbFreeKeyboard(d, 0, True); });
        if (!xkb)
            return false;
        for (int kc = xkb->min_key_code; kc <= xkb->max_key_code; ++kc) {
            for (int i = 0; i < XkbKeyNumSyms(xkb.get(), kc); ++i) {
                if (XkbKeySymsPtr(xkb.get(), kc)[i] == sym)
                    return true;
            }
        }
        return false;
    }

    // The whole keyboard map as the server hands it out.
    static QByteArray keymapDump()
    {
        QProcess p;
        p.setProcessEnvironment(envFor(s_server->display()));
        p.start(QStringLiteral("xkbcomp"), {QStringLiteral("-xkb"), s_server->display(), QStringLiteral("-")});
        if (!p.waitForFinished(10000) || p.exitCode() != 0)
            return {};
        return p.readAllStandardOutput();
    }

    bool capsLocked() const
    {
        XkbStateRec st{};
        XkbGetState(s_x, XkbUseCoreKbd, &st);
        return st.locked_mods & LockMask;
    }

    static inline XServer *s_server = nullptr;
    static inline Keyboard *s_keyboard = nullptr;
    static inline Display *s_x = nullptr;
    static inline QByteArray s_oldDisplay;
    QTemporaryDir m_dir;
    QString m_out;
    QProcess m_receiver;
};

struct TypingCase;
void PrintTo(const TypingCase &c, std::ostream *os);

struct TypingCase {
    const char *name;
    const char *layout;
    QString input;
    QString expected;
    bool capsLock = false;
    bool holdShift = false;
};

void PrintTo(const TypingCase &c, std::ostream *os)
{
    *os << c.name;
}

QString asciiPrintable()
{
    QString s;
    for (char c = 0x20; c < 0x7f; ++c)
        s += QLatin1Char(c);
    return s;
}

// More distinct characters than an X keymap has keycodes.
QString manyIdeographs()
{
    QString s;
    for (char32_t c = 0x4e00; c < 0x4e00 + 120; ++c)
        s += QString::fromUcs4(&c, 1);
    return s;
}

class X11TypingCases : public X11Typing, public ::testing::WithParamInterface<TypingCase> {};

TEST_P(X11TypingCases, ReceiverGetsExactlyTheText)
{
    const TypingCase &c = GetParam();
    setLayout(c.layout);
    if (c.capsLock) {
        ASSERT_TRUE(run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")}));
        ASSERT_TRUE(capsLocked());
    }
    if (c.holdShift) {
        ASSERT_TRUE(run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("keydown"), QStringLiteral("shift")}));
    }
    try {
        s_keyboard->send(c.input);
    } catch (const RuntimeError &e) {
        ADD_FAILURE() << e.what();
    }
    const QString got = receivedWhenComplete(c.expected);
    recordComparison(currentTest(), c.expected, got);
    EXPECT_TRUE(got == c.expected) << difference(got, c.expected);
    if (c.capsLock) {
        EXPECT_TRUE(capsLocked()) << "Caps Lock was not restored";
        run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")});
    }
    if (c.holdShift)
        run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("keyup"), QStringLiteral("shift")});
}

const QString kOutside = QStringLiteral("Ä ä ß € ñ Ω");

INSTANTIATE_TEST_SUITE_P(
    Layouts, X11TypingCases,
    ::testing::Values(
        TypingCase{"UsAscii", "us", asciiPrintable(), asciiPrintable()},
        TypingCase{"DeAsciiAndUmlauts", "de", asciiPrintable() + QStringLiteral("äöüÄÖÜß€§°µ"),
                   asciiPrintable() + QStringLiteral("äöüÄÖÜß€§°µ")},
        TypingCase{"FrAsciiAndAccents", "fr", asciiPrintable() + QStringLiteral("éèçàù€²µ§êÊ"),
                   asciiPrintable() + QStringLiteral("éèçàù€²µ§êÊ")},
        TypingCase{"CapsLockOn", "us", QStringLiteral("Hello World 123 abc XYZ"),
                   QStringLiteral("Hello World 123 abc XYZ"), true},
        TypingCase{"CapsLockOnDe", "de", QStringLiteral("Grüße, ÄÖÜ äöü"), QStringLiteral("Grüße, ÄÖÜ äöü"), true},
        TypingCase{"ShiftHeld", "us", QStringLiteral("abc ABC 123 !@# Ω"), QStringLiteral("abc ABC 123 !@# Ω"),
                   false, true},
        TypingCase{"OutsideUs", "us", kOutside, kOutside},
        TypingCase{"OutsideDe", "de", kOutside, kOutside},
        TypingCase{"OutsideFr", "fr", kOutside, kOutside},
        TypingCase{"Cjk", "us", QStringLiteral("漢字かなカナ한국어"), QStringLiteral("漢字かなカナ한국어")},
        TypingCase{"MoreDistinctThanSpareKeys", "us", manyIdeographs() + QStringLiteral("x") + manyIdeographs(),
                   manyIdeographs() + QStringLiteral("x") + manyIdeographs()},
        TypingCase{"ControlCharacters", "us", QStringLiteral("a\x1d" "b\r\nc\td\x08\x1b\x7f\x04!"),
                   QStringLiteral("a<C-]>b\nc\td<BackSpace><Escape><Delete><C-d>!")},
        TypingCase{"GroupSeparatorDe", "de", QStringLiteral("01\x1d" "21"), QStringLiteral("01<C-]>21")},
        TypingCase{"GroupSeparatorFr", "fr", QStringLiteral("01\x1d" "21"), QStringLiteral("01<C-]>21")}),
    [](const auto &param) { return std::string(param.param.name); });

TEST_F(X11Typing, TenThousandCharactersAtFullSpeed)
{
    setLayout("us");
    std::mt19937 rng(20261207);
    const QString extra = QStringLiteral("äß€ñΩ");
    QString text;
    while (text.size() < 10000) {
        const auto r = rng() % 100;
        text += r < 2 ? extra[qsizetype(r % extra.size())] : QChar(char16_t(0x20 + rng() % 95));
    }
    const auto start = std::chrono::steady_clock::now();
    s_keyboard->send(text);
    const auto sent = std::chrono::steady_clock::now();
    const QString got = receivedWhenComplete(text, 120000);
    const auto done = std::chrono::steady_clock::now();
    EXPECT_TRUE(got == text) << difference(got, text);
    const double sendSeconds = std::chrono::duration<double>(sent - start).count();
    const double allSeconds = std::chrono::duration<double>(done - start).count();
    std::cout << "10000 characters: send() " << sendSeconds << " s, received after " << allSeconds << " s ("
              << double(text.size()) / allSeconds << " chars/s)\n";
}

// The receiver reads the binding of the second burst only after working
// through the first: the spare keys must outlive that backlog.
TEST_F(X11Typing, NewCharactersRightAfterALongBurst)
{
    setLayout("us");
    QString first;
    for (int i = 0; i < 20000; ++i)
        first += QLatin1Char(char('a' + i % 26));
    const QString second = QStringLiteral("ΩñÄ¿ŁŒ");
    s_keyboard->send(first);
    s_keyboard->send(second);
    const QString got = receivedWhenComplete(first + second, 60000);
    recordComparison(currentTest(), first + second, got);
    EXPECT_TRUE(got == first + second) << difference(got, first + second);
}

// The program's end during a long burst, as the typing thread meets it: a
// stop from another thread ends the burst between two keys, nothing stays
// pressed, Caps Lock is back, and the keyboard gives every lent key back as
// it goes. What arrived is the start of the burst, exactly.
TEST_F(X11Typing, StopFromAnotherThreadEndsALongBurstCleanly)
{
    setLayout("us");
    const QByteArray before = keymapDump();
    ASSERT_FALSE(before.isEmpty());
    ASSERT_TRUE(run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")}));
    // Far more distinct characters than spare keys: the burst waits for
    // clients between rounds of bindings, long enough to be stopped.
    QString burst;
    for (char32_t round = 0; round < 3; ++round) {
        for (char32_t c = 0x4e00 + 400u * round; c < 0x4e00 + 400u * (round + 1); ++c)
            burst += QString::fromUcs4(&c, 1) + QLatin1Char(c % 5 ? 'x' : 'Y');
    }
    std::atomic<Keyboard *> keyboard{nullptr};
    std::atomic<bool> released{false};
    std::atomic<bool> returned{false};
    // A thread of Qt's, as the program's typing thread is: the keyboard's
    // timer belongs to the thread that made it.
    std::unique_ptr<QThread> typing(QThread::create([&] {
        QString whyNot;
        std::unique_ptr<Keyboard> kb = createX11Keyboard(&whyNot);
        if (!kb)
            return;
        keyboard = kb.get();
        kb->send(burst);
        returned = true;
        while (!released)
            QThread::msleep(1);
        kb.reset(); // gives the lent keys back
    }));
    typing->start();
    ASSERT_TRUE(waitFor([&] { return received().size() >= 300 || typing->isFinished(); }, 60000));
    ASSERT_NE(keyboard.load(), nullptr);
    keyboard.load()->requestStop();
    released = true;
    ASSERT_TRUE(typing->wait(60000)) << "the burst did not stop";
    EXPECT_TRUE(returned);

    const QString got = received();
    EXPECT_LT(got.size(), burst.size()) << "the whole burst was typed";
    EXPECT_TRUE(got == burst.left(got.size())) << difference(got, burst.left(got.size()));
    char keys[32] = {};
    XQueryKeymap(s_x, keys);
    EXPECT_TRUE(std::all_of(std::begin(keys), std::end(keys), [](char k) { return k == 0; })) << "a key stayed pressed";
    EXPECT_TRUE(capsLocked()) << "Caps Lock was not restored";
    run(s_server->display(), QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Caps_Lock")});
    // As in BorrowedKeysAreGivenBackAsTheyWere: the server may show the
    // reset a moment after the keyboard sent it.
    QByteArray after;
    EXPECT_TRUE(waitFor([&] { return (after = keymapDump()) == before; }, 30000))
        << "lent keys were not given back: " << difference(QString::fromUtf8(after), QString::fromUtf8(before));
}

TEST_F(X11Typing, SpareKeysAreResetOnceIdle)
{
    setLayout("us");
    s_keyboard->send(QStringLiteral("Ω"));
    EXPECT_EQ(receivedWhenComplete(QStringLiteral("Ω")), QStringLiteral("Ω"));
    const KeySym omega = 0x10003a9;
    EXPECT_TRUE(keymapHas(omega));
    EXPECT_TRUE(waitFor([&] { return !keymapHas(omega); }, 30000)) << "the spare key still carries the character";
}

// More distinct characters than there are empty keycodes: keys of the layout
// are lent out, except ones another client grabbed, and get their own
// symbols and types back once idle.
TEST_F(X11Typing, BorrowedKeysAreGivenBackAsTheyWere)
{
    setLayout("us");
    const QByteArray before = keymapDump();
    ASSERT_FALSE(before.isEmpty()) << "xkbcomp could not read the keyboard map";
    ASSERT_TRUE(before.contains("XF86Mail")) << "no launcher keys to borrow";
    QString text;
    for (int round = 0; round < 2; ++round) {
        for (char32_t c = 0x100; c < 0x180; ++c) // Latin Extended-A: none of it on us
            text += QString::fromUcs4(&c, 1) + (c % 7 == 0 ? QStringLiteral("x") : QString());
        for (char32_t c = 0x3b1; c <= 0x3c9; ++c)
            text += QString::fromUcs4(&c, 1);
    }
    // A desktop's shortcut on a launcher key would swallow what is typed there.
    const KeyCode mail = XKeysymToKeycode(s_x, 0x1008ff19); // XF86Mail
    ASSERT_NE(mail, 0);
    XGrabKey(s_x, mail, AnyModifier, DefaultRootWindow(s_x), False, GrabModeAsync, GrabModeAsync);
    XSync(s_x, False);
    try {
        s_keyboard->send(text);
    } catch (const RuntimeError &e) {
        ADD_FAILURE() << e.what();
    }
    const QString got = receivedWhenComplete(text, 60000);
    XUngrabKey(s_x, mail, AnyModifier, DefaultRootWindow(s_x));
    XSync(s_x, False);
    EXPECT_TRUE(got == text) << difference(got, text);
    QByteArray after;
    EXPECT_TRUE(waitFor([&] { return (after = keymapDump()) == before; }, 30000))
        << difference(QString::fromUtf8(after), QString::fromUtf8(before));
}

TEST(X11Keyboard, RefusesWithAReasonWithoutADisplay)
{
    const QByteArray old = qgetenv("DISPLAY");
    for (const char *display : {"", ":199"}) {
        qputenv("DISPLAY", display);
        QString whyNot;
        EXPECT_EQ(createX11Keyboard(&whyNot), nullptr) << display;
        EXPECT_TRUE(whyNot.contains(QStringLiteral("DISPLAY")) || whyNot.contains(QLatin1String(display)))
            << whyNot.toStdString();
    }
    qputenv("DISPLAY", old);
}

TEST(X11Keyboard, LostConnectionIsAnError)
{
    SCNFERRY_NEEDS_TOOL("Xvfb");
    XServer server;
    ASSERT_TRUE(server.start());
    const QByteArray old = qgetenv("DISPLAY");
    qputenv("DISPLAY", server.display().toLocal8Bit());
    QString whyNot;
    std::unique_ptr<Keyboard> keyboard = createX11Keyboard(&whyNot);
    qputenv("DISPLAY", old);
    ASSERT_NE(keyboard, nullptr) << whyNot.toStdString();
    keyboard->send(QStringLiteral("ok"));
    server.stop();
    for (int i = 0; i < 2; ++i) { // and again once the loss is known
        try {
            keyboard->send(QStringLiteral("lost"));
            ADD_FAILURE() << "typing into a vanished display succeeded";
        } catch (const RuntimeError &e) {
            EXPECT_EQ(e.number(), err::KeyboardFailed);
            EXPECT_TRUE(e.description().contains(QStringLiteral("lost"))) << e.what();
        }
    }
}

} // namespace
