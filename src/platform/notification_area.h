// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;

namespace platform {

// Mouse-message numbers the icon's notifications arrive as.
namespace wm {
inline constexpr int MouseMove = 0x200;      // 512
inline constexpr int LButtonDown = 0x201;    // 513
inline constexpr int LButtonUp = 0x202;      // 514
inline constexpr int LButtonDblClk = 0x203;  // 515
inline constexpr int RButtonDown = 0x204;    // 516
inline constexpr int RButtonUp = 0x205;      // 517
inline constexpr int MButtonUp = 0x208;      // 520
} // namespace wm

// The desktop's notification area: one icon with a tooltip and a menu.
// What the user does with the icon comes back as a mouse-message number.
class NotificationArea : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether the desktop shows icons at all.
    virtual bool available() const = 0;
    // Shows the icon (again). Hosts that draw the menu themselves take it
    // from here; the others ask for it with RButtonUp.
    virtual void add(const QIcon &icon, const QString &tip, QMenu *menu) = 0;
    // Removes the icon; nothing happens when there is none.
    virtual void remove() = 0;
    virtual bool shown() const = 0;
    // A passing message from the icon, where it is shown; returns whether
    // the desktop was given it.
    virtual bool notify(const QString &title, const QString &message) = 0;

Q_SIGNALS:
    void notification(int mouseMessage);
};

} // namespace platform
