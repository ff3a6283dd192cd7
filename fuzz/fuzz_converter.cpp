// JSON text of any shape into a message with every field type, then the round
// trip message -> JSON -> message must give an equal message, and writing that
// one again must give the same text.

#include "protobufjsonconverter.h"
#include "fuzzmessages.pb.h"

#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

using google::protobuf::util::DefaultFieldComparator;
using google::protobuf::util::MessageDifferencer;

namespace {

[[noreturn]] void fail(const char *what, const kavofuzz::Node &first, const kavofuzz::Node &second,
                       const std::string &text)
{
    std::fprintf(stderr, "converter round trip: %s\nfirst:  %s\nsecond: %s\njson: %s\n", what,
                 first.ShortDebugString().c_str(), second.ShortDebugString().c_str(), text.c_str());
    std::abort();
}

// Levels of sub-messages below the given one.
int nesting(const google::protobuf::Message &message)
{
    const google::protobuf::Reflection *reflection = message.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor *> fields;
    reflection->ListFields(message, &fields);
    int deepest = 0;
    for (const google::protobuf::FieldDescriptor *field : fields) {
        if (field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE)
            continue;
        if (field->is_repeated()) {
            for (int i = 0; i < reflection->FieldSize(message, field); ++i)
                deepest = std::max(deepest, 1 + nesting(reflection->GetRepeatedMessage(message, field, i)));
        } else {
            deepest = std::max(deepest, 1 + nesting(reflection->GetMessage(message, field)));
        }
    }
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);

    kavofuzz::Node first;
    std::string error;
    try {
        ProtobufJsonConverter::jsonToMessage(input, &first, error);
    } catch (const std::runtime_error &) {
        // bad base64 in a bytes field; the fields before it are kept
    }
    // Whatever the result, the message holds only values its fields can carry,
    // and it is written without trouble.
    std::string text;
    ProtobufJsonConverter::messageToJson(first, text);
    // A failed conversion may leave one level more than is read back.
    if (nesting(first) > ProtobufJsonConverter::maxNestingDepth)
        return 0;

    kavofuzz::Node second;
    error.clear();
    ProtobufJsonConverter::ConvertResult result;
    try {
        result = ProtobufJsonConverter::jsonToMessage(text, &second, error);
    } catch (const std::runtime_error &e) {
        fail(e.what(), first, second, text);
    }
    if (result != ProtobufJsonConverter::ConvertSuccess)
        fail(("our own text is refused: " + error).c_str(), first, second, text);

    DefaultFieldComparator comparator;
    comparator.set_float_comparison(DefaultFieldComparator::EXACT);
    comparator.set_treat_nan_as_equal(true);
    MessageDifferencer differencer;
    differencer.set_field_comparator(&comparator);
    std::string differences;
    differencer.ReportDifferencesToString(&differences);
    if (!differencer.Compare(first, second))
        fail(("messages differ: " + differences).c_str(), first, second, text);

    std::string again;
    ProtobufJsonConverter::messageToJson(second, again);
    if (again != text)
        fail(("text differs the second time: " + again).c_str(), first, second, text);
    return 0;
}
