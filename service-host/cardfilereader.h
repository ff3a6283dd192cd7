#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Reads elementary files of a smart card by file id with ISO 7816-4 commands
// (SELECT, READ BINARY, GET RESPONSE), over a transmit function that sends one
// command APDU and returns the response APDU (data and status word). Knows
// nothing of PC/SC, so that any card can be played in a test.
//
// A file is read up to the end of the BER-TLV object it starts with. Every
// card is untrusted: the size of a file and the number of commands per card
// are bounded.
class CardFileReader
{
public:
    enum Result {
        Read,
        Refused,   // the card said no, or answered what no VeKa card answers
        LinkFailed // transmit failed: the card went away or did not answer
    };

    // False when the command could not be exchanged with the card.
    using Transmit = std::function<bool(const QByteArray &command, QByteArray *response)>;

    static constexpr int MaxFileSize = 2048;
    static constexpr int MaxCommands = 48;

    explicit CardFileReader(Transmit transmit);

    Result readFile(quint16 fileId, QByteArray *contents);

    // Commands sent so far, for all files.
    int commands() const { return sent; }
    // Why the last read was refused, for a log line (no card data in it).
    QString refusal() const { return why; }

private:
    // One command, with GET RESPONSE and a corrected Le as the card asks;
    // Read once the card has answered.
    Result exchange(const QByteArray &command, QByteArray *data, quint16 *status);
    Result select(quint16 fileId);
    Result refuse(const QString &reason);

    Transmit transmit;
    int sent = 0;
    QString why;
};
