#pragma once
// Protocol strings must be UTF-8: a proto3 string field holding other bytes
// makes the whole message unreadable for the server. Host texts are passed on
// byte for byte when they are UTF-8 already, and converted when they are not.

#include <string>

namespace google::protobuf {
class Message;
}

namespace Vextra {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text);

// Keeps every valid UTF-8 sequence and turns each other byte into the code
// point of the same value (Latin-1), so no byte of the text is lost.
std::string RepairUtf8AsLatin1(const std::string& text);

// Valid UTF-8 comes back unchanged; other text is read in the host's narrow
// encoding (the ANSI code page on Windows, Latin-1 for stray bytes elsewhere)
// and returned as UTF-8.
std::string ToProtocolText(const std::string& text);

// Applies ToProtocolText to every string field of the message, in nested
// messages and map keys and values too; bytes fields are left alone. The
// message must not be touched by another thread meanwhile.
void MakeTextFieldsUtf8(google::protobuf::Message* message);

namespace platform {
// The text read in the host's narrow encoding, as UTF-8.
std::string LegacyTextToUtf8(const std::string& text);
}  // namespace platform

}  // namespace Vextra
