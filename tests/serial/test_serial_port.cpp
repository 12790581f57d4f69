// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QStringList>
#include <QTimer>

#include <cerrno>
#include <functional>
#include <vector>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

using platform::MSComm;
using platform::RuntimeError;
using platform::SerialSettings;
namespace err = platform::err;

namespace {

// Both ends of a pseudo terminal: the slave stands for the scanner's port,
// the test writes into the master.
class Pty {
public:
    Pty()
    {
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0)
            m_path = QString::fromLocal8Bit(name);
    }
    ~Pty()
    {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    const QString &path() const { return m_path; }
    void write(const QByteArray &bytes) const
    {
        ASSERT_EQ(::write(m_master, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
    }
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// Runs the event loop until `done` holds or the deadline passes.
bool pumpUntil(const std::function<bool()> &done, int ms = 5000)
{
    QDeadlineTimer deadline(ms);
    QTimer tick; // wakes the blocking wait so the deadline is seen
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

int errorNumberOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const RuntimeError &e) {
        return e.number();
    }
    return 0;
}

void configure(MSComm &c, const QString &path)
{
    c.setDevicePath(path);
    c.setSettings(QStringLiteral("9600,N,8,1"));
    c.setInputLen(0);
    c.setRThreshold(1);
    c.setInBufferSize(1024);
}

// Opens the port with every received text appended to `received`.
void openCollecting(MSComm &c, const QString &path, QString &received)
{
    configure(c, path);
    QObject::connect(&c, &MSComm::OnComm, [&c, &received] { received += c.input(); });
    c.setPortOpen(true);
}

// Sets SCNFERRY_ENCODING for one test and restores it.
class EncodingVariable {
public:
    explicit EncodingVariable(const char *value) : m_old(qgetenv(kName)), m_wasSet(qEnvironmentVariableIsSet(kName))
    {
        qputenv(kName, value);
    }
    ~EncodingVariable()
    {
        if (m_wasSet)
            qputenv(kName, m_old);
        else
            qunsetenv(kName);
    }
    EncodingVariable(const EncodingVariable &) = delete;
    EncodingVariable &operator=(const EncodingVariable &) = delete;

private:
    static constexpr const char *kName = "SCNFERRY_ENCODING";
    QByteArray m_old;
    bool m_wasSet;
};

struct SerialPortTest : testing::Test {
    void SetUp() override { ASSERT_FALSE(pty.path().isEmpty()) << "openpty failed"; }
    Pty pty;
    // The expectations below are Western; the machine's locale must not decide.
    EncodingVariable encoding{"windows-1252"};
};

// --- settings -------------------------------------------------------------

TEST(SerialSettingsText, AcceptsAndRejects)
{
    using SB = SerialSettings::StopBits;
    struct Row {
        const char *text;
        bool valid;
        std::int32_t baud = 0;
        char parity = 0;
        int data = 0;
        SB stop = SB::One;
    };
    const Row rows[] = {
        {"9600,N,8,1", true, 9600, 'N', 8, SB::One},
        {"115200,e,7,2", true, 115200, 'E', 7, SB::Two},
        {"250000,M,5,1.5", true, 250000, 'M', 5, SB::OneAndHalf},
        {"12345,s,6,1", true, 12345, 'S', 6, SB::One},
        {" 9600 , o , 8 , 1 ", true, 9600, 'O', 8, SB::One},
        {"2147483647,N,8,1", true, 2147483647, 'N', 8, SB::One},
        {"2147483648,N,8,1", false}, {"0,N,8,1", false}, {"-9600,N,8,1", false},
        {"96 00,N,8,1", false}, {"9600,X,8,1", false}, {"9600,NO,8,1", false},
        {"9600,N,4,1", false}, {"9600,N,9,1", false}, {"9600,N,8,3", false},
        {"9600,N,8,1.0", false}, {"9600,N,8", false}, {"9600,N,8,1,", false},
        {"", false}, {"9600,,8,1", false}, {"+9600,N,8,1", false},
        {"9600,\xc5\xbf,8,1", false}, // U+017F, which Unicode upper-cases to S
    };
    for (const Row &r : rows) {
        const auto s = platform::parseSerialSettings(QString::fromUtf8(r.text));
        ASSERT_EQ(s.has_value(), r.valid) << r.text;
        if (!s)
            continue;
        EXPECT_EQ(s->baudRate, r.baud) << r.text;
        EXPECT_EQ(s->parity, r.parity) << r.text;
        EXPECT_EQ(s->dataBits, r.data) << r.text;
        EXPECT_EQ(s->stopBits, r.stop) << r.text;
    }
    MSComm c;
    EXPECT_EQ(errorNumberOf([&] { c.setSettings(QStringLiteral("9600,Q,8,1")); }), err::InvalidPropertyValue);
    EXPECT_EQ(c.settings(), QStringLiteral("9600,N,8,1")) << "a rejected text must not replace the settings";
}

TEST(SerialSettingsText, TailWaitCoversFourCharactersButNotLessThanAdapterLatency)
{
    const auto wait = [](const char *text) { return platform::tailWaitMs(*platform::parseSerialSettings(QString::fromLatin1(text))); };
    EXPECT_EQ(wait("115200,N,8,1"), 20);
    EXPECT_EQ(wait("9600,N,8,1"), 20);
    EXPECT_EQ(wait("1200,N,8,1"), 34);  // 4 x 10 bits
    EXPECT_EQ(wait("300,E,7,2"), 147);  // 4 x 11 bits
    EXPECT_EQ(wait("1,N,8,1"), 5000);
}

TEST(SerialOpenFailure, SystemErrorsMapToNumbersAUserCanActOn)
{
    const QString port = QStringLiteral("COM3");
    struct Row { int error; int number; const char *mentions; };
    const Row rows[] = {
        {ENOENT, err::PortInvalid, "Invalid port number"},
        {ENXIO, err::PortInvalid, "Invalid port number"},
        {EBUSY, err::PortAlreadyOpen, "COM3 is in use by another program"},
        {EACCES, err::PortPermission, "usermod -aG uucp"},
        {EPERM, err::PortPermission, "Permission denied"},
        {EINVAL, err::PortOpenFailed, "COM3"},
    };
    for (const Row &r : rows) {
        const RuntimeError e = platform::openFailure(r.error, port, QStringLiteral("uucp"));
        EXPECT_EQ(e.number(), r.number) << r.error;
        EXPECT_TRUE(e.description().contains(QLatin1String(r.mentions))) << e.what();
    }
    // A root-owned node says nothing useful about the group to join.
    EXPECT_TRUE(platform::openFailure(EACCES, port, QStringLiteral("root")).description().contains(u"dialout"));
}

// --- opening --------------------------------------------------------------

TEST(SerialOpen, PortsThatDoNotExistAreInvalid)
{
    for (const std::int16_t n : {std::int16_t(0), std::int16_t(-1), std::int16_t(32000)}) {
        MSComm c;
        c.setCommPort(n);
        EXPECT_EQ(errorNumberOf([&] { c.setPortOpen(true); }), err::PortInvalid) << n;
        EXPECT_FALSE(c.portOpen());
    }
    MSComm c;
    c.setDevicePath(QStringLiteral("/dev/no-such-scanner"));
    EXPECT_EQ(errorNumberOf([&] { c.setPortOpen(true); }), err::PortInvalid);
}

TEST_F(SerialPortTest, SecondOpenOfTheSameDeviceIsBusyUnderAnyName)
{
    MSComm first;
    configure(first, pty.path());
    first.setPortOpen(true);

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("scanner"));
    ASSERT_TRUE(QFile::link(pty.path(), link));
    for (const QString &name : {pty.path(), link}) {
        MSComm second;
        configure(second, name);
        EXPECT_EQ(errorNumberOf([&] { second.setPortOpen(true); }), err::PortAlreadyOpen) << name.toStdString();
        EXPECT_FALSE(second.portOpen());
    }

    first.setPortOpen(false);
    {
        // Another program holding the device with flock(), as terminal
        // programs do; root gets past TIOCEXCL, so this lock is what counts.
        const int fd = ::open(pty.path().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        MSComm other;
        configure(other, link);
        EXPECT_EQ(errorNumberOf([&] { other.setPortOpen(true); }), err::PortAlreadyOpen);
        ::close(fd);
    }
    MSComm third;
    configure(third, link);
    EXPECT_NO_THROW(third.setPortOpen(true)) << "closing must release the lock";
}

// --- receiving ------------------------------------------------------------

TEST_F(SerialPortTest, BurstArrivesWithOnCommAndIsTakenWhole)
{
    MSComm c;
    configure(c, pty.path());
    int events = 0;
    QObject::connect(&c, &MSComm::OnComm, [&] { ++events; });
    c.setPortOpen(true);
    c.setInBufferCount(0);

    pty.write(QByteArray("4006381333931\r\xC3\xA4\0", 17));
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() == 16; }));
    ASSERT_TRUE(pumpUntil([&] { return events > 0; }));
    EXPECT_EQ(c.commEvent(), platform::comm::EvReceive);
    EXPECT_EQ(c.input(), QString::fromUtf8("4006381333931\r\xC3\xA4\0", 17));
    EXPECT_EQ(c.inBufferCount(), 0);
}

