#include "protobufjsonconverter.h"

#include "convertertest.pb.h"
#include "system_info.pb.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>

#include <QtTest>

#include <cmath>
#include <memory>
#include <stdexcept>

using google::protobuf::Message;
using google::protobuf::TextFormat;
using google::protobuf::util::MessageDifferencer;
using C = ProtobufJsonConverter;

namespace {

std::unique_ptr<Message> newMessage(const QByteArray &typeName)
{
    const auto *descriptor =
        google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(typeName.toStdString());
    if (!descriptor)
        return nullptr;
    return std::unique_ptr<Message>(
        google::protobuf::MessageFactory::generated_factory()->GetPrototype(descriptor)->New());
}

std::unique_ptr<Message> fromText(const QByteArray &typeName, const QByteArray &text)
{
    auto message = newMessage(typeName);
    TextFormat::Parser parser;
    parser.AllowPartialMessage(true); // unset required fields are part of the tests
    if (message && !parser.ParseFromString(text.toStdString(), message.get()))
        return nullptr;
    return message;
}

QByteArray repeated(const QByteArray &part, int count)
{
    return part.repeated(count);
}

} // namespace

class tst_ProtobufJsonConverter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void nonFiniteRoundTrip();
    void toJson_data();
    void toJson();
    void toMessage_data();
    void toMessage();
    void nesting_data();
    void nesting();
    void singleSteps();
    void base64_data();
    void base64();
    void base64Errors_data();
    void base64Errors();
};

void tst_ProtobufJsonConverter::initTestCase()
{
    // Links the generated code, so that its descriptor is in the generated pool.
    QVERIFY(SystemInfo::descriptor());
}

void tst_ProtobufJsonConverter::roundTrip_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("checkWithProtobuf");

    QTest::addRow("nothing set") << QByteArray() << true;
    QTest::addRow("defaults set explicitly")
        << QByteArray("f_int32: 0 f_uint64: 0 f_double: 0 f_float: 0 f_bool: false f_enum: COLOUR_RED "
                      "f_string: '' f_bytes: '' f_inner {}")
        << true;
    QTest::addRow("extremes of every type")
        << QByteArray("f_int32: -2147483648 f_sint32: 2147483647 f_sfixed32: -1 "
                      "f_int64: -9223372036854775808 f_sint64: 9223372036854775807 f_sfixed64: 9007199254740993 "
                      "f_uint32: 4294967295 f_fixed32: 1 f_uint64: 18446744073709551615 "
                      "f_fixed64: 9007199254740993 f_double: 1234567 f_float: 0.1 f_bool: true "
                      "f_enum: COLOUR_BELOW_ZERO "
                      "f_string: 'quote \\\" backslash \\\\ slash / controls \\000\\001\\b\\t\\n\\f\\r\\037\\177 "
                      "umlaut \\303\\244 snowman \\342\\230\\203 clef \\360\\235\\204\\236' "
                      "f_bytes: '\\000\\377\\001abc' f_inner { number: -5 text: 'inner' }")
        << true;
    QTest::addRow("doubles and floats keep their digits")
        << QByteArray("r_double: [0.1, 1234567, 123456789.12345678, 1e300, 1.7976931348623157e308, "
                      "2.2250738585072014e-308, 5e-324, -2.5e-8, 1e21, 1e-7, 3.141592653589793] "
                      "r_float: [0.1, 3.4028235e38, 1.17549435e-38, 1e-45, 16777216, 1234567.25, -2.7182817]")
        << true;
    QTest::addRow("repeated of every type")
        << QByteArray("r_int32: [1, -1] r_sint32: [-2147483648] r_sfixed32: [7, 8, 9] "
                      "r_int64: [-9223372036854775808, 9007199254740993] r_sint64: [-1] r_sfixed64: [0, 1] "
                      "r_uint32: [4294967295, 0] r_fixed32: [3] r_uint64: [18446744073709551615] "
                      "r_fixed64: [9007199254740993] r_bool: [true, false, true] "
                      "r_enum: [COLOUR_BLUE, COLOUR_RED, COLOUR_BELOW_ZERO] "
                      "r_string: ['', 'one', 'two\\000three'] r_bytes: ['', 'f', 'fo', 'foo', '\\377\\376'] "
                      "r_inner { } r_inner { number: 1 } r_inner { text: 'x' }")
        << true;
    // Protobuf's own JSON parser cannot fill groups.
    QTest::addRow("groups") << QByteArray("FGroup { g_number: 7 } RGroup { g_text: 'a' } RGroup { }") << false;
    // Strings pass as bytes; protobuf's own parser insists on UTF-8.
    QTest::addRow("string that is not UTF-8") << QByteArray("f_string: '\\377\\300' r_string: ['\\200']") << false;
}

