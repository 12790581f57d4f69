// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace platform {

class NotificationArea;

// Message-box styles and answers, as numbers: the logic composes them.
namespace mb {
inline constexpr int OkOnly = 0;
inline constexpr int YesNo = 4;
inline constexpr int Critical = 16;
inline constexpr int Question = 32;
inline constexpr int Exclamation = 48;
inline constexpr int Information = 64;
inline constexpr int Ok = 1;
inline constexpr int Yes = 6;
inline constexpr int No = 7;
} // namespace mb

// The runtime services the logic calls: dialogs, the event pump and the
// immediate end. One real implementation (Qt) and a fake for the tests.
class Services {
public:
    Services() = default;
    Services(const Services &) = delete;
    Services &operator=(const Services &) = delete;
    virtual ~Services() = default;

    // Modal box; also writes the prompt to standard error. Returns the button.
    // A detail, when given, is the underlying reason: the box offers it
    // behind a details button and it goes to standard error too.
    virtual int msgBox(const QString &prompt, int style, const QString &title,
                       const QString &detail = QString()) = 0;
    // Dispatches the events already queued before returning.
    virtual void doEvents() = 0;
    // Ends the program at once with the given exit status: no handler runs.
    // The program's implementation never returns; a test's may, so callers
    // return straight after it.
    virtual void end(int status) = 0;
    // The desktop's notification area, for the program's icon.
    virtual NotificationArea &notificationArea() = 0;

    // A failure that ends the program: the box with the critical icon, then
    // the immediate end with status 1. A termination signal that comes while
    // the box is open ends the program with 1 as well: the failure stands.
    void fail(const QString &prompt, const QString &title, const QString &detail = QString())
    {
        m_failing = true;
        msgBox(prompt, mb::OkOnly + mb::Critical, title, detail);
        end(1);
    }
    bool failing() const { return m_failing; }

private:
    bool m_failing = false;
};

// The Qt implementation used by the program. Create it after the
// application object and destroy it before: it owns Qt objects (the icon).
std::unique_ptr<Services> createQtServices();

// Work that must happen even at the immediate end, such as handing the
// user's keyboard map back: it runs just before the process exits.
void setImmediateEndCleanup(std::function<void()> cleanup);

} // namespace platform
