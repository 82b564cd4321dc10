#pragma once
// The rules of the fields both ends check: one copy, used by the forms of the
// client and by the server alike. Byte limits count the code page 932 form.
#include "wire.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace protocol {

// A C0 control character or DEL: nothing a field of a line may carry.
bool hasControl(QStringView text);

// Pieces the account form checks one by one, each with its own message.
bool passwordLongEnough(QStringView password);
// The shape of an e-mail address: an "@" and a "." somewhere, no space, not too short.
bool emailShaped(QStringView email);

// Whole fields, as the server accepts them.
// A user ID also has to come back the same from code page 932.
bool validUserId(const QString &user);
bool validPassword(const QString &password);
bool validEmail(const QString &email);
bool validComment(const QString &comment);
bool validRoomName(const QString &name);

// A plain IPv4 or IPv6 address in text form: at most kAddressChars characters, no
// scope id, nothing around it.
bool isPlainAddress(QStringView text);
// An address in 10/8, 172.16/12 or 192.168/16, read from its text: it begins with
// "10." or "192.168.", or with "172." and a second number from 16 to 31.
bool isPrivateAddress(QStringView ip);

// The protocol's numbers and flags: an Integer is a decimal number rounded half to
// even into 16 bits; a Boolean is True or False in any letter case or a number (0
// is False). nullopt when the text does not convert.
std::optional<qint16> toInteger(QStringView text);
std::optional<bool> toBoolean(QStringView text);

} // namespace protocol
