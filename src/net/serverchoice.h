#pragma once
// Which lobby server to reach and how: host, port and, opt-in, TLS with either
// the system's certificate authorities or a pinned certificate.
#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

struct ServerChoice {
    QString host;
    QString port; // text: a bad one is reported when connecting, like any socket error
    bool tls = false;
    // SHA-256 of the server certificate as the user wrote it; when set it is the
    // only certificate accepted and the system's authorities are not asked.
    QString fingerprint;
};

// "HOST", "HOST:PORT", "[IPV6]", "[IPV6]:PORT" or a bare IPv6 literal, each
// optionally behind "tls://". A missing port stays empty; nullopt when malformed.
std::optional<ServerChoice> parseServerChoice(QStringView text);

// The [server] section of the settings file, defaults filled in. A fingerprint
// turns TLS on: a pin that quietly went unused would leave the line in clear.
ServerChoice serverFromSettings();

// The 32 bytes of a SHA-256 written in hex, with or without ':' (or spaces)
// between the bytes, either case; empty when it is not one.
QByteArray parseFingerprint(QStringView text);