void tst_ProtobufJsonConverter::roundTrip()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, checkWithProtobuf);

    const auto original = fromText("convertertest.AllTypes", text);
    QVERIFY(original);
    std::string json;
    C::messageToJson(*original, json);

    convertertest::AllTypes back;
    std::string error;
    QCOMPARE(int(C::jsonToMessage(json, &back, error)), 0);
    QVERIFY2(MessageDifferencer::Equals(*original, back),
             qPrintable(QString::fromStdString(json + "\n" + back.DebugString())));

    if (checkWithProtobuf) {
        convertertest::AllTypes viaProtobuf;
        const auto status = google::protobuf::util::JsonStringToMessage(json, &viaProtobuf,
                                                                        google::protobuf::util::JsonParseOptions());
        QVERIFY2(status.ok(), qPrintable(QString::fromStdString(status.ToString() + "\n" + json)));
        QVERIFY2(MessageDifferencer::Equals(*original, viaProtobuf),
                 qPrintable(QString::fromStdString(json + "\n" + viaProtobuf.DebugString())));
    }
}

void tst_ProtobufJsonConverter::nonFiniteRoundTrip()
{
    convertertest::AllTypes original;
    original.set_f_double(std::nan(""));
    original.set_f_float(-HUGE_VALF);
    original.add_r_double(HUGE_VAL);
    original.add_r_double(-HUGE_VAL);
    original.add_r_float(std::nanf(""));
    std::string json;
    C::messageToJson(original, json);

    for (int pass = 0; pass < 2; ++pass) {
        convertertest::AllTypes back;
        if (pass == 0) {
            std::string error;
            QCOMPARE(int(C::jsonToMessage(json, &back, error)), 0);
        } else {
            QVERIFY(google::protobuf::util::JsonStringToMessage(json, &back).ok());
        }
        QVERIFY(std::isnan(back.f_double()));
        QVERIFY(back.f_float() == -HUGE_VALF);
        QCOMPARE(back.r_double_size(), 2);
        QVERIFY(back.r_double(0) == HUGE_VAL);
        QVERIFY(back.r_double(1) == -HUGE_VAL);
        QCOMPARE(back.r_float_size(), 1);
        QVERIFY(std::isnan(back.r_float(0)));
    }
}

void tst_ProtobufJsonConverter::toJson_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("json");

    QTest::addRow("nothing set") << QByteArray("SystemInfo") << QByteArray() << QByteArray("{}");
    QTest::addRow("system information")
        << QByteArray("SystemInfo")
        << QByteArray("is_user_non_elevated_admin: false is_admin: true system_arch: 'x86_64' "
                      "system_version: '12' system_name: 'debian'")
        << QByteArray("{\"system_name\":\"debian\",\"system_version\":\"12\",\"system_arch\":\"x86_64\","
                      "\"is_admin\":true,\"is_user_non_elevated_admin\":false}");
    QTest::addRow("declaration order, not number order")
        << QByteArray("convertertest.Scalars") << QByteArray("first: 1 second: -2")
        << QByteArray("{\"second\":-2,\"first\":1}");
    QTest::addRow("required and repeated fields always written")
        << QByteArray("convertertest.Required") << QByteArray()
        << QByteArray("{\"number\":0,\"text\":\"\",\"list\":[]}");
    QTest::addRow("set sub-message without fields")
        << QByteArray("convertertest.Required") << QByteArray("number: 1 text: 'a' inner {} list: [3, 4]")
        << QByteArray("{\"number\":1,\"text\":\"a\",\"inner\":{},\"list\":[3,4]}");
    QTest::addRow("int64 above 2^53 exactly")
        << QByteArray("convertertest.Scalars") << QByteArray("big: 9007199254740993")
        << QByteArray("{\"big\":9007199254740993}");
    QTest::addRow("double with seven digits")
        << QByteArray("convertertest.Scalars") << QByteArray("real: 1234567")
        << QByteArray("{\"real\":1234567.0}");
    QTest::addRow("double with seventeen digits")
        << QByteArray("convertertest.Scalars") << QByteArray("real: 123456789.12345678")
        << QByteArray("{\"real\":123456789.12345678}");
    QTest::addRow("shortest double")
        << QByteArray("convertertest.Scalars") << QByteArray("real: 0.1") << QByteArray("{\"real\":0.1}");
    QTest::addRow("large double")
        << QByteArray("convertertest.Scalars") << QByteArray("real: -1e300") << QByteArray("{\"real\":-1e300}");
    QTest::addRow("shortest float")
        << QByteArray("convertertest.Scalars") << QByteArray("single: 0.1 real: 0.1")
        << QByteArray("{\"real\":0.1,\"single\":0.1}");
    QTest::addRow("not a number")
        << QByteArray("convertertest.Scalars") << QByteArray("real: nan") << QByteArray("{\"real\":\"NaN\"}");
    QTest::addRow("infinities")
        << QByteArray("convertertest.Scalars") << QByteArray("real: inf single: -inf")
        << QByteArray("{\"real\":\"Infinity\",\"single\":\"-Infinity\"}");
    QTest::addRow("escapes")
        << QByteArray("convertertest.Scalars")
        << QByteArray("text: '\\\"\\\\/\\b\\t\\n\\f\\r\\000\\001\\037\\177 \\303\\244'")
        << QByteArray("{\"text\":\"\\\"\\\\/\\b\\t\\n\\f\\r\\u0000\\u0001\\u001F\x7f \xc3\xa4\"}");
    QTest::addRow("bytes in base64")
        << QByteArray("convertertest.Scalars") << QByteArray("data: '\\000\\377'") << QByteArray("{\"data\":\"AP8=\"}");
    QTest::addRow("enum as number")
        << QByteArray("convertertest.Scalars") << QByteArray("colour: COLOUR_BELOW_ZERO flag: false")
        << QByteArray("{\"colour\":-3,\"flag\":false}");
    QTest::addRow("extensions not written")
        << QByteArray("convertertest.Extendable") << QByteArray("base: 1 [convertertest.ext_number]: 2")
        << QByteArray("{\"base\":1}");
}

void tst_ProtobufJsonConverter::toJson()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, json);

    const auto message = fromText(type, text);
    QVERIFY(message);
    std::string out = "kept:";
    C::messageToJson(*message, out);
    QCOMPARE(QByteArray::fromStdString(out), "kept:" + json);
}

