// SPDX-License-Identifier: MIT
#include "window/mainfrm.h"

#include "platform/notification_area.h"
#include "platform/services.h"
#include "platform/typist.h"
#include "startup/sermod.h"
#include "window/twips.h"

#include <QApplication>
#include <QGuiApplication>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

namespace {

const QColor WindowColour(255, 192, 128);
const QColor ButtonFace(255, 192, 255);

QFont formFont(bool bold)
{
    // The designed face, else faces of the same width, else any plain sans:
    // a wider face would run the text lines into the buttons.
    QFont f;
    f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                   QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                   QStringLiteral("Helvetica")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(8.25);
    f.setBold(bold);
    return f;
}

QIcon picture(const char *name)
{
    QIcon icon;
    const QString base = QStringLiteral(":/pictures/") + QLatin1String(name);
    icon.addFile(base + QStringLiteral("32.xpm"), QSize(32, 32));
    icon.addFile(base + QStringLiteral("16.xpm"), QSize(16, 16));
    return icon;
}

} // namespace

MainFrm::MainFrm(platform::Services &services, platform::Typist &typist, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      MSComm1(this), m_services(services), m_typist(typist)
{
    setWindowTitle(SerMod::AppTitle);
    setWindowIcon(picture("link"));
    setFont(formFont(false));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, WindowColour);
    setPalette(pal);
    setAutoFillBackground(true);

    auto makeButton = [this](const char *pictureName) {
        auto *b = new QPushButton(this);
        b->setFont(formFont(true));
        b->setIcon(picture(pictureName));
        b->setIconSize(QSize(32, 32));
        QPalette p = b->palette();
        p.setColor(QPalette::Button, ButtonFace);
        b->setPalette(p);
        b->setAutoFillBackground(true);
        return b;
    };
    // The picture holders: the toggle takes the open and closed pictures
    // from them; they are never on screen.
    cmdStStO = makeButton("open");
    cmdStStC = makeButton("closed");
    cmdStStO->hide();
    cmdStStC->hide();
    cmdStSt = makeButton("open");
    cmdEnd = makeButton("end");
    cmdStSt->setObjectName(QStringLiteral("cmdStSt"));
    cmdEnd->setObjectName(QStringLiteral("cmdEnd"));
    cmdStSt->setToolTip(QStringLiteral("Close or open the port"));
    cmdEnd->setToolTip(QStringLiteral("End ScnFerry"));

    auto makeLabel = [this](const QString &text, const QColor &colour) {
        auto *l = new QLabel(text, this);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, colour);
        l->setPalette(p);
        return l;
    };
    Label2 = makeLabel(QStringLiteral("Help: see the ScnFerry README"),
                       QColor(0, 0, 192));
    Label1 = makeLabel(QStringLiteral("Scanferry 0.01 for Serial Scanners"), QColor(255, 0, 0));
    Label6 = makeLabel(QStringLiteral("By the ScnFerry developers"),
                       palette().color(QPalette::ButtonText));

    LbState = new QLabel(QStringLiteral("State of the port"), this);
    LbState->setObjectName(QStringLiteral("LbState"));
    LbState->setFont(formFont(true));
    LbState->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    LbState->setFrameShape(QFrame::Box);
    LbState->setLineWidth(1);
    QPalette sp = LbState->palette();
    sp.setColor(QPalette::Window, QGuiApplication::palette().color(QPalette::Base));
    sp.setColor(QPalette::WindowText, QGuiApplication::palette().color(QPalette::Text));
    LbState->setPalette(sp);
    LbState->setAutoFillBackground(true);

    for (QLabel *l : {Label1, Label2, Label6, LbState})
        l->setFocusPolicy(Qt::NoFocus);
    cmdStSt->setFocusPolicy(Qt::StrongFocus);
    cmdEnd->setFocusPolicy(Qt::StrongFocus);
    setTabOrder(cmdStSt, cmdEnd);

    layOut();

    // The icon's menu; the window itself shows no menu bar.
    mnuTray = new QMenu(QStringLiteral("TrayMenu"), this);
    mnuShow = mnuTray->addAction(QStringLiteral("&Show"));
    mnuHyp1 = mnuTray->addSeparator();
    mnuExit = mnuTray->addAction(QStringLiteral("&Exit"));
    mnuTray->setDefaultAction(mnuShow);
    connect(mnuShow, &QAction::triggered, this, &MainFrm::mnuShow_Click);
    connect(mnuExit, &QAction::triggered, this, &MainFrm::mnuExit_Click);
    connect(cmdEnd, &QPushButton::clicked, this, &MainFrm::cmdEnd_Click);
    connect(&m_services.notificationArea(), &platform::NotificationArea::notification, this,
            &MainFrm::onTrayNotification);
    // No handler for the session manager's commitDataRequest: Qt sends it at
    // every save of the session and cannot tell a save from the session's
    // end. A save must leave the program running and ask nothing; the end
    // reaches the program as a termination signal or the loss of the
    // display, which end it in order.

    connect(cmdStSt, &QPushButton::clicked, this, &MainFrm::cmdStSt_Click);
    connect(&MSComm1, &platform::MSComm::OnComm, this, &MainFrm::MSComm1_OnComm);

    connect(&m_typist, &platform::Typist::failed, this, &MainFrm::failReceiving);
    connect(&m_typist, &platform::Typist::refused, this, &MainFrm::onScanRefused);
    connect(&m_typist, &platform::Typist::overflowed, this, &MainFrm::onTypingOverflow);
    connect(&m_typist, &platform::Typist::burstDone, this, &MainFrm::updateReadingHold);
    // Scans are never typed into a window of ours: a CR would answer the
    // exit question, a space would click the focused traffic light.
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::focusWindowChanged, this, &MainFrm::updateTypingHold);
    connect(mnuTray, &QMenu::aboutToShow, this, &MainFrm::updateTypingHold, Qt::QueuedConnection);
    connect(mnuTray, &QMenu::aboutToHide, this, &MainFrm::updateTypingHold, Qt::QueuedConnection);
}

