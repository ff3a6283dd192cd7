#include "protobufjsonconverter.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

using google::protobuf::Descriptor;
using google::protobuf::EnumValueDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using Value = ProtobufJsonConverter::Value;
using Allocator = ProtobufJsonConverter::Allocator;
using ConvertResult = ProtobufJsonConverter::ConvertResult;

namespace {

// Small messages are built and parsed without touching the heap for the tree.
constexpr size_t poolBufferSize = 4096;

// The string forms of protobuf's own JSON mapping, since JSON has no such numbers.
const char nanText[] = "NaN";
const char infinityText[] = "Infinity";
const char minusInfinityText[] = "-Infinity";

constexpr char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Base64DecodeTable
{
    signed char value[256];
    constexpr Base64DecodeTable() : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = -1;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(base64Alphabet[i])] = static_cast<signed char>(i);
        value[static_cast<unsigned char>('=')] = 0;
    }
};
constexpr Base64DecodeTable base64DecodeTable;

size_t base64EncodedSize(size_t size)
{
    return (size + 2) / 3 * 4;
}

void base64EncodeTo(const unsigned char *in, size_t size, char *out)
{
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const unsigned group = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
        *out++ = base64Alphabet[group >> 18];
        *out++ = base64Alphabet[(group >> 12) & 63];
        *out++ = base64Alphabet[(group >> 6) & 63];
        *out++ = base64Alphabet[group & 63];
    }
    if (i + 1 == size) {
        const unsigned group = unsigned(in[i]) << 16;
        *out++ = base64Alphabet[group >> 18];
        *out++ = base64Alphabet[(group >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (i + 2 == size) {
        const unsigned group = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8;
        *out++ = base64Alphabet[group >> 18];
        *out++ = base64Alphabet[(group >> 12) & 63];
        *out++ = base64Alphabet[(group >> 6) & 63];
        *out++ = '=';
    }
}

void base64DecodeTo(const char *in, size_t size, std::string &out)
{
    out.clear();
    if (size == 0)
        return;
    if (size % 4 != 0)
        throw std::runtime_error("Invalid base64 data size");
    out.resize(size / 4 * 3);
    char *const begin = &out[0];
    char *o = begin;
    for (size_t i = 0; i < size; i += 4) {
        const auto *group = reinterpret_cast<const unsigned char *>(in + i);
        const int a = base64DecodeTable.value[group[0]];
        const int b = base64DecodeTable.value[group[1]];
        const int c = base64DecodeTable.value[group[2]];
        const int d = base64DecodeTable.value[group[3]];
        if ((a | b | c | d) < 0)
            throw std::runtime_error("Invalid hex data: " + std::string(in + i, 4));
        *o++ = static_cast<char>(a << 2 | b >> 4);
        // Padding in the third place ends the group: a byte after a missing one
        // would shift the data.
        if (group[2] != '=') {
            *o++ = static_cast<char>((b & 15) << 4 | c >> 2);
            if (group[3] != '=')
                *o++ = static_cast<char>((c & 3) << 6 | d);
        }
    }
    out.resize(static_cast<size_t>(o - begin));
}

Value stringValue(const std::string &s, Allocator &allocator)
{
    return Value(s.data(), static_cast<rapidjson::SizeType>(s.size()), allocator);
}

Value bytesValue(const std::string &data, Allocator &allocator)
{
    if (data.empty())
        return Value(rapidjson::StringRef(""));
    const size_t size = base64EncodedSize(data.size());
    char *text = static_cast<char *>(allocator.Malloc(size));
    base64EncodeTo(reinterpret_cast<const unsigned char *>(data.data()), data.size(), text);
    // The pool owns the text as long as the tree lives.
    return Value(rapidjson::StringRef(text, static_cast<rapidjson::SizeType>(size)));
}

Value doubleValue(double d)
{
    if (std::isfinite(d))
        return Value(d);
    if (std::isnan(d))
        return Value(rapidjson::StringRef(nanText));
    return Value(rapidjson::StringRef(d > 0 ? infinityText : minusInfinityText));
}

// A float is written as its own shortest text, not as its widened double
// (0.1f would read "0.10000000149011612"): the double nearest to that text is
// written in the shortest form that reads back to it, which is the same text.
Value floatValue(float f)
{
    if (!std::isfinite(f))
        return doubleValue(f);
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, f);
    double d = f;
    std::from_chars(text, written.ptr, d);
    return Value(d);
}

Value messageValue(const Message &message, const Descriptor *descriptor, const Reflection *reflection,
                   Allocator &allocator);

Value messageValue(const Message &message, Allocator &allocator)
{
    return messageValue(message, message.GetDescriptor(), message.GetReflection(), allocator);
}

Value singularValue(const Message &message, const Reflection *reflection, const FieldDescriptor *field,
                    Allocator &allocator)
{
    switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
        return Value(reflection->GetInt32(message, field));
    case FieldDescriptor::CPPTYPE_INT64:
        return Value(static_cast<int64_t>(reflection->GetInt64(message, field)));
    case FieldDescriptor::CPPTYPE_UINT32:
        return Value(reflection->GetUInt32(message, field));
    case FieldDescriptor::CPPTYPE_UINT64:
        return Value(static_cast<uint64_t>(reflection->GetUInt64(message, field)));
    case FieldDescriptor::CPPTYPE_DOUBLE:
        return doubleValue(reflection->GetDouble(message, field));
    case FieldDescriptor::CPPTYPE_FLOAT:
        return floatValue(reflection->GetFloat(message, field));
    case FieldDescriptor::CPPTYPE_BOOL:
        return Value(reflection->GetBool(message, field));
    case FieldDescriptor::CPPTYPE_ENUM:
        return Value(reflection->GetEnumValue(message, field));
    case FieldDescriptor::CPPTYPE_STRING: {
        std::string scratch;
        const std::string &s = reflection->GetStringReference(message, field, &scratch);
        return field->type() == FieldDescriptor::TYPE_BYTES ? bytesValue(s, allocator) : stringValue(s, allocator);
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
        return messageValue(reflection->GetMessage(message, field), allocator);
    }
    return Value();
}

Value repeatedValue(const Message &message, const Reflection *reflection, const FieldDescriptor *field,
                    Allocator &allocator)
{
    const int size = reflection->FieldSize(message, field);
    Value array(rapidjson::kArrayType);
    array.Reserve(static_cast<rapidjson::SizeType>(size), allocator);
    switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(reflection->GetRepeatedInt32(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_INT64:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(static_cast<int64_t>(reflection->GetRepeatedInt64(message, field, i))), allocator);
        break;
    case FieldDescriptor::CPPTYPE_UINT32:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(reflection->GetRepeatedUInt32(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_UINT64:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(static_cast<uint64_t>(reflection->GetRepeatedUInt64(message, field, i))),
                           allocator);
        break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
        for (int i = 0; i < size; ++i)
            array.PushBack(doubleValue(reflection->GetRepeatedDouble(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_FLOAT:
        for (int i = 0; i < size; ++i)
            array.PushBack(floatValue(reflection->GetRepeatedFloat(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_BOOL:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(reflection->GetRepeatedBool(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_ENUM:
        for (int i = 0; i < size; ++i)
            array.PushBack(Value(reflection->GetRepeatedEnumValue(message, field, i)), allocator);
        break;
    case FieldDescriptor::CPPTYPE_STRING: {
        const bool bytes = field->type() == FieldDescriptor::TYPE_BYTES;
        std::string scratch;
        for (int i = 0; i < size; ++i) {
            const std::string &s = reflection->GetRepeatedStringReference(message, field, i, &scratch);
            array.PushBack(bytes ? bytesValue(s, allocator) : stringValue(s, allocator), allocator);
        }
        break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
        if (size > 0) {
            // All elements share one type, so they share its descriptor and reflection.
            const Message &first = reflection->GetRepeatedMessage(message, field, 0);
            const Descriptor *elementDescriptor = first.GetDescriptor();
            const Reflection *elementReflection = first.GetReflection();
            for (int i = 0; i < size; ++i)
                array.PushBack(messageValue(reflection->GetRepeatedMessage(message, field, i), elementDescriptor,
                                            elementReflection, allocator),
                               allocator);
        }
        break;
    }
    return array;
}

Value fieldValue(const Message &message, const Reflection *reflection, const FieldDescriptor *field,
                 Allocator &allocator)
{
    return field->is_repeated() ? repeatedValue(message, reflection, field, allocator)
                                : singularValue(message, reflection, field, allocator);
}

Value messageValue(const Message &message, const Descriptor *descriptor, const Reflection *reflection,
                   Allocator &allocator)
{
    Value object(rapidjson::kObjectType);
    if (!descriptor || !reflection)
        return object;
    const int count = descriptor->field_count();
    for (int i = 0; i < count; ++i) {
        const FieldDescriptor *field = descriptor->field(i);
        if (field->is_optional() && !reflection->HasField(message, field))
            continue;
        const std::string &name = field->name();
        object.AddMember(Value(rapidjson::StringRef(name.data(), static_cast<rapidjson::SizeType>(name.size()))),
                         fieldValue(message, reflection, field, allocator), allocator);
    }
    return object;
}

// Members usually come in declaration order (our own output does), so the search
// starts at the field after the one found last.
const FieldDescriptor *findField(const Descriptor *descriptor, const Reflection *reflection, const Value &name,
                                 int &next)
{
    const char *text = name.GetString();
    const size_t size = name.GetStringLength();
    const int count = descriptor->field_count();
    if (next < count) {
        const FieldDescriptor *field = descriptor->field(next);
        const std::string &fieldName = field->name();
        if (fieldName.size() == size && std::memcmp(fieldName.data(), text, size) == 0) {
            ++next;
            return field;
        }
    }
    const FieldDescriptor *field = nullptr;
    if (count <= 16) {
        for (int i = 0; i < count; ++i) {
            const std::string &fieldName = descriptor->field(i)->name();
            if (fieldName.size() == size && std::memcmp(fieldName.data(), text, size) == 0) {
                field = descriptor->field(i);
                break;
            }
        }
    } else {
        field = descriptor->FindFieldByName(std::string(text, size));
    }
    if (field) {
        next = field->index() + 1;
        return field;
    }
    if (descriptor->extension_range_count() == 0)
        return nullptr;
    return reflection->FindKnownExtensionByName(std::string(text, size));
}

ConvertResult objectToMessage(const Value &value, Message *message, const Descriptor *descriptor,
                              const Reflection *reflection, std::string &error, int depth);

ConvertResult objectToMessage(const Value &value, Message *message, std::string &error, int depth)
{
    if (!value.IsObject())
        return ProtobufJsonConverter::ConvertParseError;
    return objectToMessage(value, message, message ? message->GetDescriptor() : nullptr,
                           message ? message->GetReflection() : nullptr, error, depth);
}

ConvertResult mismatch(std::string &error, const char *text)
{
    error = text;
    return ProtobufJsonConverter::ConvertValueMismatch;
}

// JSON integers within 64 bits, as two's complement bits.
bool integerBits(const Value &value, uint64_t &bits)
{
    if (value.IsUint64()) {
        bits = value.GetUint64();
        return true;
    }
    if (value.IsInt64()) {
        bits = static_cast<uint64_t>(value.GetInt64());
        return true;
    }
    return false;
}

bool doubleOf(const Value &value, double &d)
{
    if (value.IsNumber()) {
        d = value.GetDouble();
        return true;
    }
    if (!value.IsString())
        return false;
    const char *text = value.GetString();
    const size_t size = value.GetStringLength();
    if (size == sizeof nanText - 1 && std::memcmp(text, nanText, size) == 0)
        d = std::nan("");
    else if (size == sizeof infinityText - 1 && std::memcmp(text, infinityText, size) == 0)
        d = HUGE_VAL;
    else if (size == sizeof minusInfinityText - 1 && std::memcmp(text, minusInfinityText, size) == 0)
        d = -HUGE_VAL;
    else
        return false;
    return true;
}

ConvertResult valueToField(const Value &value, Message *message, const Reflection *reflection,
                           const FieldDescriptor *field, std::string &error, int depth)
{
    const bool repeated = field->is_repeated();
    switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
    case FieldDescriptor::CPPTYPE_INT64:
    case FieldDescriptor::CPPTYPE_UINT32:
    case FieldDescriptor::CPPTYPE_UINT64: {
        uint64_t bits;
        if (!integerBits(value, bits))
            return mismatch(error, "Not a number");
        switch (field->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32: {
            const auto v = static_cast<int32_t>(static_cast<uint32_t>(bits));
            repeated ? reflection->AddInt32(message, field, v) : reflection->SetInt32(message, field, v);
            break;
        }
        case FieldDescriptor::CPPTYPE_INT64: {
            const auto v = static_cast<int64_t>(bits);
            repeated ? reflection->AddInt64(message, field, v) : reflection->SetInt64(message, field, v);
            break;
        }
        case FieldDescriptor::CPPTYPE_UINT32: {
            const auto v = static_cast<uint32_t>(bits);
            repeated ? reflection->AddUInt32(message, field, v) : reflection->SetUInt32(message, field, v);
            break;
        }
        default:
            repeated ? reflection->AddUInt64(message, field, bits) : reflection->SetUInt64(message, field, bits);
            break;
        }
        return ProtobufJsonConverter::ConvertSuccess;
    }
    case FieldDescriptor::CPPTYPE_DOUBLE:
    case FieldDescriptor::CPPTYPE_FLOAT: {
        double d;
        if (!doubleOf(value, d))
            return mismatch(error, "Not a number");
        if (field->cpp_type() == FieldDescriptor::CPPTYPE_DOUBLE) {
            repeated ? reflection->AddDouble(message, field, d) : reflection->SetDouble(message, field, d);
        } else {
            const auto f = static_cast<float>(d);
            repeated ? reflection->AddFloat(message, field, f) : reflection->SetFloat(message, field, f);
        }
        return ProtobufJsonConverter::ConvertSuccess;
    }
    case FieldDescriptor::CPPTYPE_BOOL:
        if (!value.IsBool())
            return mismatch(error, "Not a bool");
        repeated ? reflection->AddBool(message, field, value.GetBool())
                 : reflection->SetBool(message, field, value.GetBool());
        return ProtobufJsonConverter::ConvertSuccess;
    case FieldDescriptor::CPPTYPE_ENUM: {
        const EnumValueDescriptor *enumValue = nullptr;
        if (value.IsInt()) {
            enumValue = field->enum_type()->FindValueByNumber(value.GetInt());
        } else if (value.IsNumber()) {
            // Fractions and numbers beyond 32 bits name no enum value.
            if (value.IsDouble())
                return mismatch(error, "Not an integer or string");
        } else if (value.IsString()) {
            enumValue = field->enum_type()->FindValueByName(std::string(value.GetString(), value.GetStringLength()));
        } else {
            return mismatch(error, "Not an integer or string");
        }
        if (!enumValue)
            return mismatch(error, "Enum value not found");
        repeated ? reflection->AddEnum(message, field, enumValue) : reflection->SetEnum(message, field, enumValue);
        return ProtobufJsonConverter::ConvertSuccess;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
        if (!value.IsString())
            return mismatch(error, "Not a string");
        std::string s;
        if (field->type() == FieldDescriptor::TYPE_BYTES)
            base64DecodeTo(value.GetString(), value.GetStringLength(), s);
        else
            s.assign(value.GetString(), value.GetStringLength());
        repeated ? reflection->AddString(message, field, std::move(s))
                 : reflection->SetString(message, field, std::move(s));
        return ProtobufJsonConverter::ConvertSuccess;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE: {
        Message *sub = repeated ? reflection->AddMessage(message, field) : reflection->MutableMessage(message, field);
        return objectToMessage(value, sub, error, depth + 1);
    }
    }
    return ProtobufJsonConverter::ConvertSuccess;
}

// Appends one message per element; all share one type, so they share its
// descriptor and reflection.
ConvertResult elementsToMessages(const Value &array, Message *message, const Reflection *reflection,
                                 const FieldDescriptor *field, std::string &error, int depth)
{
    const Descriptor *elementDescriptor = nullptr;
    const Reflection *elementReflection = nullptr;
    for (const Value &element : array.GetArray()) {
        Message *sub = reflection->AddMessage(message, field);
        if (!elementReflection) {
            elementDescriptor = sub->GetDescriptor();
            elementReflection = sub->GetReflection();
        }
        const ConvertResult result =
            objectToMessage(element, sub, elementDescriptor, elementReflection, error, depth + 1);
        if (result != ProtobufJsonConverter::ConvertSuccess)
            return result;
    }
    return ProtobufJsonConverter::ConvertSuccess;
}

ConvertResult objectToMessage(const Value &value, Message *message, const Descriptor *descriptor,
                              const Reflection *reflection, std::string &error, int depth)
{
    if (!value.IsObject())
        return ProtobufJsonConverter::ConvertParseError;
    if (!descriptor || !reflection) {
        error = "invalid pb object";
        return ProtobufJsonConverter::ConvertInvalidMessage;
    }
    // A type that contains itself would otherwise let the text decide how deep
    // this recursion goes.
    if (depth > ProtobufJsonConverter::maxNestingDepth) {
        error = "Message nesting too deep";
        return ProtobufJsonConverter::ConvertParseError;
    }
    int next = 0;
    for (auto member = value.MemberBegin(); member != value.MemberEnd(); ++member) {
        const FieldDescriptor *field = findField(descriptor, reflection, member->name, next);
        if (!field)
            continue;
        const Value &fieldValue = member->value;
        if (fieldValue.IsNull()) {
            reflection->ClearField(message, field);
            continue;
        }
        if (field->is_repeated()) {
            if (!fieldValue.IsArray())
                return mismatch(error, "Not array");
            if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
                const ConvertResult result = elementsToMessages(fieldValue, message, reflection, field, error, depth);
                if (result != ProtobufJsonConverter::ConvertSuccess)
                    return result;
                continue;
            }
            for (const Value &element : fieldValue.GetArray()) {
                const ConvertResult result = valueToField(element, message, reflection, field, error, depth);
                if (result != ProtobufJsonConverter::ConvertSuccess)
                    return result;
            }
        } else {
            const ConvertResult result = valueToField(fieldValue, message, reflection, field, error, depth);
            if (result != ProtobufJsonConverter::ConvertSuccess)
                return result;
        }
    }
    return ProtobufJsonConverter::ConvertSuccess;
}

using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Allocator>;

bool isNumberCharacter(char c)
{
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Doubles are taken from their text, correctly rounded, so that they read back
// exactly as they were written. RapidJSON's own full-precision mode cannot be
// used: release 1.1.0 reads a zero with a large exponent, such as 0e39, as an
// arbitrary number (by undefined behaviour), so the reader runs in its normal
// mode and each double it reports is read again from the text, which in-situ
// parsing leaves in place at the reader's position.
class ExactDoubleHandler
{
public:
    ExactDoubleHandler(Document &document, const char *text, rapidjson::InsituStringStream &stream)
        : document(document), text(text), stream(stream)
    {
    }

    bool Double(double d)
    {
        // The reader stands at the start of the number or, depending on the
        // release, at its end; in JSON no number character comes right
        // before or after a number. The text ends with a NUL.
        const char *begin = text + stream.Tell();
        const char *end = begin;
        while (begin > text && isNumberCharacter(begin[-1]))
            --begin;
        while (isNumberCharacter(*end))
            ++end;
        double exact;
        const std::from_chars_result result = std::from_chars(begin, end, exact);
        // Beyond the range of double the reader's own result stands.
        if (result.ec == std::errc() && result.ptr == end)
            d = exact;
        return document.Double(d);
    }

    bool Null() { return document.Null(); }
    bool Bool(bool b) { return document.Bool(b); }
    bool Int(int i) { return document.Int(i); }
    bool Uint(unsigned u) { return document.Uint(u); }
    bool Int64(int64_t i) { return document.Int64(i); }
    bool Uint64(uint64_t u) { return document.Uint64(u); }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool copy) { return document.RawNumber(s, n, copy); }
    bool String(const char *s, rapidjson::SizeType n, bool copy) { return document.String(s, n, copy); }
    bool StartObject() { return document.StartObject(); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return document.Key(s, n, copy); }
    bool EndObject(rapidjson::SizeType count) { return document.EndObject(count); }
    bool StartArray() { return document.StartArray(); }
    bool EndArray(rapidjson::SizeType count) { return document.EndArray(count); }

private:
    Document &document;
    const char *text;
    rapidjson::InsituStringStream &stream;
};

} // namespace

void ProtobufJsonConverter::messageToJson(const Message &message, std::string &out)
{
    char buffer[poolBufferSize];
    Allocator allocator(buffer, sizeof buffer);
    const Value object = messageValue(message, allocator);
    // The text is about as long as the tree is big: one buffer, no growing.
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    object.Accept(writer);
    out.append(text.GetString(), text.GetSize());
}

ProtobufJsonConverter::ConvertResult ProtobufJsonConverter::jsonToMessage(const std::string &json, Message *message,
                                                                          std::string &error)
{
    // The text ends at its first NUL. It is parsed in place, in a copy, so that
    // strings are not copied once more into the tree.
    const size_t size = std::strlen(json.c_str());
    char smallText[poolBufferSize];
    std::unique_ptr<char[]> largeText;
    char *text = smallText;
    if (size >= sizeof smallText) {
        largeText.reset(new char[size + 1]);
        text = largeText.get();
    }
    std::memcpy(text, json.c_str(), size + 1);

    char buffer[poolBufferSize];
    Allocator allocator(buffer, sizeof buffer);
    Document document(&allocator);
    // Iterative: thousands of opening brackets must not exhaust the stack.
    rapidjson::InsituStringStream stream(text);
    ExactDoubleHandler handler(document, text, stream);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>> reader;
    rapidjson::ParseResult parsed;
    const auto parse = [&](Document &) {
        parsed = reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag>(stream, handler);
        return !parsed.IsError();
    };
    document.Populate(parse);
    if (parsed.IsError()) {
        rapidjson::ParseErrorCode code = parsed.Code();
        // The iterative parser calls a document that starts with , : ] or }
        // empty; it holds a value that is not valid, as the recursive one says.
        if (code == rapidjson::kParseErrorDocumentEmpty
            && json.find_first_not_of(" \t\n\r") < size)
            code = rapidjson::kParseErrorValueInvalid;
        error.append(rapidjson::GetParseError_En(code));
        return ConvertParseError;
    }
    return objectToMessage(document, message, error, 0);
}

ProtobufJsonConverter::Value ProtobufJsonConverter::messageToJsonValue(const Message &message, Allocator &allocator)
{
    return messageValue(message, allocator);
}

ProtobufJsonConverter::Value ProtobufJsonConverter::fieldToJsonValue(const Message &message,
                                                                     const FieldDescriptor *field,
                                                                     Allocator &allocator)
{
    return fieldValue(message, message.GetReflection(), field, allocator);
}

ProtobufJsonConverter::ConvertResult ProtobufJsonConverter::jsonObjectToMessage(const Value &value, Message *message,
                                                                                std::string &error)
{
    return objectToMessage(value, message, error, 0);
}

ProtobufJsonConverter::ConvertResult ProtobufJsonConverter::jsonValueToField(const Value &value, Message *message,
                                                                             const FieldDescriptor *field,
                                                                             std::string &error)
{
    const Reflection *reflection = message ? message->GetReflection() : nullptr;
    if (!reflection || !field) {
        error = "invalid pb object";
        return ConvertInvalidMessage;
    }
    return valueToField(value, message, reflection, field, error, 0);
}

std::string ProtobufJsonConverter::base64Encode(const std::string &data)
{
    std::string text(base64EncodedSize(data.size()), '\0');
    if (!data.empty())
        base64EncodeTo(reinterpret_cast<const unsigned char *>(data.data()), data.size(), &text[0]);
    return text;
}

std::string ProtobufJsonConverter::base64Decode(const std::string &text)
{
    std::string data;
    base64DecodeTo(text.data(), text.size(), data);
    return data;
}