void tst_ProtobufJsonConverter::toMessage_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("error"); // starts as "stale:"
    QTest::addColumn<QByteArray>("after");

    const QByteArray all("convertertest.AllTypes");
    const QByteArray stale("stale:");

    // Parse failures append the library's text and leave the message alone.
    QTest::addRow("broken text") << all << QByteArray("f_int32: 1") << QByteArray("{\"f_int32\":") << -1
                                 << stale + "Invalid value." << QByteArray("f_int32: 1");
    QTest::addRow("empty text") << all << QByteArray() << QByteArray() << -1 << stale + "The document is empty."
                                << QByteArray();
    for (const char *text : {",", " :1", "]", " }"})
        QTest::addRow("starts with '%s'", text) << all << QByteArray() << QByteArray(text) << -1
                                                << stale + "Invalid value." << QByteArray();
    QTest::addRow("trailing text") << all << QByteArray() << QByteArray("{} {}") << -1
                                   << stale + "The document root must not be followed by other values."
                                   << QByteArray();
    QTest::addRow("text ends at NUL") << all << QByteArray() << QByteArray("{\"f_int32\":3}\0garbage", 21) << 0
                                      << stale << QByteArray("f_int32: 3");
    QTest::addRow("array at the top") << all << QByteArray("f_int32: 1") << QByteArray("[]") << -1 << stale
                                      << QByteArray("f_int32: 1");
    QTest::addRow("number for a message") << all << QByteArray() << QByteArray("{\"f_inner\":5}") << -1 << stale
                                          << QByteArray("f_inner {}");
    QTest::addRow("number in a repeated message") << all << QByteArray() << QByteArray("{\"r_inner\":[{},5]}") << -1
                                                  << stale << QByteArray("r_inner {} r_inner {}");

    // Names.
    QTest::addRow("camel case name ignored") << all << QByteArray() << QByteArray("{\"fInt32\":5}") << 0 << stale
                                             << QByteArray();
    QTest::addRow("unknown members skipped") << all << QByteArray()
                                             << QByteArray("{\"x\":[1,{\"y\":2}],\"f_int32\":5,\"z\":null}") << 0
                                             << stale << QByteArray("f_int32: 5");
    QTest::addRow("members in any order") << all << QByteArray()
                                          << QByteArray("{\"r_bool\":[true],\"f_bool\":true,\"f_int32\":2}") << 0
                                          << stale << QByteArray("f_int32: 2 f_bool: true r_bool: true");
    QTest::addRow("group by field name") << all << QByteArray() << QByteArray("{\"fgroup\":{\"g_number\":3}}") << 0
                                         << stale << QByteArray("FGroup { g_number: 3 }");
    QTest::addRow("extension by full name")
        << QByteArray("convertertest.Extendable") << QByteArray()
        << QByteArray("{\"base\":1,\"convertertest.ext_number\":2}") << 0 << stale
        << QByteArray("base: 1 [convertertest.ext_number]: 2");

    // Null and repeated fields.
    QTest::addRow("null clears") << all << QByteArray("f_int32: 1 f_inner { number: 2 } r_int32: [1, 2]")
                                 << QByteArray("{\"f_int32\":null,\"f_inner\":null,\"r_int32\":null}") << 0 << stale
                                 << QByteArray();
    QTest::addRow("repeated appends") << all << QByteArray("r_int32: 1 r_inner { number: 1 }")
                                      << QByteArray("{\"r_int32\":[2,3],\"r_inner\":[{\"number\":2}]}") << 0 << stale
                                      << QByteArray("r_int32: [1, 2, 3] r_inner { number: 1 } r_inner { number: 2 }");
    QTest::addRow("not array") << all << QByteArray() << QByteArray("{\"r_int32\":5}") << -4 << QByteArray("Not array")
                               << QByteArray();
    QTest::addRow("first error ends the conversion")
        << all << QByteArray() << QByteArray("{\"f_int32\":5,\"r_int32\":[1,\"2\",3],\"f_string\":\"x\"}") << -4
        << QByteArray("Not a number") << QByteArray("f_int32: 5 r_int32: 1");

    // Integers: two's complement modulo the width; nothing but 64-bit integers.
    QTest::addRow("-1 in uint32") << all << QByteArray() << QByteArray("{\"f_uint32\":-1}") << 0 << stale
                                  << QByteArray("f_uint32: 4294967295");
    QTest::addRow("2^32-1 in int32") << all << QByteArray() << QByteArray("{\"f_int32\":4294967295,\"f_fixed32\":-2}")
                                     << 0 << stale << QByteArray("f_int32: -1 f_fixed32: 4294967294");
    QTest::addRow("2^64-1 in int64") << all << QByteArray()
                                     << QByteArray("{\"f_int64\":18446744073709551615,\"f_uint64\":-1}") << 0 << stale
                                     << QByteArray("f_int64: -1 f_uint64: 18446744073709551615");
    QTest::addRow("low 32 bits of a 64-bit integer")
        << all << QByteArray() << QByteArray("{\"f_sint32\":4294967298,\"r_sfixed32\":[-4294967297]}") << 0 << stale
        << QByteArray("f_sint32: 2 r_sfixed32: -1");
    QTest::addRow("int64 above 2^53 exactly") << all << QByteArray() << QByteArray("{\"f_sfixed64\":9007199254740993}")
                                              << 0 << stale << QByteArray("f_sfixed64: 9007199254740993");
    QTest::addRow("string for an integer") << all << QByteArray() << QByteArray("{\"f_int64\":\"5\"}") << -4
                                           << QByteArray("Not a number") << QByteArray();
    QTest::addRow("fraction for an integer") << all << QByteArray() << QByteArray("{\"f_int32\":1.5}") << -4
                                             << QByteArray("Not a number") << QByteArray();
    QTest::addRow("integral fraction for an integer") << all << QByteArray() << QByteArray("{\"f_uint32\":2.0}") << -4
                                                      << QByteArray("Not a number") << QByteArray();
    QTest::addRow("exponent for an integer") << all << QByteArray() << QByteArray("{\"f_int64\":1e3}") << -4
                                             << QByteArray("Not a number") << QByteArray();
    QTest::addRow("integer beyond 64 bits") << all << QByteArray()
                                            << QByteArray("{\"f_uint64\":18446744073709551616}") << -4
                                            << QByteArray("Not a number") << QByteArray();
    QTest::addRow("negative integer beyond 64 bits")
        << all << QByteArray() << QByteArray("{\"f_int64\":-9223372036854775809}") << -4 << QByteArray("Not a number")
        << QByteArray();

    // Floating point.
    QTest::addRow("integer for a double") << all << QByteArray() << QByteArray("{\"f_double\":-7,\"f_float\":3}") << 0
                                          << stale << QByteArray("f_double: -7 f_float: 3");
    QTest::addRow("double narrowed to float") << all << QByteArray()
                                              << QByteArray("{\"f_float\":0.10000000149011612}") << 0 << stale
                                              << QByteArray("f_float: 0.1");
    QTest::addRow("zero with a large exponent")
        << all << QByteArray()
        << QByteArray("{\"f_double\":0e39,\"f_float\":-0.000e308,\"r_double\":[0.0e-30,0e300,1e-400,5e0,1e300]}")
        << 0 << stale << QByteArray("f_double: 0 f_float: -0 r_double: [0, 0, 0, 5, 1e300]");
    QTest::addRow("doubles correctly rounded")
        << all << QByteArray() << QByteArray("{\"r_double\":[1.0000001033149363e308,1.0000001033149362e308,"
                                             "0.30000000000000004,2.2250738585072011e-308,4.9e-324]}")
        << 0 << stale
        << QByteArray("r_double: [1.0000001033149363e308, 1.0000001033149363e308, 0.30000000000000004, "
                      "2.2250738585072011e-308, 4.9e-324]");
    QTest::addRow("infinity for a double") << all << QByteArray()
                                           << QByteArray("{\"f_double\":\"-Infinity\",\"r_float\":[\"Infinity\"]}")
                                           << 0 << stale << QByteArray("f_double: -inf r_float: inf");
    QTest::addRow("other string for a double") << all << QByteArray() << QByteArray("{\"f_double\":\"1.5\"}") << -4
                                               << QByteArray("Not a number") << QByteArray();
    QTest::addRow("bool for a float") << all << QByteArray() << QByteArray("{\"f_float\":true}") << -4
                                      << QByteArray("Not a number") << QByteArray();

    // Bool, enum, string, bytes.
    QTest::addRow("string for a bool") << all << QByteArray() << QByteArray("{\"f_bool\":\"true\"}") << -4
                                       << QByteArray("Not a bool") << QByteArray();
    QTest::addRow("number for a bool") << all << QByteArray() << QByteArray("{\"r_bool\":[1]}") << -4
                                       << QByteArray("Not a bool") << QByteArray();
    QTest::addRow("enum by number and name") << all << QByteArray()
                                             << QByteArray("{\"f_enum\":-3,\"r_enum\":[\"COLOUR_BLUE\",1]}") << 0
                                             << stale
                                             << QByteArray("f_enum: COLOUR_BELOW_ZERO r_enum: [COLOUR_BLUE, COLOUR_GREEN]");
    QTest::addRow("unknown enum number") << all << QByteArray() << QByteArray("{\"f_enum\":7}") << -4
                                         << QByteArray("Enum value not found") << QByteArray();
    QTest::addRow("unknown enum name") << all << QByteArray() << QByteArray("{\"f_enum\":\"colour_blue\"}") << -4
                                       << QByteArray("Enum value not found") << QByteArray();
    QTest::addRow("enum number beyond 32 bits") << all << QByteArray() << QByteArray("{\"f_enum\":4294967297}") << -4
                                                << QByteArray("Enum value not found") << QByteArray();
    QTest::addRow("fraction for an enum") << all << QByteArray() << QByteArray("{\"f_enum\":1.5}") << -4
                                          << QByteArray("Not an integer or string") << QByteArray();
    QTest::addRow("bool for an enum") << all << QByteArray() << QByteArray("{\"f_enum\":true}") << -4
                                      << QByteArray("Not an integer or string") << QByteArray();
    QTest::addRow("number for a string") << all << QByteArray() << QByteArray("{\"f_string\":5}") << -4
                                         << QByteArray("Not a string") << QByteArray();
    QTest::addRow("number for bytes") << all << QByteArray() << QByteArray("{\"r_bytes\":[5]}") << -4
                                      << QByteArray("Not a string") << QByteArray();
    QTest::addRow("string with NUL and UTF-8") << all << QByteArray()
                                               << QByteArray("{\"f_string\":\"a\\u0000b\\u00e4\xe2\x98\x83\"}") << 0
                                               << stale << QByteArray("f_string: 'a\\000b\\303\\244\\342\\230\\203'");
    QTest::addRow("bytes from base64") << all << QByteArray() << QByteArray("{\"f_bytes\":\"AP8=\",\"r_bytes\":[\"\"]}")
                                       << 0 << stale << QByteArray("f_bytes: '\\000\\377' r_bytes: ''");

    QTest::addRow("no message") << QByteArray() << QByteArray() << QByteArray("{}") << -2
                                << QByteArray("invalid pb object") << QByteArray();
}

