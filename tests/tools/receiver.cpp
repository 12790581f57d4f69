// SPDX-License-Identifier: MIT
// Records every key press it gets to a file, as text: Return as "\n", Tab as
// "\t", Ctrl+x as "<C-x>", other named keys as <BackSpace> <Escape> <Delete>.
// Prints READY once its window is shown and has the focus.
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdio>

namespace {

QString recordedText(const QKeyEvent &e)
{
    switch (e.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QStringLiteral("\n");
    case Qt::Key_Tab:
        return QStringLiteral("\t");
    case Qt::Key_Backtab:
        return QStringLiteral("<Backtab>");
    case Qt::Key_Backspace:
        return QStringLiteral("<BackSpace>");
    case Qt::Key_Escape:
        return QStringLiteral("<Escape>");
    case Qt::Key_Delete:
        return QStringLiteral("<Delete>");
    default:
        break;
    }
    if (e.modifiers() & Qt::ControlModifier) {
        // Qt names printable ASCII keys by their upper-case character.
        if (e.key() >= 0x20 && e.key() <= 0x7e)
            return QStringLiteral("<C-%1>").arg(QChar(e.key()).toLower());
        return e.text().isEmpty() ? QString() : QStringLiteral("<C-?>");
    }
    return e.text();
}

class Recorder : public QPlainTextEdit {
public:
    explicit Recorder(QFile &out) : m_out(out) { setTabChangesFocus(false); }

protected:
    // Taken before QWidget's focus handling so that Tab arrives too.
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::KeyPress)
            return QPlainTextEdit::event(e);
        const QString text = recordedText(*static_cast<QKeyEvent *>(e));
        if (!text.isEmpty()) {
            m_out.write(text.toUtf8());
            m_out.flush();
            // One long line is laid out anew on every insertion; past a
            // screenful the window stops showing and only records.
            if (document()->characterCount() < 2000) {
                moveCursor(QTextCursor::End);
                insertPlainText(text);
            }
        }
        return true;
    }

private:
    QFile &m_out;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("File that receives the text."),
                                       QStringLiteral("FILE"));
    parser.addOption(outOption);
    parser.process(app);
    if (!parser.isSet(outOption)) {
        std::fprintf(stderr, "receiver: --out FILE is required\n");
        return 2;
    }
    QFile out(parser.value(outOption));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "receiver: cannot write %s: %s\n", qPrintable(out.fileName()),
                     qPrintable(out.errorString()));
        return 2;
    }

    Recorder edit(out);
    edit.setWindowTitle(QStringLiteral("ScnFerry receiver"));
    edit.resize(640, 400);
    edit.show();
    edit.activateWindow();
    edit.setFocus();

    QTimer focusPoll;
    QObject::connect(&focusPoll, &QTimer::timeout, &edit, [&] {
        if (!edit.isActiveWindow() || !edit.hasFocus()) {
            edit.activateWindow();
            return;
        }
        focusPoll.stop();
        std::printf("READY\n");
        std::fflush(stdout);
    });
    focusPoll.start(20);
    return app.exec();
}
