// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace platform {

class RuntimeError;

// A parsed "baud,parity,data,stop" text.
struct SerialSettings {
    enum class StopBits { One, OneAndHalf, Two };
    std::int32_t baudRate = 9600;
    char parity = 'N';          // upper case: N E O M S
    int dataBits = 8;           // 5..8
    StopBits stopBits = StopBits::One;
};

// Accepts blanks around each field, nothing else: any positive baud rate
// (custom rates included), parity N E O M S in either case, 5 to 8 data bits,
// 1, 1.5 or 2 stop bits. Empty when the text is malformed.
std::optional<SerialSettings> parseSerialSettings(QStringView text);

// How long held bytes (an incomplete character, a line not yet known to be
// UTF-8 or legacy text) wait for the rest of their line before they are
// decided: a few character times at the line's speed, but never less than
// the latency of common USB serial adapters.
int tailWaitMs(const SerialSettings &settings);

// The error for a system error number met while opening `port` (the name the
// user knows, "COM3" or a device path). `group` owns the device node.
RuntimeError openFailure(int systemError, const QString &port, const QString &group);

// Events reported through CommEvent.
namespace comm {
inline constexpr std::int16_t EvReceive = 2;   // characters were received
} // namespace comm

// The serial control: the property surface the logic uses, on QSerialPort.
// Every setter and getter may throw RuntimeError (number + description).
// Received bytes are decoded to text line by line (UTF-8, else the legacy
// code page of the locale or SCNFERRY_ENCODING; see ByteDecoder); OnComm is
// emitted on the GUI thread, from the event loop.
class MSComm : public QObject {
    Q_OBJECT
public:
    // Throws RuntimeError 380 naming SCNFERRY_ENCODING when it names no
    // usable encoding.
    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    // COMn: /dev/ttyS{n-1} on Linux, COMn on Windows. Resets DevicePath.
    void setCommPort(std::int16_t n);
    std::int16_t commPort() const;
    // A device path opened as it stands (symlinks resolved at opening).
    // Overrides CommPort while not empty.
    void setDevicePath(const QString &path);
    QString devicePath() const;

    // "baud,parity,data,stop"; throws 380 "Invalid property value" when malformed.
    void setSettings(const QString &settings);
    QString settings() const;

    void setInputLen(std::int16_t n);
    void setRThreshold(std::int16_t n);
    void setInBufferSize(std::int16_t n);

    // Characters waiting to be read by Input. Setting 0 discards them.
    std::int16_t inBufferCount() const;
    void setInBufferCount(std::int16_t n);

    // True opens with CommPort/DevicePath and Settings or throws; False closes.
    void setPortOpen(bool open);
    bool portOpen() const;

    // Takes the waiting text (InputLen characters, all when 0). After the
    // device was lost, throws that loss (DeviceLost, "the device was
    // disconnected" or the system's reason) once.
    QString input();

    // The kind of the latest event (comm::EvReceive for received characters).
    std::int16_t commEvent() const;

    // While held, nothing more is read from the device beyond a few
    // kilobytes: the system's buffer fills and holds the sender back (a pty
    // writer blocks, a USB CDC device is not polled), instead of the program
    // taking in text faster than it can type it. OnComm comes again once
    // released, when text waits.
    void setReadingHeld(bool held);
    bool readingHeld() const;

Q_SIGNALS:
    void OnComm();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform
