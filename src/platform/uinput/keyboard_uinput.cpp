// SPDX-License-Identifier: MIT
#include "platform/uinput/keyboard_uinput.h"

#include "platform/uinput/uinput_device.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace platform {

namespace uinput {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

constexpr const char *kDeviceName = "ScnFerry virtual keyboard";

// Keys 1..247 are XKB keycodes 9..255, every key a layout can place a
// character on. Registering all of them also makes udev classify the device
// as a full keyboard (it wants the whole first row), which libinput and the
// X server require before they read it.
constexpr int kFirstKey = KEY_ESC;
constexpr int kLastKey = 255 - 8;

bool setUp(int fd, QString *whyNot)
{
    auto failed = [&](const char *step) {
        if (whyNot)
            *whyNot = QStringLiteral("the uinput keyboard could not be set up (%1): %2")
                          .arg(QLatin1String(step), systemError(errno));
        return false;
    };
    // Keys, and no EV_REP: the kernel must never repeat a key
    // that a slow reader sees held.
    if (::ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0)
        return failed("EV_KEY");
    // A Caps Lock light, so that the compositor or X server tells this
    // device when Caps Lock is switched (read back in type()).
    if (::ioctl(fd, UI_SET_EVBIT, EV_LED) < 0 || ::ioctl(fd, UI_SET_LEDBIT, LED_CAPSL) < 0)
        return failed("Caps Lock light");
    for (int key = kFirstKey; key <= kLastKey; ++key) {
        if (::ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return failed("key bits");
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x5346; // "SF"
    setup.id.product = 0x0001;
    setup.id.version = 1;
    std::strncpy(setup.name, kDeviceName, sizeof setup.name - 1);
    if (::ioctl(fd, UI_DEV_SETUP, &setup) < 0) {
        if (errno != EINVAL && errno != ENOTTY)
            return failed("UI_DEV_SETUP");
        // Kernels before 4.5 take the description as a write().
        uinput_user_dev legacy{};
        legacy.id = setup.id;
        std::strncpy(legacy.name, kDeviceName, sizeof legacy.name - 1);
        const ssize_t n = ::write(fd, &legacy, sizeof legacy);
        if (n != static_cast<ssize_t>(sizeof legacy))
            return failed("device description");
    }
    if (::ioctl(fd, UI_DEV_CREATE) < 0)
        return failed("UI_DEV_CREATE");
    return true;
}

template <typename Predicate>
bool pollUntil(std::chrono::steady_clock::time_point deadline, Predicate ready)
{
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Readers (the compositor's libinput, the X server) open a new device when
// udev announces it, after its rules ran; keys written before that are lost.
// Wait for the event node, then for udev's record of it, bounded; where udev
// keeps no records, wait the bound out.
void settle(int fd)
{
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + 1s;

    std::array<char, 64> sysname{};
    if (::ioctl(fd, UI_GET_SYSNAME(sysname.size() - 1), sysname.data()) < 0) {
        std::this_thread::sleep_until(start + 300ms);
        return;
    }
    const fs::path sysDir = fs::path("/sys/devices/virtual/input") / sysname.data();
    std::string devNumbers;
    const bool haveNode = pollUntil(deadline, [&] {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(sysDir, ec)) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("event"))
                continue;
            std::ifstream dev(entry.path() / "dev");
            if (dev >> devNumbers)
                return true;
        }
        return false;
    });
    std::error_code ec;
    if (!haveNode || !fs::is_directory("/run/udev/data", ec)) {
        std::this_thread::sleep_until(start + 300ms);
        return;
    }
    const fs::path record = fs::path("/run/udev/data") / ("c" + devNumbers);
    pollUntil(deadline, [&] {
        std::error_code e;
        return fs::exists(record, e);
    });
    // Announced; the readers open it within a few of their loop turns.
    std::this_thread::sleep_for(50ms);
}

} // namespace

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

UniqueFd createUinputDevice(QString *whyNot)
{
    auto fail = [&](const QString &reason) {
        if (whyNot)
            *whyNot = reason;
        return UniqueFd();
    };
    int openError = ENOENT;
    UniqueFd fd;
    for (const char *path : {"/dev/uinput", "/dev/input/uinput"}) {
        fd = UniqueFd(::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC));
        // Reading only brings the Caps Lock light; typing needs just write.
        if (!fd && errno == EACCES)
            fd = UniqueFd(::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd)
            break;
        // A permission problem on the first path is the one to report.
        if (openError == ENOENT)
            openError = errno;
    }
    if (!fd) {
        switch (openError) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return fail(QStringLiteral("/dev/uinput does not exist: load the uinput kernel module "
                                       "(sudo modprobe uinput) and install "
                                       "dist/modules-load/scnferry-uinput.conf to load it at boot "
                                       "(see docs/UINPUT.md)"));
        case EACCES:
        case EPERM:
            return fail(QStringLiteral("no permission to write /dev/uinput: install the udev rule "
                                       "dist/udev/60-scnferry-uinput.rules, join its group "
                                       "(sudo usermod -aG uinput $USER) and log in again "
                                       "(see docs/UINPUT.md)"));
        default:
            return fail(QStringLiteral("/dev/uinput could not be opened: %1").arg(systemError(openError)));
        }
    }
    if (!setUp(fd.get(), whyNot))
        return UniqueFd();
    settle(fd.get());
    return fd;
}

