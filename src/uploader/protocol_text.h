#pragma once
// Protocol strings must be UTF-8: a proto3 string field holding other bytes
// makes the whole message unreadable for the server. Host texts are passed on
// byte for byte when they are UTF-8 already, and escaped when they are not.

#include <string>

namespace google::protobuf {
class Message;
}

namespace Vextra {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text);

// Every byte that is not part of a valid UTF-8 sequence, and every
// backslash, becomes the escape \x{HH} (two upper-case hexadecimal digits);
// valid sequences stay as they are. The result is valid UTF-8, and the
// original bytes can be read back from it.
std::string EscapeText(const std::string& text);

// Whether text holds something that reads as an escape of EscapeText.
bool ContainsEscape(const std::string& text);

// Valid UTF-8 without anything that reads as an escape comes back unchanged;
// any other text is escaped with EscapeText, on every platform. Two different
// texts never give the same result (an escaped text always holds an escape, an
// unchanged one never does), so distinct map keys stay distinct.
std::string ToProtocolText(const std::string& text);

// Applies ToProtocolText to every string field of the message, in nested
// messages and map keys and values too; bytes fields are left alone. The
// message must not be touched by another thread meanwhile.
void MakeTextFieldsUtf8(google::protobuf::Message* message);

}  // namespace Vextra