TEST_F(SerialPortTest, InputLenLimitsOneRead)
{
    MSComm c;
    configure(c, pty.path());
    c.setPortOpen(true);
    c.setInputLen(4);
    pty.write("abcdef");
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() == 6; }));
    EXPECT_EQ(c.input(), QStringLiteral("abcd"));
    EXPECT_EQ(c.input(), QStringLiteral("ef"));

    // A character outside the BMP is never cut in half.
    c.setInputLen(3);
    pty.write("ab\xF0\x9F\x98\x80" "c");
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() == 5; }));
    EXPECT_EQ(c.input(), QStringLiteral("ab"));
    EXPECT_EQ(c.input(), QString::fromUtf8("\xF0\x9F\x98\x80" "c"));
}

TEST_F(SerialPortTest, SettingInBufferCountZeroDiscardsWaitingText)
{
    MSComm c;
    configure(c, pty.path());
    c.setPortOpen(true);
    pty.write("stale\xC3");
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() >= 5; }));
    c.setInBufferCount(0);
    EXPECT_EQ(c.inBufferCount(), 0);
    pty.write("\xA4" "fresh");
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() == 6; }));
    // The held lead byte went with the discarded text: 0xA4 stands alone.
    EXPECT_EQ(c.input(), QString::fromUtf8("\xC2\xA4" "fresh"));
}

