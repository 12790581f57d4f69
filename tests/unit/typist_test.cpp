// SPDX-License-Identifier: MIT
// The typing thread: order, holding, the end, the bound, failures.
#include "fakes/fake_keyboard.h"
#include "platform/error.h"
#include "platform/typist.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>
#include <chrono>

namespace {

bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

TEST(Typist, BurstsAreTypedOnceInOrderWhileTheCallerGoesOn)
{
    fakes::FakeTyping typing;
    QString expected;
    for (int i = 0; i < 300; ++i) {
        const QString burst = QStringLiteral("scan%1\r").arg(i);
        expected += burst;
        typing.typist().type(burst);
    }
    ASSERT_TRUE(waitUntil([&] { return typing.typist().idle(); }));
    EXPECT_EQ(typing.typed(), expected);
    EXPECT_EQ(typing.typist().pending(), 0);
}

TEST(Typist, HeldBurstsWaitAndFollowInOrder)
{
    fakes::FakeTyping typing;
    typing.typist().setHeld(true);
    typing.typist().type(QStringLiteral("12"));
    typing.typist().type(QStringLiteral("34\r"));
    QCoreApplication::processEvents();
    EXPECT_EQ(typing.typist().pending(), 5);
    EXPECT_TRUE(typing.typed().isEmpty());
    typing.typist().setHeld(false);
    ASSERT_TRUE(waitUntil([&] { return typing.typist().idle(); }));
    EXPECT_EQ(typing.typed(), QStringLiteral("1234\r"));
}

// Types one key a millisecond, as a paced backend does, and stops when asked.
class SlowKeyboard final : public platform::Keyboard {
public:
    SlowKeyboard(std::atomic<int> &k, std::atomic<bool> &s) : keys(k), sawStop(s) {}
    QString name() const override { return QStringLiteral("slow"); }
    std::atomic<int> &keys;
    std::atomic<bool> &sawStop;

protected:
    void type(std::span<const platform::KeyStroke> strokes) override
    {
        for (std::size_t i = 0; i < strokes.size(); ++i) {
            if (!proceed() || !sleepUntil(Clock::now() + std::chrono::milliseconds(1))) {
                sawStop = true;
                return;
            }
            ++keys;
        }
    }
};

TEST(Typist, StopEndsTheBurstUnderWayAndDropsTheWaitingOnes)
{
    std::atomic<int> keys{0};
    std::atomic<bool> sawStop{false};
    auto typist = std::make_unique<platform::Typist>(
        [&] { return std::make_unique<SlowKeyboard>(keys, sawStop); });
    typist->type(QString(30000, u'x'));
    typist->type(QStringLiteral("never"));
    ASSERT_TRUE(waitUntil([&] { return keys > 10; }));
    typist->stop();
    typist.reset(); // joins the thread
    EXPECT_TRUE(sawStop);
    EXPECT_LT(keys, 30000);
}

TEST(Typist, BeyondTheBoundABurstIsRefusedAndReported)
{
    fakes::FakeTyping typing;
    std::vector<qsizetype> overflowed;
    QObject::connect(&typing.typist(), &platform::Typist::overflowed,
                     [&](qsizetype n) { overflowed.push_back(n); });
    typing.typist().setHeld(true);
    typing.typist().type(QString(platform::Typist::MaxPending - 10, u'a'));
    typing.typist().type(QStringLiteral("0123456789"));
    typing.typist().type(QStringLiteral("x"));
    ASSERT_EQ(overflowed.size(), 1u);
    EXPECT_EQ(overflowed[0], 1);
    typing.typist().setHeld(false);
    ASSERT_TRUE(waitUntil([&] { return typing.typist().idle(); }));
    EXPECT_EQ(typing.typed().size(), platform::Typist::MaxPending);
    EXPECT_TRUE(typing.typed().endsWith(QStringLiteral("0123456789")));
}

TEST(Typist, AnUntypableScanIsRefusedAndTypingGoesOn)
{
    fakes::FakeTyping typing;
    QStringList refused;
    int failed = 0;
    QObject::connect(&typing.typist(), &platform::Typist::refused,
                     [&](const QString &text) { refused << text; });
    QObject::connect(&typing.typist(), &platform::Typist::failed, [&] { ++failed; });
    typing.duringSend([](platform::Keyboard &) {
        throw platform::UntypableError(QStringLiteral("Ä漢"), QStringLiteral("us"),
                                       QStringLiteral("Switch the layout."));
    });
    typing.typist().type(QStringLiteral("Ä漢"));
    ASSERT_TRUE(waitUntil([&] { return refused.size() == 1; }));
    EXPECT_EQ(failed, 0);
    const QString text = refused[0];
    EXPECT_TRUE(text.contains(QStringLiteral("\"us\""))) << qPrintable(text);
    EXPECT_TRUE(text.contains(QStringLiteral("U+00C4"))) << qPrintable(text);
    EXPECT_TRUE(text.contains(QStringLiteral("U+6F22"))) << qPrintable(text);
    typing.duringSend(nullptr);
    typing.typist().type(QStringLiteral("ok"));
    ASSERT_TRUE(waitUntil([&] { return typing.typist().idle(); }));
    EXPECT_EQ(typing.typed(), QStringLiteral("ok"));
}

} // namespace
