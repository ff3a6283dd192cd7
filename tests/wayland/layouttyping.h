#pragma once

#include "programs.h"
#include "typedwindow.h"

#include <QtTest>

// Cases for the backends that type through the desktop's layout ("us" in the
// tests): what the layout has arrives, with the modifiers its level needs; a
// character it lacks is skipped with one warning, however often it comes.
inline void layoutTyping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("warning");
    QTest::addRow("card number") << QStringLiteral("80756012345678901234") << QStringLiteral("80756012345678901234")
                                 << QString();
    QTest::addRow("capitals and shifted symbols") << QStringLiteral("Ab@C!7") << QStringLiteral("Ab@C!7") << QString();
    QTest::addRow("a letter the layout lacks") << QStringLiteral("12ä34ä") << QStringLiteral("1234")
                                               << QStringLiteral("The keyboard layout has no key for U+00E4 (ä); skipped.");
}

inline void layoutTyping(AgentProcess &agent, const TypedWindow &window)
{
    QFETCH(QString, text);
    QFETCH(QString, typed);
    QFETCH(QString, warning);

    const int before = window.typed().size();
    QVERIFY(agent.send(text));
    QTRY_COMPARE_WITH_TIMEOUT(window.typed().mid(before), typed, 20000);
    if (!warning.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(agent.log().count(warning), 1, 5000);
}