void MainFrm::updateTypingHold()
{
    // Every window of this process is ours; a popup menu grabs the keyboard
    // without becoming the focus window.
    const bool ours = QGuiApplication::focusWindow() != nullptr ||
                      QApplication::activePopupWidget() != nullptr || mnuTray->isVisible() ||
                      m_boxesOpen > 0;
    m_typist.setHeld(ours);
}

MainFrm::~MainFrm() = default;

int MainFrm::px(double twipsValue) const
{
    return twips::toPixels(twipsValue, logicalDpiX());
}

void MainFrm::layOut()
{
    auto place = [this](QWidget *w, double left, double top, double width, double height) {
        w->setGeometry(px(left), px(top), px(width), px(height));
    };
    place(cmdStStO, 2325, 2040, 750, 630);
    place(cmdStStC, 585, 1740, 750, 630);
    place(cmdStSt, 75, 90, 750, 645);
    place(cmdEnd, 3885, 90, 750, 645);
    place(LbState, 810, 480, 3090, 255);
    // The text lines keep their left edge and take the width of their text.
    auto placeText = [this](QLabel *l, double left, double top, double height) {
        l->adjustSize();
        l->setGeometry(px(left), px(top), l->sizeHint().width(), std::max(px(height), l->sizeHint().height()));
    };
    placeText(Label2, 758, 780, 195);
    placeText(Label1, 960, 45, 195);
    placeText(Label6, 1215, 240, 195);
    // Fixed size: only the strip that holds what the user sees.
    setFixedSize(px(ClientWidth), px(ClientHeight));
}

QPoint MainFrm::placement() const
{
    // The outer frame is the designed 4740 by 1545 twips (the frame of the
    // reference platform around the 4650 by 1170 client area); it goes to the
    // lower right corner of the whole screen.
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    const double tpp = twips::perPixel(logicalDpiX());
    const QRect sg = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    const twips::Point at = twips::lowerRightPlacement(sg.width() * tpp, sg.height() * tpp,
                                                       OuterWidth, OuterHeight);
    return {sg.x() + static_cast<int>(at.left / tpp), sg.y() + static_cast<int>(at.top / tpp)};
}

void MainFrm::Load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    Form_Load();
}

void MainFrm::Form_Load()
{
    m_restoreAt = placement();
    move(m_restoreAt);

    LbState->setText(QString());
    cmdStSt_Click();
}

void MainFrm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // After the show has finished: hiding from inside it would be undone.
    QTimer::singleShot(0, this, &MainFrm::Form_Resize);
}

void MainFrm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isVisible())
        Form_Resize();
}

void MainFrm::setMousePointer(bool hourglass)
{
    if (hourglass)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}
