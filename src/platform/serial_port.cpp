// SPDX-License-Identifier: MIT
#include "platform/serial_port.h"

#include "platform/error.h"
#include "platform/text_decoder.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSerialPort>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

const QString kDefaultSettings = QStringLiteral("9600,N,8,1");

void warn(const QString &text)
{
    std::fprintf(stderr, "ScnFerry: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

RuntimeError invalidPropertyValue()
{
    return RuntimeError(err::InvalidPropertyValue, QStringLiteral("Invalid property value"));
}

RuntimeError invalidPort()
{
    return RuntimeError(err::PortInvalid, QStringLiteral("Invalid port number"));
}

RuntimeError portBusy(const QString &port)
{
    return RuntimeError(err::PortAlreadyOpen, QStringLiteral("%1 is in use by another program").arg(port));
}

std::optional<std::int32_t> parsePositiveInt(QStringView field)
{
    if (field.isEmpty())
        return std::nullopt;
    std::int64_t value = 0;
    for (const QChar c : field) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    if (value <= 0)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

QSerialPort::Parity toQt(char parity)
{
    switch (parity) {
    case 'E': return QSerialPort::EvenParity;
    case 'O': return QSerialPort::OddParity;
    case 'M': return QSerialPort::MarkParity;
    case 'S': return QSerialPort::SpaceParity;
    default: return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits toQt(SerialSettings::StopBits stopBits)
{
    switch (stopBits) {
    case SerialSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    case SerialSettings::StopBits::OneAndHalf:
#if defined(Q_OS_WIN)
        return QSerialPort::OneAndHalfStop;
#else
        // termios has no 1.5 stop bits; we only receive, and a receiver set
        // to one stop bit reads a longer stop bit correctly.
        return QSerialPort::OneStop;
#endif
    case SerialSettings::StopBits::One:
        break;
    }
    return QSerialPort::OneStop;
}

// ---------------------------------------------------------------------------
// The platform's half: naming COMn, holding the device exclusively, and
// telling a hung-up device from a spurious read error.
#if defined(Q_OS_UNIX)

QString comPortPath(std::int16_t n)
{
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

// A descriptor of its own on the device, locked with flock(). QSerialPort's
// TIOCEXCL does not stop root, and its lock file is keyed by the name it was
// given and taken over once it looks stale; a lock on the device node itself
// holds for every user and every name of the device. It is taken before
// QSerialPort opens, so a second opener fails before it can touch the line
// settings of the first.
class DeviceGuard {
public:
    DeviceGuard() = default;
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;
    ~DeviceGuard() { release(); }

    // Throws the open failure.
    void acquire(const QString &path, const QString &port)
    {
        release();
        const QByteArray native = QFile::encodeName(path);
        const int fd = ::open(native.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw openFailure(errno, port, QFileInfo(path).group());
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                throw portBusy(port);
            throw openFailure(error, port, QString());
        }
        m_fd = fd;
    }

    void release()
    {
        if (m_fd >= 0) {
            ::close(m_fd); // also drops the flock
            m_fd = -1;
        }
    }

    // A hung-up tty (adapter unplugged, pty master closed) polls as HUP/ERR
    // for good; a passing read error does not.
    bool deviceGone() const
    {
        if (m_fd < 0)
            return true;
        pollfd pfd{m_fd, POLLIN, 0};
        int rc = 0;
        do {
            rc = ::poll(&pfd, 1, 0);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0)
            return true;
        return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

private:
    int m_fd = -1;
};

#else // Windows: the system holds COM ports exclusively itself.

QString comPortPath(std::int16_t n)
{
    return QStringLiteral("COM%1").arg(n);
}

class DeviceGuard {
public:
    void acquire(const QString &, const QString &) {}
    void release() {}
    bool deviceGone() const { return true; }
};

#endif

} // namespace

// ---------------------------------------------------------------------------

std::optional<SerialSettings> parseSerialSettings(QStringView text)
{
    const auto fields = text.split(u',');
    if (fields.size() != 4)
        return std::nullopt;

    SerialSettings s;
    const auto baud = parsePositiveInt(fields[0].trimmed());
    if (!baud)
        return std::nullopt;
    s.baudRate = *baud;

    const QStringView parity = fields[1].trimmed();
    // ASCII only: Unicode case mapping turns U+017F (long s) into 'S'.
    if (parity.size() != 1 || parity.front().unicode() > 0x7F)
        return std::nullopt;
    const char p = static_cast<char>(parity.front().toUpper().toLatin1());
    if (p != 'N' && p != 'E' && p != 'O' && p != 'M' && p != 'S')
        return std::nullopt;
    s.parity = p;

    const auto data = parsePositiveInt(fields[2].trimmed());
    if (!data || *data < 5 || *data > 8)
        return std::nullopt;
    s.dataBits = *data;

    const QStringView stop = fields[3].trimmed();
    if (stop == u"1")
        s.stopBits = SerialSettings::StopBits::One;
    else if (stop == u"1.5")
        s.stopBits = SerialSettings::StopBits::OneAndHalf;
    else if (stop == u"2")
        s.stopBits = SerialSettings::StopBits::Two;
    else
        return std::nullopt;
    return s;
}

int tailWaitMs(const SerialSettings &settings)
{
    // A UTF-8 sequence has at most three more bytes; allow one extra.
    constexpr double kCharacters = 4.0;
    // FTDI-style adapters hold a short packet up to 16 ms before sending it.
    constexpr int kMinimumMs = 20;
    const double stopBits = settings.stopBits == SerialSettings::StopBits::One ? 1.0 : 2.0;
    const double bitsPerChar = 1.0 + settings.dataBits + (settings.parity == 'N' ? 0.0 : 1.0) + stopBits;
    const double ms = std::ceil(kCharacters * bitsPerChar * 1000.0 / settings.baudRate);
    // Anything slower than a few seconds is not a real line; cap it.
    return std::clamp(static_cast<int>(std::min(ms, 5000.0)), kMinimumMs, 5000);
}

RuntimeError openFailure(int systemError, const QString &port, const QString &group)
{
    switch (systemError) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: // a COMn node whose UART is absent
        return invalidPort();
    case EBUSY:
        return portBusy(port);
    case EACCES:
    case EPERM: {
        const QString g = (group.isEmpty() || group == u"root") ? QStringLiteral("dialout") : group;
        return RuntimeError(err::PortPermission,
                            QStringLiteral("Permission denied: add yourself to the %1 group "
                                           "(sudo usermod -aG %1 $USER, then log in again)")
                                .arg(g));
    }
    default:
        return RuntimeError(err::PortOpenFailed,
                            QStringLiteral("Cannot open %1: %2").arg(port, qt_error_string(systemError)));
    }
}

// ---------------------------------------------------------------------------

struct MSComm::Impl {
    // Throws the start-up error for an unusable SCNFERRY_ENCODING.
    explicit Impl(MSComm *owner) : q(owner), m_encoding(systemTextEncoding()), m_decoder(m_encoding) {}

    MSComm *q;
    QSerialPort m_port;
    DeviceGuard m_guard;
    TextEncoding m_encoding;
    ByteDecoder m_decoder;
    bool m_notUtf8Reported = false;
    QTimer m_tailTimer;

    std::int16_t m_commPort = 1;
    QString m_devicePath;
    QString m_settingsText = kDefaultSettings;
    SerialSettings m_settings;
    std::int16_t m_inputLen = 0;
    std::int16_t m_rThreshold = 0;
    std::int16_t m_inBufferSize = 1024;
    std::int16_t m_commEvent = 0;

    bool m_running = false;           // open and healthy
    bool m_readingHeld = false;       // the reader has more than it can take
    bool m_onCommQueued = false;
    bool m_readErrorSeen = false;
    QString m_pending;                // decoded, waiting for input()
    std::optional<RuntimeError> m_loss;
    bool m_lossAnnounced = false;     // OnComm for the loss went out

    QString portLabel() const
    {
        return m_devicePath.isEmpty() ? QStringLiteral("COM%1").arg(m_commPort) : m_devicePath;
    }

    // Before opening QSerialPort only records the values; on an open port it
    // applies them at once and reports whether the device took them.
    bool applySettings()
    {
        m_tailTimer.setInterval(tailWaitMs(m_settings));
        bool ok = m_port.setBaudRate(m_settings.baudRate);
        ok = m_port.setDataBits(static_cast<QSerialPort::DataBits>(m_settings.dataBits)) && ok;
        ok = m_port.setParity(toQt(m_settings.parity)) && ok;
        ok = m_port.setStopBits(toQt(m_settings.stopBits)) && ok;
        ok = m_port.setFlowControl(QSerialPort::NoFlowControl) && ok;
        return ok;
    }

    void open()
    {
        QString path;
        if (!m_devicePath.isEmpty()) {
            path = m_devicePath;
        } else {
            if (m_commPort <= 0)
                throw invalidPort();
            path = comPortPath(m_commPort);
        }

#if defined(Q_OS_UNIX)
        // One device reached by two names must still be locked once.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty())
            throw invalidPort();
        path = canonical;
#endif
        const QString label = portLabel();
        m_guard.acquire(path, label);

        m_port.setPortName(path);
        applySettings();
        if (!m_port.open(QIODevice::ReadOnly)) {
            const QSerialPort::SerialPortError e = m_port.error();
            const QString reason = m_port.errorString();
            m_port.clearError();
            m_guard.release();
            switch (e) {
            case QSerialPort::DeviceNotFoundError:
                throw invalidPort();
            case QSerialPort::PermissionError:
                // The device itself opened above, so what failed is the
                // lock file another program holds.
                throw portBusy(label);
            default:
                throw RuntimeError(err::PortOpenFailed, QStringLiteral("Cannot open %1: %2").arg(label, reason));
            }
        }
        // Many scanners send only while DTR (and some while RTS) is
        // asserted. Ptys and some adapters have no modem lines; that is no
        // reason to refuse the port.
        m_port.setDataTerminalReady(true);
        m_port.setRequestToSend(true);
        m_port.clearError();

        resetReceiveState();
        m_running = true;
    }

    void close()
    {
        m_running = false;
        if (m_port.isOpen())
            m_port.close();
        m_guard.release();
        resetReceiveState();
    }

    void resetReceiveState()
    {
        m_pending.clear();
        m_decoder.reset();
        m_tailTimer.stop();
        m_loss.reset();
        m_lossAnnounced = false;
        m_readErrorSeen = false;
    }

    // Moves what QSerialPort has buffered into `pending`. Also called from
    // the getters: while a handler pumps events nested in QSerialPort's own
    // read notification, Qt buffers data without emitting readyRead.
    void drain()
    {
        if (!m_port.isOpen())
            return;
        const QByteArray bytes = m_port.readAll();
        if (bytes.isEmpty())
            return;
        m_readErrorSeen = false;
        m_pending += m_decoder.decode(bytes);
        reportReplaced();
        // Held bytes, and a line taken as legacy text, end once the line
        // has been quiet for the wait.
        if (m_decoder.lineOpen())
            m_tailTimer.start();
        else
            m_tailTimer.stop();
    }

    // Undecodable bytes were typed as U+FFFD: say so, once per scan; with the
    // fallback turned off, once in all.
    void reportReplaced()
    {
        const qsizetype n = m_decoder.takeReplaced();
        if (n == 0)
            return;
        if (m_encoding.legacy.isEmpty()) {
            if (std::exchange(m_notUtf8Reported, true))
                return;
            warn(QStringLiteral("received bytes that are not UTF-8 were typed as U+FFFD (%1 in this scan); "
                                "SCNFERRY_ENCODING=UTF-8 turns off the fallback to a legacy code page. "
                                "Not reported again.")
                     .arg(n));
            return;
        }
        const QString codePage = QString::fromLatin1(m_decoder.legacyName());
        const QString why = m_encoding.source == u"SCNFERRY_ENCODING"
                                ? QStringLiteral("chosen with SCNFERRY_ENCODING")
                                : QStringLiteral("the code page of the locale %1").arg(m_encoding.source);
        warn((n == 1 ? QStringLiteral("1 byte sequence of a scan is no %1 character and was typed as U+FFFD")
                           .arg(codePage)
                     : QStringLiteral("%1 byte sequences of a scan are no %2 characters and were typed as U+FFFD")
                           .arg(n)
                           .arg(codePage)) +
             QStringLiteral(" (%1 is %2; if the scanner sends another encoding, name it in SCNFERRY_ENCODING).")
                 .arg(codePage, why));
    }

    void onReadyRead()
    {
        if (!m_running || m_readingHeld)
            return;
        drain();
        queueOnComm();
    }

    void onTailTimeout()
    {
        m_pending += m_decoder.flush();
        reportReplaced();
        queueOnComm();
    }

    // OnComm leaves the read notification first, so the handler's event pump
    // runs at the top of the event loop rather than nested inside Qt's read.
    void queueOnComm()
    {
        if (m_onCommQueued)
            return;
        m_onCommQueued = true;
        QMetaObject::invokeMethod(q, [this] { deliverOnComm(); }, Qt::QueuedConnection);
    }

    void deliverOnComm()
    {
        m_onCommQueued = false;
        const bool thresholdMet = m_rThreshold > 0 && m_pending.size() >= m_rThreshold;
        if (!thresholdMet)
            return;
        m_commEvent = comm::EvReceive;
        Q_EMIT q->OnComm();
    }

    void onError(QSerialPort::SerialPortError error)
    {
        if (!m_running)
            return;
        if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
            return;
        // A hung-up tty reads 0 bytes over and over and Qt reports each as a
        // ReadError with a stale errno. Take the first one that comes with a
        // hang-up, or a second one in a row, as the end of the device.
        if (error == QSerialPort::ReadError && !m_guard.deviceGone() && !m_readErrorSeen) {
            m_readErrorSeen = true;
            return;
        }
        const QString reason = error == QSerialPort::ResourceError && !m_port.errorString().isEmpty()
                                   ? m_port.errorString()
                                   : QStringLiteral("the device was disconnected");
        m_running = false;
        drain();
        m_pending += m_decoder.flush();
        reportReplaced();
        m_tailTimer.stop();
        m_loss.emplace(err::DeviceLost, reason);
        // Closing inside Qt's own read notification would delete the notifier
        // under it; finish on the next turn of the event loop.
        QMetaObject::invokeMethod(q, [this] { finishLoss(); }, Qt::QueuedConnection);
    }

    void finishLoss()
    {
        if (!m_loss || m_running)
            return; // closed or reopened meanwhile
        if (m_port.isOpen())
            m_port.close();
        m_guard.release();
        m_lossAnnounced = true;
        // The loss is delivered even with RThreshold 0: the program must learn of it.
        m_commEvent = comm::EvReceive;
        Q_EMIT q->OnComm();
    }

    QString take()
    {
        drain();
        if (!m_pending.isEmpty()) {
            qsizetype n = m_pending.size();
            if (m_inputLen > 0 && m_inputLen < n) {
                n = m_inputLen;
                // Never split a surrogate pair.
                if (m_pending.at(n - 1).isHighSurrogate())
                    n = n > 1 ? n - 1 : n + 1;
            }
            QString text = m_pending.left(n);
            m_pending.remove(0, n);
            // Text received before the loss goes first; make sure the reader
            // comes back for the loss itself.
            if (m_pending.isEmpty() && m_loss && m_lossAnnounced)
                QMetaObject::invokeMethod(q, [this] { finishLossAgain(); }, Qt::QueuedConnection);
            return text;
        }
        if (m_loss) {
            const RuntimeError error = *m_loss;
            m_loss.reset();
            m_lossAnnounced = false;
            throw error;
        }
        return {};
    }

    void finishLossAgain()
    {
        if (!m_loss || m_running)
            return;
        m_commEvent = comm::EvReceive;
        Q_EMIT q->OnComm();
    }
};

MSComm::MSComm(QObject *parent) : QObject(parent), d(std::make_unique<Impl>(this))
{
    d->m_settings = *parseSerialSettings(kDefaultSettings);
    d->m_tailTimer.setSingleShot(true);
    d->m_tailTimer.setInterval(tailWaitMs(d->m_settings));
    connect(&d->m_tailTimer, &QTimer::timeout, this, [this] { d->onTailTimeout(); });
    connect(&d->m_port, &QSerialPort::readyRead, this, [this] { d->onReadyRead(); });
    connect(&d->m_port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError e) { d->onError(e); });
}

MSComm::~MSComm()
{
    d->close();
}

void MSComm::setCommPort(std::int16_t n)
{
    if (d->m_running)
        throw RuntimeError(err::PortAlreadyOpen, QStringLiteral("Port already open"));
    d->m_commPort = n;
    d->m_devicePath.clear();
}

std::int16_t MSComm::commPort() const
{
    return d->m_commPort;
}

void MSComm::setDevicePath(const QString &path)
{
    if (d->m_running)
        throw RuntimeError(err::PortAlreadyOpen, QStringLiteral("Port already open"));
    d->m_devicePath = path;
}

QString MSComm::devicePath() const
{
    return d->m_devicePath;
}

void MSComm::setSettings(const QString &settings)
{
    const auto parsed = parseSerialSettings(settings);
    if (!parsed)
        throw invalidPropertyValue();
    d->m_settings = *parsed;
    d->m_settingsText = settings;
    if (!d->applySettings() && d->m_running) {
        d->m_port.clearError();
        throw invalidPropertyValue();
    }
}

QString MSComm::settings() const
{
    return d->m_settingsText;
}

void MSComm::setInputLen(std::int16_t n)
{
    if (n < 0)
        throw invalidPropertyValue();
    d->m_inputLen = n;
}

void MSComm::setRThreshold(std::int16_t n)
{
    if (n < 0)
        throw invalidPropertyValue();
    d->m_rThreshold = n;
}

void MSComm::setInBufferSize(std::int16_t n)
{
    // Kept for the record only: received text is never limited, so a large
    // burst is not cut short.
    if (n <= 0)
        throw invalidPropertyValue();
    d->m_inBufferSize = n;
}

std::int16_t MSComm::inBufferCount() const
{
    d->drain();
    return static_cast<std::int16_t>(std::min<qsizetype>(d->m_pending.size(), std::numeric_limits<std::int16_t>::max()));
}

void MSComm::setInBufferCount(std::int16_t n)
{
    if (n != 0)
        throw invalidPropertyValue();
    if (d->m_port.isOpen()) {
        d->m_port.clear(QSerialPort::Input);
        d->m_port.readAll();
        d->m_port.clearError();
    }
    d->m_pending.clear();
    d->m_decoder.reset();
    d->m_tailTimer.stop();
}

void MSComm::setPortOpen(bool open)
{
    if (!open) {
        d->close();
        return;
    }
    if (d->m_running)
        throw RuntimeError(err::PortAlreadyOpen, QStringLiteral("Port already open"));
    d->close();
    d->open();
}

bool MSComm::portOpen() const
{
    return d->m_running;
}

QString MSComm::input()
{
    return d->take();
}

std::int16_t MSComm::commEvent() const
{
    return d->m_commEvent;
}

void MSComm::setReadingHeld(bool held)
{
    if (held == d->m_readingHeld)
        return;
    d->m_readingHeld = held;
    // Qt stops reading the descriptor once its own buffer is this full.
    d->m_port.setReadBufferSize(held ? 4096 : 0);
    if (!held && d->m_running) {
        d->drain();
        d->queueOnComm();
    }
}

bool MSComm::readingHeld() const
{
    return d->m_readingHeld;
}

} // namespace platform