TEST_F(SerialPortTest, IncompleteTailComesAsCp1252WithItsOwnOnComm)
{
    MSComm c;
    configure(c, pty.path());
    QStringList reads;
    QObject::connect(&c, &MSComm::OnComm, [&] { reads << c.input(); });
    c.setPortOpen(true);
    pty.write("A\xE2\x82");
    ASSERT_TRUE(pumpUntil([&] { return reads.join(QString()) == QString::fromUtf8("A\xC3\xA2\xE2\x80\x9A"); }))
        << reads.join(u'|').toStdString();
    EXPECT_EQ(reads.first(), QStringLiteral("A")) << "the held tail must not hold back the text before it";
}

TEST_F(SerialPortTest, ClosedPortDeliversNothing)
{
    MSComm c;
    configure(c, pty.path());
    c.setPortOpen(true);
    c.setPortOpen(false);
    EXPECT_FALSE(c.portOpen());
    pty.write("late");
    QCoreApplication::processEvents();
    EXPECT_EQ(c.inBufferCount(), 0);
    EXPECT_EQ(c.input(), QString());
}

// --- device loss ----------------------------------------------------------

TEST_F(SerialPortTest, LostDeviceIsThrownOnceAfterTheTextBeforeIt)
{
    MSComm c;
    configure(c, pty.path());
    // Reads like the receive loop: everything waiting, then the failure.
    QStringList texts;
    std::vector<int> failures;
    int events = 0;
    QObject::connect(&c, &MSComm::OnComm, [&] {
        ++events;
        try {
            texts << c.input();
        } catch (const RuntimeError &e) {
            failures.push_back(e.number());
        }
    });
    // No receive events: the text is still waiting when the device goes.
    c.setRThreshold(0);
    c.setPortOpen(true);
    pty.write("before");
    ASSERT_TRUE(pumpUntil([&] { return c.inBufferCount() == 6; }));
    pty.closeMaster();

    ASSERT_TRUE(pumpUntil([&] { return !failures.empty(); }));
    EXPECT_EQ(failures, std::vector<int>{err::DeviceLost});
    EXPECT_EQ(texts, QStringList{QStringLiteral("before")});
    EXPECT_FALSE(c.portOpen());

    // No storm of events from the hung-up descriptor afterwards.
    const int seen = events;
    pumpUntil([] { return false; }, 200);
    EXPECT_EQ(events, seen);
    EXPECT_NO_THROW(c.input());
}

