// SPDX-License-Identifier: MIT
#include "fakes/fake_keyboard.h"
#include "fakes/fake_services.h"

#include <QCoreApplication>

namespace fakes {

int FakeServices::msgBox(const QString &prompt, int style, const QString &title,
                         const QString &detail)
{
    boxes.push_back({prompt, style, title, detail});
    if (duringMsgBox) {
        auto hook = std::move(duringMsgBox);
        duringMsgBox = nullptr;
        hook();
    }
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

namespace {

// What the typist owns on its thread: passes everything on to the test's
// keyboard, which outlives it.
class ForwardingKeyboard final : public platform::Keyboard {
public:
    explicit ForwardingKeyboard(platform::Keyboard &target) : m_target(target) {}
    QString name() const override { return m_target.name(); }
    void send(QStringView text) override { m_target.send(text); }

protected:
    void type(std::span<const platform::KeyStroke>) override {}

private:
    platform::Keyboard &m_target;
};

} // namespace

std::vector<QString> FakeKeyboard::sends() const
{
    std::lock_guard lock(m_mutex);
    return m_sends;
}

std::vector<platform::KeyStroke> FakeKeyboard::strokes() const
{
    std::lock_guard lock(m_mutex);
    return m_strokes;
}

QString FakeKeyboard::typed() const
{
    std::lock_guard lock(m_mutex);
    QString all;
    for (const auto &s : m_sends)
        all += s;
    return all;
}

void FakeKeyboard::failWith(std::optional<platform::RuntimeError> error)
{
    std::lock_guard lock(m_mutex);
    m_failWith = std::move(error);
}

void FakeKeyboard::duringSend(std::function<void(platform::Keyboard &)> hook)
{
    std::lock_guard lock(m_mutex);
    m_duringSend = std::move(hook);
}

void FakeKeyboard::send(QStringView text)
{
    std::function<void(platform::Keyboard &)> hook;
    {
        std::lock_guard lock(m_mutex);
        if (m_failWith)
            throw *m_failWith;
        hook = m_duringSend;
    }
    if (hook)
        hook(*this);
    {
        std::lock_guard lock(m_mutex);
        m_sends.push_back(text.toString());
    }
    Keyboard::send(text);
}

void FakeKeyboard::type(std::span<const platform::KeyStroke> s)
{
    std::lock_guard lock(m_mutex);
    m_strokes.insert(m_strokes.end(), s.begin(), s.end());
}

FakeTyping::FakeTyping()
    : m_typist(std::make_unique<platform::Typist>(
          [this] { return std::make_unique<ForwardingKeyboard>(m_keyboard); }))
{
}

FakeTyping::~FakeTyping() = default;

} // namespace fakes
