#include "uploader/protocol_text.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <cstdint>
#include <vector>

namespace Vextra {
namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when none starts there.
size_t ValidSequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80;   // range of the second byte, narrowed to forbid
  uint8_t high = 0xBF;  // overlong forms, surrogates and code points > 0x10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

bool IsTextField(const FieldDescriptor* field) { return field->type() == FieldDescriptor::TYPE_STRING; }

bool NeedsEscaping(const std::string& text) { return !IsValidUtf8(text) || ContainsEscape(text); }

bool HasTextToEscape(const Message& message) {
  const Reflection* reflection = message.GetReflection();
  std::vector<const FieldDescriptor*> fields;
  reflection->ListFields(message, &fields);
  for (const FieldDescriptor* field : fields) {
    if (IsTextField(field)) {
      if (field->is_repeated()) {
        for (int i = 0; i < reflection->FieldSize(message, field); ++i) {
          if (NeedsEscaping(reflection->GetRepeatedString(message, field, i))) return true;
        }
      } else if (NeedsEscaping(reflection->GetString(message, field))) {
        return true;
      }
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_repeated()) {
        for (int i = 0; i < reflection->FieldSize(message, field); ++i) {
          if (HasTextToEscape(reflection->GetRepeatedMessage(message, field, i))) return true;
        }
      } else if (HasTextToEscape(reflection->GetMessage(message, field))) {
        return true;
      }
    }
  }
  return false;
}

void RepairText(Message* message) {
  const Reflection* reflection = message->GetReflection();
  std::vector<const FieldDescriptor*> fields;
  reflection->ListFields(*message, &fields);
  for (const FieldDescriptor* field : fields) {
    if (IsTextField(field)) {
      if (field->is_repeated()) {
        for (int i = 0; i < reflection->FieldSize(*message, field); ++i) {
          const std::string value = reflection->GetRepeatedString(*message, field, i);
          if (NeedsEscaping(value)) reflection->SetRepeatedString(message, field, i, EscapeText(value));
        }
      } else {
        const std::string value = reflection->GetString(*message, field);
        if (NeedsEscaping(value)) reflection->SetString(message, field, EscapeText(value));
      }
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_repeated()) {
        for (int i = 0; i < reflection->FieldSize(*message, field); ++i) {
          RepairText(reflection->MutableRepeatedMessage(message, field, i));
        }
      } else {
        RepairText(reflection->MutableMessage(message, field));
      }
    }
  }
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = ValidSequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string EscapeText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = ValidSequenceLength(text, i);
    if (length > 0 && text[i] != '\\') {
      out.append(text, i, length);
      i += length;
      continue;
    }
    const auto value = static_cast<uint8_t>(text[i++]);
    out.append("\\x{");
    out.push_back(kHex[value >> 4]);
    out.push_back(kHex[value & 0x0F]);
    out.push_back('}');
  }
  return out;
}

bool ContainsEscape(const std::string& text) {
  const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t at = text.find("\\x{"); at != std::string::npos; at = text.find("\\x{", at + 1)) {
    if (at + 6 <= text.size() && isHex(text[at + 3]) && isHex(text[at + 4]) && text[at + 5] == '}') return true;
  }
  return false;
}

std::string ToProtocolText(const std::string& text) { return NeedsEscaping(text) ? EscapeText(text) : text; }

void MakeTextFieldsUtf8(Message* message) {
  // Looking first keeps the common case (all text valid, nothing to escape) free of writes.
  if (message != nullptr && HasTextToEscape(*message)) RepairText(message);
}

}  // namespace Vextra
