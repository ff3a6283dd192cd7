#pragma once

#include <QByteArray>
#include <QString>

// The sample card of tests/data and chunk lines made from it, as the host's
// chunk input takes them.
extern const QString sampleCardNumber;

// The sample card's administrative XML, with another insured person's number if given.
QString sampleCardXml(const QString &number = QString());
// One line of chunk input: the insertion of a card with that number.
QByteArray cardLine(const QString &number, const QString &reader = QStringLiteral("Cherry SmartTerminal ST-1144"));
// The plug-in's debug line for a card it has read.
QString numberLogged(const QString &number);

// Writes as one writer of a named pipe: opens, writes, closes. Fails at once
// when nobody reads the pipe, instead of waiting for a reader that has died.
bool writeToPipe(const QString &fifo, const QByteArray &bytes);