void tst_ProtobufJsonConverter::toMessage()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, json);
    QFETCH(int, code);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, after);

    std::unique_ptr<Message> message;
    std::unique_ptr<Message> expected;
    if (!type.isEmpty()) {
        message = fromText(type, before);
        expected = fromText(type, after);
        QVERIFY(message && expected);
    }
    std::string errorText = "stale:";
    QCOMPARE(int(C::jsonToMessage(json.toStdString(), message.get(), errorText)), code);
    QCOMPARE(QByteArray::fromStdString(errorText), error);
    if (message)
        QVERIFY2(MessageDifferencer::Equals(*expected, *message), qPrintable(QString::fromStdString(message->DebugString())));
}

void tst_ProtobufJsonConverter::nesting_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("error");

    const int deep = 100000;
    QTest::addRow("100 sub-messages") << "{" + repeated("\"child\":{", 100) + "\"value\":1" + repeated("}", 101) << 0
                                      << QByteArray();
    QTest::addRow("101 sub-messages") << "{" + repeated("\"child\":{", 101) + repeated("}", 102) << -1
                                      << QByteArray("Message nesting too deep");
    QTest::addRow("a hundred thousand sub-messages")
        << "{" + repeated("\"child\":{", deep) + repeated("}", deep + 1) << -1 << QByteArray("Message nesting too deep");
    QTest::addRow("deep object in an unknown member")
        << "{\"other\":" + repeated("{\"a\":", deep) + "1" + repeated("}", deep + 1) << 0 << QByteArray();
    QTest::addRow("deep arrays") << repeated("[", deep) + repeated("]", deep) << -1 << QByteArray();
    QTest::addRow("unclosed brackets") << repeated("[", deep) << -1 << QByteArray("Invalid value.");
    QTest::addRow("unclosed objects") << repeated("{\"a\":", deep) << -1 << QByteArray("Invalid value.");
}

