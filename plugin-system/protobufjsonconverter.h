#pragma once

#include <rapidjson/document.h>

#include <string>

namespace google {
namespace protobuf {
class FieldDescriptor;
class Message;
}
}

// Converts between protobuf messages and JSON by descriptors and reflection, so
// that every generated message type works without generated JSON code. JSON
// names are the field names as declared in the schema.
//
// Numbers: doubles and floats (widened to double) are written in the shortest
// form that reads back to the same value; NaN and the infinities are written as
// the strings "NaN", "Infinity" and "-Infinity", which are read back too.
// Integer fields take only JSON integers within 64 bits, modulo the field's
// width; fractions, exponents and larger numbers give "Not a number".
class ProtobufJsonConverter
{
public:
    enum ConvertResult : int {
        ConvertSuccess = 0,
        ConvertParseError = -1,     // the text does not parse, a message's value is no object,
                                    // or messages nest deeper than maxNestingDepth
        ConvertInvalidMessage = -2, // no descriptor or no reflection
        ConvertValueMismatch = -4,  // a JSON value does not fit its field
    };

    using Allocator = rapidjson::MemoryPoolAllocator<>;
    using Value = rapidjson::GenericValue<rapidjson::UTF8<>, Allocator>;

    // Sub-messages below the top one, as protobuf's own parsers allow.
    static constexpr int maxNestingDepth = 100;

    // Appends the compact JSON text of the message to out.
    static void messageToJson(const google::protobuf::Message &message, std::string &out);
    // Parse failures append the JSON library's description to error; other
    // failures replace it. Bad base64 in a bytes field throws std::runtime_error.
    static ConvertResult jsonToMessage(const std::string &json, google::protobuf::Message *message,
                                       std::string &error);

    static Value messageToJsonValue(const google::protobuf::Message &message, Allocator &allocator);
    static Value fieldToJsonValue(const google::protobuf::Message &message,
                                  const google::protobuf::FieldDescriptor *field, Allocator &allocator);
    static ConvertResult jsonObjectToMessage(const Value &value, google::protobuf::Message *message,
                                             std::string &error);
    // Sets a singular field, appends to a repeated one.
    static ConvertResult jsonValueToField(const Value &value, google::protobuf::Message *message,
                                          const google::protobuf::FieldDescriptor *field, std::string &error);

    static std::string base64Encode(const std::string &data);
    // Throws std::runtime_error on a length that is not a multiple of four or on
    // characters outside the alphabet.
    static std::string base64Decode(const std::string &text);

    ProtobufJsonConverter() = delete;
};