// --- encodings ------------------------------------------------------------

TEST(SerialEncoding, UnknownEncodingIsAStartUpErrorNamingTheVariable)
{
    for (const char *value : {"no-such-code-page", "UTF-16", "ISO-2022-JP"}) {
        EncodingVariable encoding(value);
        try {
            MSComm c;
            ADD_FAILURE() << value << " was accepted";
        } catch (const RuntimeError &e) {
            EXPECT_EQ(e.number(), err::InvalidPropertyValue) << value;
            EXPECT_TRUE(e.description().startsWith(QStringLiteral("SCNFERRY_ENCODING=%1:").arg(QLatin1String(value))))
                << e.what();
        }
    }
}

TEST_F(SerialPortTest, LegacyScanSplitInsideACharacterArrivesWhole)
{
    EncodingVariable sjis("Shift_JIS");
    MSComm c;
    QString received;
    openCollecting(c, pty.path(), received);
    // The cut falls inside the second kanji; the line is legacy from its
    // first byte on, so the first one goes at once.
    pty.write("\x93\x8C\x8B");
    ASSERT_TRUE(pumpUntil([&] { return received == QString::fromUtf8("\xE6\x9D\xB1"); })) << received.toStdString();
    pty.write("\x9E\r");
    ASSERT_TRUE(pumpUntil([&] { return received.endsWith(u'\r'); }));
    EXPECT_EQ(received, QString::fromUtf8("\xE6\x9D\xB1\xE4\xBA\xAC\r"));
}

TEST_F(SerialPortTest, LeadByteEndingTheLineComesAfterTheWaitAndTheNextLineIsDecidedAfresh)
{
    EncodingVariable sjis("Shift_JIS");
    MSComm c;
    QString received;
    openCollecting(c, pty.path(), received);
    pty.write("\x93\x8C\x93");
    ASSERT_TRUE(pumpUntil([&] { return received.endsWith(QChar::ReplacementCharacter); })) << received.toStdString();
    EXPECT_EQ(received, QString::fromUtf8("\xE6\x9D\xB1\xEF\xBF\xBD"));
    // C3 A4 would be two half-width katakana on a Shift_JIS line; the line
    // ended with the wait, and this one is UTF-8.
    pty.write("\xC3\xA4\r");
    ASSERT_TRUE(pumpUntil([&] { return received.endsWith(u'\r'); }));
    EXPECT_TRUE(received.endsWith(QString::fromUtf8("\xC3\xA4\r"))) << received.toStdString();
}

} // namespace