void tst_ProtobufJsonConverter::nesting()
{
    QFETCH(QByteArray, json);
    QFETCH(int, code);
    QFETCH(QByteArray, error);

    convertertest::Recursive message;
    std::string errorText;
    QCOMPARE(int(C::jsonToMessage(json.toStdString(), &message, errorText)), code);
    QCOMPARE(QByteArray::fromStdString(errorText), error);
    if (code == 0) {
        // What was read is written back whole.
        std::string out;
        C::messageToJson(message, out);
        convertertest::Recursive back;
        QCOMPARE(int(C::jsonToMessage(out, &back, errorText)), 0);
        QVERIFY(MessageDifferencer::Equals(message, back));
    }
}

void tst_ProtobufJsonConverter::singleSteps()
{
    convertertest::AllTypes message;
    message.add_r_int32(1);
    const auto *field = message.GetDescriptor()->FindFieldByName("r_int32");
    QVERIFY(field);

    C::Allocator allocator;
    const C::Value array = C::fieldToJsonValue(message, field, allocator);
    QVERIFY(array.IsArray());
    QCOMPARE(array.Size(), 1u);

    std::string error;
    QCOMPARE(int(C::jsonValueToField(C::Value(-2), &message, field, error)), 0);
    QCOMPARE(message.r_int32_size(), 2);
    QCOMPARE(message.r_int32(1), -2);
    QCOMPARE(int(C::jsonValueToField(C::Value(true), &message, field, error)), -4);
    QCOMPARE(error, std::string("Not a number"));
    QCOMPARE(int(C::jsonValueToField(C::Value(1), &message, nullptr, error)), -2);
    QCOMPARE(error, std::string("invalid pb object"));

    const C::Value object = C::messageToJsonValue(message, allocator);
    QVERIFY(object.IsObject());
    convertertest::AllTypes copy;
    QCOMPARE(int(C::jsonObjectToMessage(object, &copy, error)), 0);
    QVERIFY(MessageDifferencer::Equals(message, copy));
}

