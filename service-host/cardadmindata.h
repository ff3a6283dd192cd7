#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The administrative data of a Swiss health-insurance card (VeKa), read from
// the BER-TLV templates of its files EF.ID (the card holder) and EF.AD (the
// insurance), and the XML document that carries them to the plug-ins.
//
// Card data is untrusted: the parser is bounded by the bytes it is given,
// reads tags in any order, skips unknown ones and padding, and refuses
// anything it cannot read with certainty rather than guess.
struct CardAdminData
{
    // EF.ID
    QString officialName; // the name up to its first comma
    QString firstNames;   // the rest
    QString dateOfBirth;  // YYYY-MM-DD when the card has YYYYMMDD
    QString ahvNumber;
    QString sex;          // "0", "1", "2" or "9"; empty when unknown
    // EF.AD
    QString issuingState;
    QString insurerName;
    QString insurerNumber;
    QString cardNumber; // always 20 digits
    QString expiryDate;

    // Nothing when either file is not a VeKa template or the card number is
    // not 20 digits; error then says why, without personal data.
    static std::optional<CardAdminData> fromFiles(const QByteArray &efId, const QByteArray &efAd,
                                                  QString *error = nullptr);

    QString toXml() const;
};

// The size of the BER-TLV object at the start of bytes, header included:
// -1 while the header is incomplete, -2 when it cannot be a BER-TLV header.
// Leading padding bytes (00 or FF) count towards the size.
int berObjectSize(const QByteArray &bytes);
