// SPDX-License-Identifier: MIT
#include "platform/error.h"
#include "platform/keyboard.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <cstdlib>
#include <optional>

namespace {

// Sets or clears environment variables for one test and puts them back.
class ScopedEnv {
public:
    void set(const char *name, const char *value)
    {
        if (const char *old = std::getenv(name))
            m_saved.emplace_back(name, std::string(old));
        else
            m_saved.emplace_back(name, std::nullopt);
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first, it->second->c_str(), 1);
            else
                ::unsetenv(it->first);
        }
    }

private:
    std::vector<std::pair<const char *, std::optional<std::string>>> m_saved;
};

struct SelectionCase {
    const char *what;
    const char *wayland;
    const char *display;
    const char *forced;
    // The routes tried, in this order, named in the error of the stand-in.
    QStringList tried;
};

void PrintTo(const SelectionCase &c, std::ostream *os)
{
    *os << c.what;
}

class KeyboardSelection : public testing::TestWithParam<SelectionCase> {};

// Nothing can type here (no compositor, no X server, no bus; uinput only
// where the machine has it): the stand-in's error lists every route tried
// and why it was not taken, in the order the session prefers them.
TEST_P(KeyboardSelection, TriesTheRoutesOfTheSessionInOrder)
{
    const SelectionCase &c = GetParam();
    ScopedEnv env;
    env.set("WAYLAND_DISPLAY", c.wayland);
    env.set("DISPLAY", c.display);
    env.set("SCNFERRY_KEYBOARD", c.forced);
    env.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/scnferry-test-bus");
    const auto kb = platform::createKeyboard();
    if (kb->name() != QStringLiteral("none"))
        GTEST_SKIP() << "this machine can type through " << kb->name().toStdString();
    QString reason;
    try {
        kb->send(u"x");
        FAIL() << "the stand-in typed";
    } catch (const platform::RuntimeError &e) {
        reason = e.description();
    }
    qsizetype at = 0;
    for (const QString &route : c.tried) {
        const qsizetype found = reason.indexOf(route + QLatin1Char(':'), at);
        EXPECT_GE(found, at) << route.toStdString() << " not next in: " << reason.toStdString();
        at = found < 0 ? at : found;
    }
    for (const char *route : {"wayland", "remote", "uinput", "x11"}) {
        if (!c.tried.contains(QLatin1String(route))) {
            EXPECT_FALSE(reason.contains(QLatin1String(route) + QLatin1Char(':')))
                << route << " tried in: " << reason.toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, KeyboardSelection,
    testing::Values(
        // GNOME and KDE: no virtual keyboard, remote input before uinput and XTest.
        SelectionCase{"wayland", "/nonexistent/wayland-0", nullptr, nullptr,
                      {"wayland", "remote", "uinput", "x11"}},
        SelectionCase{"x11", nullptr, ":9999", nullptr, {"x11", "uinput"}},
        SelectionCase{"console", nullptr, nullptr, nullptr, {"uinput"}},
        SelectionCase{"forced remote", nullptr, ":9999", "remote", {"remote"}}),
    [](const testing::TestParamInfo<SelectionCase> &param) {
        std::string name = param.param.what;
        for (char &ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return name;
    });

TEST(KeyboardSelection, UnknownNameListsTheChoices)
{
    ScopedEnv env;
    env.set("SCNFERRY_KEYBOARD", "bogus");
    const auto kb = platform::createKeyboard();
    try {
        kb->send(u"x");
        FAIL() << "the stand-in typed";
    } catch (const platform::RuntimeError &e) {
        EXPECT_TRUE(e.description().contains(QStringLiteral("wayland, remote, x11, uinput")))
            << e.description().toStdString();
    }
}

} // namespace
