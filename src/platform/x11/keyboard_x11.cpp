// SPDX-License-Identifier: MIT
#include "platform/x11/keyboard_x11.h"

#include "platform/error.h"
#include "platform/x11/x11_keyplan.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QTimer>
#include <QtGlobal>

// After Qt: Xlib defines macros (Bool, Status) that Qt headers refuse.
#include "platform/x11/x11_guard.h"
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace platform {

namespace {

using x11::ErrorTrap;
using Clock = std::chrono::steady_clock;

// How long a client may take to read a changed key binding. Clients fetch
// the new keymap when they handle the change notification, which waits in
// their queue behind every key sent before it; so a spare key is changed
// again, or reset, only after it has been idle for a base time plus an
// allowance for each keystroke of the backlog.
constexpr std::chrono::milliseconds kSpareGrace{500};
constexpr std::chrono::microseconds kGracePerStroke{1000};
constexpr std::chrono::milliseconds kMaxGrace{20000};
// Changing a key's type resizes its actions too, so they come along.
constexpr unsigned kChangeParts = XkbKeyTypesMask | XkbKeySymsMask | XkbKeyActionsMask;
// Leaving at exit: bindings left behind only take spare keys away, so the
// wait for the grace period is short.
constexpr std::chrono::milliseconds kMaxExitWait{2000};
// Keys sent before the server is asked to catch up.
constexpr std::size_t kKeysAhead = 64;

QString tr(const char *text)
{
    return QCoreApplication::translate("X11Keyboard", text);
}

struct DisplayCloser {
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XkbDescDeleter {
    void operator()(XkbDescPtr d) const { XkbFreeKeyboard(d, 0, True); }
};
using XkbDescHolder = std::unique_ptr<XkbDescRec, XkbDescDeleter>;

// The XTest slave keyboard: its keymap is the one the server applies to the
// keys we send, even where a physical keyboard has a keymap of its own.
int xtestKeyboardId(Display *d)
{
    int opcode = 0, event = 0, error = 0;
    if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error))
        return XkbUseCoreKbd;
    int major = 2, minor = 0;
    if (XIQueryVersion(d, &major, &minor) != Success)
        return XkbUseCoreKbd;
    int count = 0;
    XIDeviceInfo *devices = XIQueryDevice(d, XIAllDevices, &count);
    if (!devices)
        return XkbUseCoreKbd;
    int id = XkbUseCoreKbd;
    for (int i = 0; i < count; ++i) {
        if (devices[i].use == XISlaveKeyboard && devices[i].name
            && QByteArray(devices[i].name).contains("XTEST")) {
            id = devices[i].deviceid;
            break;
        }
    }
    XIFreeDeviceInfo(devices);
    return id;
}

char32_t characterOf(KeySym sym)
{
    const char32_t c = xkb_keysym_to_utf32(static_cast<xkb_keysym_t>(sym));
    return (c < 0x20 || c == 0x7f) ? 0 : c;
}

// The keys whose symbols go to the server: exactly the ones we changed.
// Xlib's own bookkeeping in XkbChangeTypesOfKey can run one past the last
// keycode, which the server refuses as a whole.
void setKeySymRange(XkbMapChangesRec &changes, std::span<const std::uint8_t> keycodes)
{
    if (keycodes.empty())
        return;
    const auto [lo, hi] = std::minmax_element(keycodes.begin(), keycodes.end());
    changes.first_key_sym = *lo;
    changes.num_key_syms = static_cast<unsigned char>(*hi - *lo + 1);
    changes.changed |= XkbKeySymsMask;
}

class X11Keyboard final : public Keyboard {
public:
    X11Keyboard(DisplayPtr display, int device) : m_display(std::move(display)), m_device(device)
    {
        x11::protectConnection(m_display.get());
        XSetIOErrorExitHandler(m_display.get(), &X11Keyboard::connectionLost, this);
        m_resetTimer.setSingleShot(true);
        QObject::connect(&m_resetTimer, &QTimer::timeout, &m_resetTimer, [this] { onResetTimer(); });
    }

    ~X11Keyboard() override
    {
        m_resetTimer.stop();
        x11::releaseConnection(m_display.get());
        if (m_lost) {
            // Closing a broken connection would only report the loss again.
            (void)m_display.release();
            return;
        }
        if (!m_bound.empty()) {
            std::this_thread::sleep_until(std::min(latestSafeTime(), Clock::now() + kMaxExitWait));
            try {
                resetSpareKeys();
            } catch (const RuntimeError &e) {
                qWarning("%s", e.what());
            }
        }
    }

    QString name() const override { return QStringLiteral("x11"); }

protected:
    void type(std::span<const KeyStroke> strokes) override;

private:
    // What a borrowed key of the layout carried before we bound it, to be
    // put back as it was.
    struct Original {
        unsigned char groupInfo = 0; // number of groups and out-of-range handling
        std::array<int, XkbNumKbdGroups> types{};
        int width = 0;
        std::vector<KeySym> syms; // groups x width
    };
    struct Bound {
        std::uint8_t keycode = 0;
        x11::KeySymbol keysym = 0;
        Clock::time_point safeAt; // clients know the binding by then
        std::optional<Original> original; // empty for a keycode that had no symbols
    };

    static void connectionLost(Display *, void *self)
    {
        // Returning keeps the process alive; Xlib then refuses further
        // requests on this display, and the next check reports it.
        static_cast<X11Keyboard *>(self)->m_lost = true;
    }

    Display *dpy() const { return m_display.get(); }
    [[noreturn]] void fail(const QString &what) const;
    void check(const ErrorTrap &trap, const QString &what) const;
    XkbDescHolder fetchMap(unsigned parts) const;
    x11::KeymapSnapshot readKeymap(std::vector<x11::SpareKey> &spares);
    bool bind(std::span<const x11::SpareBinding> bindings);
    bool grabbedByOthers(std::uint8_t keycode);
    static Original originalOf(XkbDescPtr xkb, std::uint8_t keycode);
    static bool putBack(XkbDescPtr xkb, std::uint8_t keycode, const Original &o, XkbMapChangesRec &changes);
    void resetSpareKeys();
    void onResetTimer();
    void noteSpareUse(const x11::KeyPlan &plan, std::vector<std::uint8_t> &used) const;
    void stampSpareUse(std::vector<std::uint8_t> &used, std::size_t strokes);
    Clock::time_point latestSafeTime() const;
    void drainBacklog(Clock::time_point now);
    Clock::duration grace() const;

    DisplayPtr m_display;
    int m_device;
    bool m_lost = false;
    std::vector<Bound> m_bound; // spare keys carrying a symbol of ours
    std::vector<std::uint8_t> m_grabbed; // keys another client grabbed: never borrowed
    // Keystrokes clients may still have to work through, assuming they
    // take one per kGracePerStroke, as of m_backlogTime.
    std::size_t m_backlog = 0;
    Clock::time_point m_backlogTime;
    // Fires in the event loop of the thread that made the keyboard (the
    // typing thread), which is the only one that touches it.
    QTimer m_resetTimer;
};

void X11Keyboard::fail(const QString &what) const
{
    if (m_lost) {
        throw RuntimeError(err::KeyboardFailed,
                           tr("The connection to the X display was lost; the keystrokes "
                              "could not be typed."));
    }
    throw RuntimeError(err::KeyboardFailed, tr("Typing through the X display failed: %1").arg(what));
}

void X11Keyboard::check(const ErrorTrap &trap, const QString &what) const
{
    if (m_lost)
        fail(what);
    if (trap.failed())
        fail(QStringLiteral("%1: %2").arg(what, trap.text()));
}

XkbDescHolder X11Keyboard::fetchMap(unsigned parts) const
{
    XkbDescHolder xkb(XkbGetMap(dpy(), parts, static_cast<unsigned>(m_device)));
    if (!xkb || !xkb->map || ((parts & XkbKeyActionsMask) && !xkb->server))
        fail(tr("the keyboard map could not be read"));
    return xkb;
}

x11::KeymapSnapshot X11Keyboard::readKeymap(std::vector<x11::SpareKey> &spares)
{
    const XkbDescHolder xkb = fetchMap(XkbKeyTypesMask | XkbKeySymsMask | XkbModifierMapMask
                                       | XkbVirtualModMapMask | XkbKeyActionsMask);
    const auto now = Clock::now();
    x11::KeymapSnapshot snap;
    spares.clear();

    // Our own bindings stay spare keys as long as nobody replaced them
    // (a new layout replaces the whole keymap).
    std::erase_if(m_bound, [&](const Bound &b) {
        const bool intact = b.keycode >= xkb->min_key_code && b.keycode <= xkb->max_key_code
                            && XkbKeyNumGroups(xkb.get(), b.keycode) == 1
                            && XkbKeyGroupWidth(xkb.get(), b.keycode, 0) == 1
                            && XkbKeySymEntry(xkb.get(), b.keycode, 0, 0) == b.keysym;
        return !intact;
    });
    for (const Bound &b : m_bound)
        spares.push_back({b.keycode, b.keysym, now >= b.safeAt});

    for (int kc = std::max<int>(xkb->min_key_code, 8); kc <= xkb->max_key_code; ++kc) {
        const auto keycode = static_cast<std::uint8_t>(kc);
        if (std::any_of(m_bound.begin(), m_bound.end(), [&](const Bound &b) { return b.keycode == keycode; }))
            continue;
        const int groups = XkbKeyNumGroups(xkb.get(), kc);
        if (groups == 0) {
            snap.emptyKeycodes.push_back(keycode);
            spares.push_back({keycode, 0, true});
            continue;
        }
        x11::KeyInfo info;
        info.keycode = keycode;
        for (int g = 0; g < groups; ++g) {
            const XkbKeyTypePtr kt = XkbKeyKeyType(xkb.get(), kc, g);
            x11::KeyGroup group;
            group.typeMask = kt->mods.mask;
            for (int e = 0; e < kt->map_count; ++e) {
                if (kt->map[e].active)
                    group.entries.push_back({kt->map[e].mods.mask, kt->map[e].level});
            }
            const int width = std::min<int>(XkbKeyGroupWidth(xkb.get(), kc, g), kt->num_levels);
            for (int l = 0; l < width; ++l) {
                const KeySym sym = XkbKeySymEntry(xkb.get(), kc, l, g);
                if (x11::keysym::isKeypad(static_cast<x11::KeySymbol>(sym)))
                    info.keypad = true;
                group.levels.push_back({static_cast<x11::KeySymbol>(sym), characterOf(sym)});
            }
            info.groups.push_back(std::move(group));
        }
        snap.numGroups = std::max(snap.numGroups, groups);

        const unsigned modmap = xkb->map->modmap ? xkb->map->modmap[kc] : 0;
        const unsigned vmodmap = xkb->server && xkb->server->vmodmap ? xkb->server->vmodmap[kc] : 0;
        info.modifier = modmap != 0 || vmodmap != 0;
        info.acts = XkbKeyHasActions(xkb.get(), kc);
        if (x11::borrowable(info)
            && std::find(m_grabbed.begin(), m_grabbed.end(), keycode) == m_grabbed.end())
            spares.push_back({keycode, 0, true, true});
        const KeySym first = XkbKeySymEntry(xkb.get(), kc, 0, 0);
        auto takeModifier = [&](x11::ModifierKey &m, unsigned mask) {
            if (!m.keycode && mask)
                m = {keycode, mask};
        };
        if (first == x11::keysym::ShiftL || first == x11::keysym::ShiftR)
            takeModifier(snap.shift, modmap & ShiftMask);
        else if (first == x11::keysym::ControlL || first == x11::keysym::ControlR)
            takeModifier(snap.control, modmap & ControlMask);
        else if (first == x11::keysym::IsoLevel3Shift)
            takeModifier(snap.levelThree, modmap & ~(ShiftMask | LockMask | ControlMask));
        snap.keys.push_back(std::move(info));
    }
    return snap;
}

bool X11Keyboard::grabbedByOthers(std::uint8_t keycode)
{
    if (std::find(m_grabbed.begin(), m_grabbed.end(), keycode) != m_grabbed.end())
        return true;
    // A passive grab of another client on the root window conflicts with
    // ours; it would take the keystrokes away from the focused window.
    const Window root = DefaultRootWindow(dpy());
    bool taken = false;
    {
        ErrorTrap probe(dpy());
        XGrabKey(dpy(), keycode, AnyModifier, root, False, GrabModeAsync, GrabModeAsync);
        XSync(dpy(), False);
        taken = probe.failed();
    }
    if (taken)
        m_grabbed.push_back(keycode);
    else
        XUngrabKey(dpy(), keycode, AnyModifier, root);
    return taken;
}

bool X11Keyboard::bind(std::span<const x11::SpareBinding> bindings)
{
    const XkbDescHolder xkb = fetchMap(kChangeParts);
    XkbMapChangesRec changes{};
    std::vector<std::optional<Original>> originals;
    bool refused = false;
    for (const x11::SpareBinding &b : bindings) {
        const bool ours = std::any_of(m_bound.begin(), m_bound.end(), [&](const Bound &x) { return x.keycode == b.keycode; });
        const bool borrowed = !ours && XkbKeyNumGroups(xkb.get(), b.keycode) > 0;
        refused = (borrowed && grabbedByOthers(b.keycode)) || refused;
        originals.push_back(borrowed ? std::optional<Original>(originalOf(xkb.get(), b.keycode)) : std::nullopt);
    }
    if (refused)
        return false; // plan again without those keys
    for (const x11::SpareBinding &b : bindings) {
        // One group, one level: no layout, Shift or Caps Lock changes what
        // the key types. XChangeKeyboardMapping would give an upper-case
        // letter the two-level type and make it lower case.
        int types[XkbNumKbdGroups] = {XkbOneLevelIndex, XkbOneLevelIndex, XkbOneLevelIndex, XkbOneLevelIndex};
        if (XkbChangeTypesOfKey(xkb.get(), b.keycode, 1, XkbGroup1Mask, types, &changes) != Success)
            fail(tr("keycode %1 could not be prepared").arg(b.keycode));
        KeySym *syms = XkbResizeKeySyms(xkb.get(), b.keycode, 1);
        if (!syms)
            fail(tr("keycode %1 could not be prepared").arg(b.keycode));
        syms[0] = b.keysym;
    }
    std::vector<std::uint8_t> keycodes;
    for (const x11::SpareBinding &b : bindings)
        keycodes.push_back(b.keycode);
    setKeySymRange(changes, keycodes);
    if (!XkbChangeMap(dpy(), xkb.get(), &changes))
        fail(tr("the keyboard map could not be changed"));
    // A round trip: the server has applied the change (or refused it, which
    // shows now rather than as wrong keys), and has told every client before
    // any key we send next. Clients handle that notification before the
    // keys queued behind it.
    {
        ErrorTrap trap(dpy());
        XSync(dpy(), False);
        check(trap, tr("changing the keyboard map"));
    }
    for (std::size_t i = 0; i < bindings.size(); ++i) {
        const x11::SpareBinding &b = bindings[i];
        auto it = std::find_if(m_bound.begin(), m_bound.end(), [&](const Bound &x) { return x.keycode == b.keycode; });
        if (it == m_bound.end()) {
            m_bound.push_back({b.keycode, b.keysym, Clock::now() + grace(), std::move(originals[i])});
        } else {
            // Rebinding keeps what the key had before our first binding.
            it->keysym = b.keysym;
            it->safeAt = Clock::now() + grace();
        }
    }
    return true;
}

X11Keyboard::Original X11Keyboard::originalOf(XkbDescPtr xkb, std::uint8_t keycode)
{
    Original o;
    o.groupInfo = XkbKeyGroupInfo(xkb, keycode);
    const int groups = XkbKeyNumGroups(xkb, keycode);
    for (int g = 0; g < groups && g < XkbNumKbdGroups; ++g)
        o.types[static_cast<std::size_t>(g)] = XkbKeyKeyTypeIndex(xkb, keycode, g);
    o.width = XkbKeyGroupsWidth(xkb, keycode);
    const KeySym *syms = XkbKeySymsPtr(xkb, keycode);
    o.syms.assign(syms, syms + XkbKeyNumSyms(xkb, keycode));
    return o;
}

// Gives a borrowed key its groups, key types and symbols back. False when
// the map no longer has the key types it used.
bool X11Keyboard::putBack(XkbDescPtr xkb, std::uint8_t keycode, const Original &o, XkbMapChangesRec &changes)
{
    const int groups = XkbNumGroups(o.groupInfo);
    if (groups < 1 || groups > XkbNumKbdGroups || o.width < 1
        || o.syms.size() != static_cast<std::size_t>(groups * o.width))
        return false;
    int types[XkbNumKbdGroups] = {};
    for (int g = 0; g < groups; ++g) {
        types[g] = o.types[static_cast<std::size_t>(g)];
        if (types[g] < 0 || types[g] >= xkb->map->num_types)
            return false;
    }
    const unsigned groupMask = (1u << groups) - 1;
    if (XkbChangeTypesOfKey(xkb, keycode, groups, groupMask, types, &changes) != Success)
        return false;
    const int width = XkbKeyGroupsWidth(xkb, keycode);
    KeySym *syms = XkbResizeKeySyms(xkb, keycode, groups * width);
    if (!syms)
        return false;
    for (int g = 0; g < groups; ++g) {
        for (int l = 0; l < width; ++l)
            syms[g * width + l] = l < o.width ? o.syms[static_cast<std::size_t>(g * o.width + l)] : NoSymbol;
    }
    xkb->map->key_sym_map[keycode].group_info = o.groupInfo;
    return true;
}

void X11Keyboard::resetSpareKeys()
{
    if (m_bound.empty() || m_lost)
        return;
    ErrorTrap trap(dpy());
    std::vector<x11::SpareKey> spares;
    (void)readKeymap(spares); // drops bindings someone else replaced
    if (m_bound.empty())
        return;
    const XkbDescHolder xkb = fetchMap(kChangeParts);
    XkbMapChangesRec changes{};
    // All keys in one change, so that clients never see half a reset.
    std::vector<std::uint8_t> keycodes;
    for (const Bound &b : m_bound) {
        keycodes.push_back(b.keycode);
        if (b.original && putBack(xkb.get(), b.keycode, *b.original, changes))
            continue;
        if (b.original)
            qWarning("X11 keyboard: keycode %d lost its original symbols: the keyboard map changed", int(b.keycode));
        int types[XkbNumKbdGroups] = {XkbOneLevelIndex, XkbOneLevelIndex, XkbOneLevelIndex, XkbOneLevelIndex};
        if (XkbChangeTypesOfKey(xkb.get(), b.keycode, 0, XkbGroup1Mask, types, &changes) != Success)
            fail(tr("keycode %1 could not be reset").arg(b.keycode));
    }
    setKeySymRange(changes, keycodes);
    m_bound.clear();
    if (!XkbChangeMap(dpy(), xkb.get(), &changes))
        fail(tr("the keyboard map could not be changed"));
    XSync(dpy(), False);
    check(trap, tr("resetting the spare keys"));
}

void X11Keyboard::onResetTimer()
{
    try {
        resetSpareKeys();
    } catch (const RuntimeError &e) {
        // Nobody to report to from a timer; the next burst reports a lost
        // connection again.
        qWarning("%s", e.what());
    }
}

void X11Keyboard::noteSpareUse(const x11::KeyPlan &plan, std::vector<std::uint8_t> &used) const
{
    for (const Bound &b : m_bound) {
        if (std::any_of(plan.keys.begin(), plan.keys.end(), [&](const x11::PlannedKey &k) { return k.keycode == b.keycode; }))
            used.push_back(b.keycode);
    }
}

// The grace period of a spare key starts once the server has its last use.
void X11Keyboard::stampSpareUse(std::vector<std::uint8_t> &used, std::size_t strokes)
{
    const auto now = Clock::now();
    drainBacklog(now);
    m_backlog += strokes;
    const auto safe = now + grace();
    for (Bound &b : m_bound) {
        if (std::find(used.begin(), used.end(), b.keycode) != used.end())
            b.safeAt = safe;
    }
    used.clear();
}

Clock::duration X11Keyboard::grace() const
{
    return std::min<Clock::duration>(kSpareGrace + kGracePerStroke * static_cast<long>(m_backlog), kMaxGrace);
}

void X11Keyboard::drainBacklog(Clock::time_point now)
{
    const auto drained = static_cast<std::size_t>(std::max<Clock::rep>((now - m_backlogTime) / kGracePerStroke, 0));
    m_backlog = drained >= m_backlog ? 0 : m_backlog - drained;
    m_backlogTime = now;
}

Clock::time_point X11Keyboard::latestSafeTime() const
{
    Clock::time_point latest = Clock::now();
    for (const Bound &b : m_bound)
        latest = std::max(latest, b.safeAt);
    return latest;
}

void X11Keyboard::type(std::span<const KeyStroke> strokes)
{
    if (strokes.empty())
        return;
    if (m_lost)
        fail(QString());
    m_resetTimer.stop();
    drainBacklog(Clock::now());
    ErrorTrap trap(dpy());

    XkbStateRec st{};
    if (XkbGetState(dpy(), XkbUseCoreKbd, &st) != Success || m_lost)
        fail(tr("the keyboard state could not be read"));
    const bool capsLocked = st.locked_mods & LockMask;
    // Caps Lock would turn the letters of layout keys into capitals.
    if (capsLocked && !XkbLockModifiers(dpy(), XkbUseCoreKbd, LockMask, 0))
        fail(tr("Caps Lock could not be switched off"));
    const x11::KeyboardState state{st.group, static_cast<unsigned>(st.base_mods | st.locked_mods) & ~unsigned(LockMask)};
    int currentGroup = st.group;

    auto restore = [&] {
        if (currentGroup != st.group)
            XkbLockGroup(dpy(), XkbUseCoreKbd, st.locked_group);
        if (capsLocked)
            XkbLockModifiers(dpy(), XkbUseCoreKbd, LockMask, LockMask);
    };

    try {
        std::size_t done = 0;
        std::vector<x11::SpareKey> spares;
        std::vector<std::uint8_t> used;
        std::size_t unsynced = 0;
        bool stopped = false;
        while (done < strokes.size() && !stopped) {
            const x11::KeymapSnapshot keymap = readKeymap(spares);
            check(trap, tr("reading the keyboard map"));
            const x11::KeyPlan plan = x11::planKeys(keymap, state, spares, strokes.subspan(done));
            if (plan.consumed == 0 && spares.empty())
                fail(tr("the keyboard map has no free keycode for the character U+%1")
                         .arg(std::uint32_t(strokes[done].ch), 4, 16, QLatin1Char('0')));
            if (!plan.bindings.empty() && !bind(plan.bindings))
                continue;
            std::size_t typed = 0;
            for (const x11::PlannedKey &k : plan.keys) {
                // Between keys, never inside one: a stop leaves nothing pressed.
                if (!proceed()) {
                    stopped = true;
                    break;
                }
                ++typed;
                // Keys queued in the socket are typed whatever happens next;
                // a short queue lets a stop take effect within a few ms.
                if (typed % kKeysAhead == 0)
                    XSync(dpy(), False);
                if (k.group != currentGroup) {
                    XkbLockGroup(dpy(), XkbUseCoreKbd, k.group);
                    currentGroup = k.group;
                }
                for (std::uint8_t m : k.modifiers) {
                    if (m)
                        XTestFakeKeyEvent(dpy(), m, True, CurrentTime);
                }
                XTestFakeKeyEvent(dpy(), k.keycode, True, CurrentTime);
                XTestFakeKeyEvent(dpy(), k.keycode, False, CurrentTime);
                for (auto m = k.modifiers.rbegin(); m != k.modifiers.rend(); ++m) {
                    if (*m)
                        XTestFakeKeyEvent(dpy(), *m, False, CurrentTime);
                }
            }
            noteSpareUse(plan, used);
            done += stopped ? typed : plan.consumed;
            unsynced += stopped ? typed : plan.consumed;
            if (!stopped && done < strokes.size()) {
                // More distinct characters than spare keys: clients must have
                // read the current bindings before a key changes again. The
                // burst waits here rather than in the event loop, where the
                // next scan could overtake it.
                XSync(dpy(), False);
                check(trap, tr("typing"));
                stampSpareUse(used, std::exchange(unsynced, 0));
                stopped = !sleepUntil(latestSafeTime());
            }
        }
        restore();
        XSync(dpy(), False);
        check(trap, tr("typing"));
        stampSpareUse(used, unsynced);
    } catch (...) {
        if (!m_lost)
            restore();
        throw;
    }
    if (!m_bound.empty())
        m_resetTimer.start(std::max(std::chrono::duration_cast<std::chrono::milliseconds>(latestSafeTime() - Clock::now()),
                                    std::chrono::milliseconds(0)));
}

} // namespace