UinputKeyboard::UinputKeyboard(UniqueFd fd, Target target, LayoutKeys layout, Pacing pacing)
    : m_fd(std::move(fd)), m_target(target), m_layout(std::move(layout)), m_writer(m_fd.get(), pacing)
{
    // The kernel keeps only the last 16 events the readers send to the
    // device and loses them all when that many pile up: take them as they
    // come while the event loop runs, not only before a burst.
    const int mode = ::fcntl(m_fd.get(), F_GETFL);
    if (m_target == Target::Device && mode >= 0 && (mode & O_ACCMODE) == O_RDWR && QCoreApplication::instance()) {
        m_lights = std::make_unique<QSocketNotifier>(m_fd.get(), QSocketNotifier::Read);
        QObject::connect(m_lights.get(), &QSocketNotifier::activated, m_lights.get(), [this] { readLights(); });
    }
}

UinputKeyboard::~UinputKeyboard()
{
    // Closing the descriptor removes the device too; destroying it first
    // lets the readers see it leave in order.
    if (m_target == Target::Device && m_fd)
        (void)::ioctl(m_fd.get(), UI_DEV_DESTROY);
}

void UinputKeyboard::type(std::span<const KeyStroke> strokes)
{
    readLights();
    // Planned in full first: nothing is written when any character fails.
    const std::vector<EventGroup> groups = planEvents(strokes, m_layout, m_capsLock);
    // Each group is a whole keystroke: stopping between groups leaves no
    // key or modifier pressed.
    m_writer.write(groups, [this](PaceGate::Clock::time_point at) { return sleepUntil(at) && proceed(); });
}

void UinputKeyboard::readLights()
{
    // Everything queued since the last burst; the last word counts. A
    // descriptor that cannot be read (a pipe's write end) reports nothing.
    std::array<input_event, 16> events{};
    for (;;) {
        const ssize_t n = ::read(m_fd.get(), events.data(), sizeof events);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && m_lights)
            m_lights->setEnabled(false); // would fire for ever
        if (n < static_cast<ssize_t>(sizeof(input_event)))
            return;
        const std::size_t count = static_cast<std::size_t>(n) / sizeof(input_event);
        for (std::size_t i = 0; i < count; ++i) {
            if (events[i].type == EV_LED && events[i].code == LED_CAPSL)
                m_capsLock = events[i].value != 0;
        }
    }
}

} // namespace uinput

std::unique_ptr<Keyboard> createUinputKeyboard(QString *whyNot)
{
    QString reason;
    auto layout = uinput::LayoutKeys::fromNames(uinput::keymapNamesOfThisSystem(), &reason);
    if (!layout) {
        if (whyNot)
            *whyNot = reason;
        return nullptr;
    }
    uinput::UniqueFd fd = uinput::createUinputDevice(&reason);
    if (!fd) {
        if (whyNot)
            *whyNot = reason;
        return nullptr;
    }
    return std::make_unique<uinput::UinputKeyboard>(std::move(fd), uinput::UinputKeyboard::Target::Device,
                                                    std::move(*layout), uinput::kDevicePacing);
}

} // namespace platform