void tst_ProtobufJsonConverter::base64_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("text");

    QTest::addRow("empty") << QByteArray() << QByteArray();
    QTest::addRow("one byte") << QByteArray("f") << QByteArray("Zg==");
    QTest::addRow("two bytes") << QByteArray("\0\xff", 2) << QByteArray("AP8=");
    QTest::addRow("three bytes") << QByteArray("foo") << QByteArray("Zm9v");
    QTest::addRow("seven bytes") << QByteArray("foobar!") << QByteArray("Zm9vYmFyIQ==");
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QTest::addRow("every byte") << all << all.toBase64();
}

void tst_ProtobufJsonConverter::base64()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, text);

    QCOMPARE(QByteArray::fromStdString(C::base64Encode(data.toStdString())), text);
    QCOMPARE(QByteArray::fromStdString(C::base64Decode(text.toStdString())), data);
}

void tst_ProtobufJsonConverter::base64Errors_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QByteArray>("decoded"); // when nothing is thrown

    QTest::addRow("short") << QByteArray("AP8") << QByteArray("Invalid base64 data size") << QByteArray();
    QTest::addRow("one too many") << QByteArray("Zm9vY") << QByteArray("Invalid base64 data size") << QByteArray();
    QTest::addRow("outside the alphabet") << QByteArray("AP8*") << QByteArray("Invalid hex data: AP8*") << QByteArray();
    QTest::addRow("in the second group") << QByteArray("Zm9vA-8=") << QByteArray("Invalid hex data: A-8=")
                                         << QByteArray();
    QTest::addRow("white space") << QByteArray("Zm9v AP8") << QByteArray("Invalid hex data:  AP8") << QByteArray();
    // Padding in the third place ends the group, whatever follows.
    QTest::addRow("padding then a letter") << QByteArray("AP=A") << QByteArray() << QByteArray("\0", 1);
}

void tst_ProtobufJsonConverter::base64Errors()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, error);
    QFETCH(QByteArray, decoded);

    try {
        const std::string data = C::base64Decode(text.toStdString());
        QVERIFY2(error.isEmpty(), "nothing thrown");
        QCOMPARE(QByteArray::fromStdString(data), decoded);
    } catch (const std::runtime_error &e) {
        QCOMPARE(QByteArray(e.what()), error);
    }

    if (error.isEmpty())
        return;
    // The exception leaves the converter as it is.
    convertertest::AllTypes message;
    std::string errorText;
    const std::string json = "{\"f_int32\":1,\"r_bytes\":[\"" + text.toStdString() + "\"]}";
    bool thrown = false;
    try {
        C::jsonToMessage(json, &message, errorText);
    } catch (const std::runtime_error &) {
        thrown = true;
    }
    QVERIFY(thrown);
    QCOMPARE(message.f_int32(), 1);
}

QTEST_MAIN(tst_ProtobufJsonConverter)
#include "tst_protobufjsonconverter.moc"
