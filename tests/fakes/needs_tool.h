// SPDX-License-Identifier: MIT
#pragma once

#include <QStandardPaths>
#include <QString>

#include <gtest/gtest.h>

// A test that needs a server the setup script installs (Xvfb, sway): skipped
// where it is missing on a developer's machine, a failure in CI, where its
// absence means the setup is broken and the test would prove nothing.
#define SCNFERRY_NEEDS_TOOL(tool)                                                              \
    do {                                                                                       \
        if (QStandardPaths::findExecutable(QStringLiteral(tool)).isEmpty()) {                  \
            if (qEnvironmentVariableIsSet("CI"))                                               \
                FAIL() << tool << " is missing: scripts/setup.sh installs it";                 \
            GTEST_SKIP() << tool << " is not installed";                                       \
        }                                                                                      \
    } while (false)
