// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// For bench/stress_typing.py: every comparison of what was sent with what
// arrived, one JSON line each, when SCNFERRY_TYPING_DUMP names a file.
inline void recordComparison(const QString &test, const QString &want, const QString &got)
{
    const QString path = qEnvironmentVariable("SCNFERRY_TYPING_DUMP");
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::Append))
        return;
    const QJsonObject line{{QStringLiteral("test"), test}, {QStringLiteral("want"), want}, {QStringLiteral("got"), got}};
    file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}
