// SPDX-License-Identifier: MIT
#include "platform/services.h"

#include "platform/qt_notification_area.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace platform {

namespace {

std::function<void()> &immediateEndCleanup()
{
    static std::function<void()> cleanup;
    return cleanup;
}

void writeToStderr(const QString &text)
{
    // One line per line of the prompt, CR LF or not.
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    const QByteArray bytes = t.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

class QtServices final : public Services {
public:
    int msgBox(const QString &prompt, int style, const QString &title,
               const QString &detail) override
    {
        writeToStderr(prompt);
        if (!detail.isEmpty())
            writeToStderr(detail);

        QMessageBox box;
        box.setWindowTitle(title);
        box.setText(prompt);
        if (!detail.isEmpty())
            box.setDetailedText(detail);
        switch (style & 0xF0) {
        case mb::Critical: box.setIcon(QMessageBox::Critical); break;
        case mb::Question: box.setIcon(QMessageBox::Question); break;
        case mb::Exclamation: box.setIcon(QMessageBox::Warning); break;
        case mb::Information: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
        }
        if ((style & 0x0F) == mb::YesNo) {
            // No default-button value in the style: the first button, Yes.
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
        } else {
            box.setStandardButtons(QMessageBox::Ok);
        }
        const int answer = box.exec();
        switch (answer) {
        case QMessageBox::Yes: return mb::Yes;
        case QMessageBox::No: return mb::No;
        default: return mb::Ok;
        }
    }

    void doEvents() override { QCoreApplication::processEvents(QEventLoop::AllEvents); }

    void end(int status) override
    {
        if (auto cleanup = std::exchange(immediateEndCleanup(), nullptr))
            cleanup();
        std::fflush(stdout);
        std::fflush(stderr);
        // At once: no handler, no destructor, no confirmation. The system
        // closes the port's descriptor; the lock file is recognised as
        // stale by its dead owner.
        std::_Exit(status);
    }

    NotificationArea &notificationArea() override
    {
        if (!m_area)
            m_area = std::make_unique<QtNotificationArea>();
        return *m_area;
    }

private:
    std::unique_ptr<QtNotificationArea> m_area;
};

} // namespace

void setImmediateEndCleanup(std::function<void()> cleanup)
{
    immediateEndCleanup() = std::move(cleanup);
}

std::unique_ptr<Services> createQtServices()
{
    return std::make_unique<QtServices>();
}

} // namespace platform