std::unique_ptr<Keyboard> createX11Keyboard(QString *whyNot)
{
    auto reject = [whyNot](const QString &reason) -> std::unique_ptr<Keyboard> {
        if (whyNot)
            *whyNot = reason;
        return nullptr;
    };
    const QString name = qEnvironmentVariable("DISPLAY");
    if (name.isEmpty())
        return reject(tr("DISPLAY is not set, so there is no X display to type into."));

    int event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0;
    DisplayPtr display(XkbOpenDisplay(nullptr, &event, &error, &major, &minor, &reason));
    if (!display) {
        switch (reason) {
        case XkbOD_NonXkbServer:
            return reject(tr("The X display %1 has no XKEYBOARD extension.").arg(name));
        case XkbOD_BadServerVersion:
        case XkbOD_BadLibraryVersion:
            return reject(tr("The XKEYBOARD version of the X display %1 does not match the library's.").arg(name));
        default:
            return reject(tr("Cannot connect to the X display %1.").arg(name));
        }
    }
    int testMajor = 0, testMinor = 0;
    if (!XTestQueryExtension(display.get(), &event, &error, &testMajor, &testMinor))
        return reject(tr("The X display %1 has no XTEST extension, which synthesises keystrokes.").arg(name));
    const int device = xtestKeyboardId(display.get());
    return std::make_unique<X11Keyboard>(std::move(display), device);
}

void initXlibThreads()
{
    XInitThreads();
}

} // namespace platform
