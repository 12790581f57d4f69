// SPDX-License-Identifier: MIT
#include "fakes/fake_keyboard.h"
#include "fakes/fake_services.h"

#include <QCoreApplication>

namespace fakes {

int FakeServices::msgBox(const QString &prompt, int style, const QString &title,
                         const QString &detail)
{
    boxes.push_back({prompt, style, title, detail});
    if (answers.empty())
        return platform::mb::Yes;
    const int a = answers.front();
    answers.pop_front();
    return a;
}

void FakeServices::doEvents()
{
    ++doEventsCalls;
    if (duringDoEvents) {
        auto hook = std::move(duringDoEvents);
        duringDoEvents = nullptr;
        hook();
    }
    QCoreApplication::processEvents();
}

void FakeServices::end(int status)
{
    if (!ended)
        ended = status;
}

QString FakeKeyboard::typed() const
{
    QString all;
    for (const auto &s : sends)
        all += s;
    return all;
}

void FakeKeyboard::send(QStringView text)
{
    if (failWith)
        throw *failWith;
    sends.push_back(text.toString());
    Keyboard::send(text);
}

void FakeKeyboard::type(std::span<const platform::KeyStroke> s)
{
    strokes.insert(strokes.end(), s.begin(), s.end());
}

} // namespace fakes
