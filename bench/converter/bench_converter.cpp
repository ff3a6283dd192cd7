// Message to JSON and back for SystemInfo and for a list of 1,000 items: our converter
// beside protobuf's own JSON functions and beside RapidJSON code written by hand for
// the two types, which is as fast as a DOM-based converter can hope to be.

#include "protobufjsonconverter.h"

#include "convbench.pb.h"
#include "system_info.pb.h"

#include <benchmark/benchmark.h>
#include <google/protobuf/util/json_util.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <string>

namespace {

using convbench::Item;
using convbench::ItemList;

SystemInfo makeSystemInfo()
{
    SystemInfo info;
    info.set_system_name("windows");
    info.set_system_version("10");
    info.set_system_arch("x86_64");
    info.set_is_admin(true);
    info.set_is_user_non_elevated_admin(false);
    return info;
}

ItemList makeItemList()
{
    ItemList list;
    for (int i = 0; i < 1000; ++i) {
        Item *item = list.add_items();
        item->set_id(i);
        item->set_stamp(1600000000000LL + i * 1013LL);
        item->set_ratio(i * 0.37 + 0.001);
        item->set_name("item number " + std::to_string(i));
        std::string payload(16, '\0');
        for (int k = 0; k < 16; ++k)
            payload[k] = static_cast<char>(i * 7 + k * 31);
        item->set_payload(payload);
        item->set_active(i % 2 == 0);
        item->set_kind(static_cast<convbench::Kind>(i % 3));
    }
    return list;
}

// --- our converter -------------------------------------------------------------

template <typename M>
void toJsonConverter(benchmark::State &state, const M &message)
{
    for (auto _ : state) {
        std::string out;
        ProtobufJsonConverter::messageToJson(message, out);
        benchmark::DoNotOptimize(out.data());
    }
}

template <typename M>
void fromJsonConverter(benchmark::State &state, const M &message)
{
    std::string json;
    ProtobufJsonConverter::messageToJson(message, json);
    for (auto _ : state) {
        M parsed;
        std::string error;
        if (ProtobufJsonConverter::jsonToMessage(json, &parsed, error) != 0)
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(&parsed);
    }
}

// --- protobuf's own -------------------------------------------------------------

template <typename M>
void toJsonProtobuf(benchmark::State &state, const M &message)
{
    google::protobuf::util::JsonPrintOptions options;
    options.preserve_proto_field_names = true;
    for (auto _ : state) {
        std::string out;
        google::protobuf::util::MessageToJsonString(message, &out, options);
        benchmark::DoNotOptimize(out.data());
    }
}

template <typename M>
void fromJsonProtobuf(benchmark::State &state, const M &message)
{
    std::string json;
    ProtobufJsonConverter::messageToJson(message, json);
    const google::protobuf::util::JsonParseOptions options;
    for (auto _ : state) {
        M parsed;
        if (!google::protobuf::util::JsonStringToMessage(json, &parsed, options).ok())
            state.SkipWithError("protobuf did not parse");
        benchmark::DoNotOptimize(&parsed);
    }
}

// --- RapidJSON by hand ----------------------------------------------------------

using Document = rapidjson::Document;
using Value = rapidjson::Value;

void writeDocument(const Value &root, std::string &out)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    root.Accept(writer);
    out.append(buffer.GetString(), buffer.GetSize());
}

Value copiedString(const std::string &s, Document::AllocatorType &allocator)
{
    return Value(s.data(), static_cast<rapidjson::SizeType>(s.size()), allocator);
}

bool nameIs(const Value &name, const char *literal)
{
    return name.GetStringLength() == std::strlen(literal) && std::memcmp(name.GetString(), literal, name.GetStringLength()) == 0;
}

void handSystemInfoToJson(const SystemInfo &info, std::string &out)
{
    Document document;
    auto &allocator = document.GetAllocator();
    document.SetObject();
    if (info.has_system_name())
        document.AddMember("system_name", copiedString(info.system_name(), allocator), allocator);
    if (info.has_system_version())
        document.AddMember("system_version", copiedString(info.system_version(), allocator), allocator);
    if (info.has_system_arch())
        document.AddMember("system_arch", copiedString(info.system_arch(), allocator), allocator);
    if (info.has_is_admin())
        document.AddMember("is_admin", info.is_admin(), allocator);
    if (info.has_is_user_non_elevated_admin())
        document.AddMember("is_user_non_elevated_admin", info.is_user_non_elevated_admin(), allocator);
    writeDocument(document, out);
}

bool handJsonToSystemInfo(const std::string &json, SystemInfo *info)
{
    Document document;
    document.Parse(json.c_str());
    if (document.HasParseError() || !document.IsObject())
        return false;
    for (const auto &member : document.GetObject()) {
        const Value &v = member.value;
        if (nameIs(member.name, "system_name") && v.IsString())
            info->set_system_name(v.GetString(), v.GetStringLength());
        else if (nameIs(member.name, "system_version") && v.IsString())
            info->set_system_version(v.GetString(), v.GetStringLength());
        else if (nameIs(member.name, "system_arch") && v.IsString())
            info->set_system_arch(v.GetString(), v.GetStringLength());
        else if (nameIs(member.name, "is_admin") && v.IsBool())
            info->set_is_admin(v.GetBool());
        else if (nameIs(member.name, "is_user_non_elevated_admin") && v.IsBool())
            info->set_is_user_non_elevated_admin(v.GetBool());
    }
    return true;
}

void handItemListToJson(const ItemList &list, std::string &out)
{
    Document document;
    auto &allocator = document.GetAllocator();
    document.SetObject();
    Value items(rapidjson::kArrayType);
    items.Reserve(static_cast<rapidjson::SizeType>(list.items_size()), allocator);
    for (const Item &item : list.items()) {
        Value object(rapidjson::kObjectType);
        if (item.has_id())
            object.AddMember("id", item.id(), allocator);
        if (item.has_stamp())
            object.AddMember("stamp", static_cast<int64_t>(item.stamp()), allocator);
        if (item.has_ratio())
            object.AddMember("ratio", item.ratio(), allocator);
        if (item.has_name())
            object.AddMember("name", copiedString(item.name(), allocator), allocator);
        if (item.has_payload()) {
            const std::string text = ProtobufJsonConverter::base64Encode(item.payload());
            object.AddMember("payload", copiedString(text, allocator), allocator);
        }
        if (item.has_active())
            object.AddMember("active", item.active(), allocator);
        if (item.has_kind())
            object.AddMember("kind", static_cast<int>(item.kind()), allocator);
        items.PushBack(object, allocator);
    }
    document.AddMember("items", items, allocator);
    writeDocument(document, out);
}

bool handJsonToItemList(const std::string &json, ItemList *list)
{
    Document document;
    document.Parse(json.c_str());
    if (document.HasParseError() || !document.IsObject())
        return false;
    const auto items = document.FindMember("items");
    if (items == document.MemberEnd() || !items->value.IsArray())
        return false;
    list->mutable_items()->Reserve(static_cast<int>(items->value.Size()));
    for (const Value &object : items->value.GetArray()) {
        if (!object.IsObject())
            return false;
        Item *item = list->add_items();
        for (const auto &member : object.GetObject()) {
            const Value &v = member.value;
            if (nameIs(member.name, "id") && v.IsInt())
                item->set_id(v.GetInt());
            else if (nameIs(member.name, "stamp") && v.IsInt64())
                item->set_stamp(v.GetInt64());
            else if (nameIs(member.name, "ratio") && v.IsNumber())
                item->set_ratio(v.GetDouble());
            else if (nameIs(member.name, "name") && v.IsString())
                item->set_name(v.GetString(), v.GetStringLength());
            else if (nameIs(member.name, "payload") && v.IsString())
                item->set_payload(ProtobufJsonConverter::base64Decode(std::string(v.GetString(), v.GetStringLength())));
            else if (nameIs(member.name, "active") && v.IsBool())
                item->set_active(v.GetBool());
            else if (nameIs(member.name, "kind") && v.IsInt() && convbench::Kind_IsValid(v.GetInt()))
                item->set_kind(static_cast<convbench::Kind>(v.GetInt()));
        }
    }
    return true;
}

void toJsonHand(benchmark::State &state, const SystemInfo &info)
{
    for (auto _ : state) {
        std::string out;
        handSystemInfoToJson(info, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void toJsonHand(benchmark::State &state, const ItemList &list)
{
    for (auto _ : state) {
        std::string out;
        handItemListToJson(list, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void fromJsonHand(benchmark::State &state, const SystemInfo &info)
{
    std::string json;
    ProtobufJsonConverter::messageToJson(info, json);
    for (auto _ : state) {
        SystemInfo parsed;
        if (!handJsonToSystemInfo(json, &parsed))
            state.SkipWithError("did not parse");
        benchmark::DoNotOptimize(&parsed);
    }
}

void fromJsonHand(benchmark::State &state, const ItemList &list)
{
    std::string json;
    ProtobufJsonConverter::messageToJson(list, json);
    for (auto _ : state) {
        ItemList parsed;
        if (!handJsonToItemList(json, &parsed))
            state.SkipWithError("did not parse");
        benchmark::DoNotOptimize(&parsed);
    }
}

const SystemInfo systemInfo = makeSystemInfo();
const ItemList itemList = makeItemList();

} // namespace

// Names: <message>/<direction>/<implementation>; run.sh pairs them up for the ratios.
BENCHMARK_CAPTURE(toJsonConverter, SystemInfo/toJson/converter, systemInfo);
BENCHMARK_CAPTURE(toJsonProtobuf, SystemInfo/toJson/protobuf, systemInfo);
BENCHMARK_CAPTURE(toJsonHand, SystemInfo/toJson/rapidjson, systemInfo);
BENCHMARK_CAPTURE(fromJsonConverter, SystemInfo/fromJson/converter, systemInfo);
BENCHMARK_CAPTURE(fromJsonProtobuf, SystemInfo/fromJson/protobuf, systemInfo);
BENCHMARK_CAPTURE(fromJsonHand, SystemInfo/fromJson/rapidjson, systemInfo);
BENCHMARK_CAPTURE(toJsonConverter, Items1000/toJson/converter, itemList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(toJsonProtobuf, Items1000/toJson/protobuf, itemList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(toJsonHand, Items1000/toJson/rapidjson, itemList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fromJsonConverter, Items1000/fromJson/converter, itemList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fromJsonProtobuf, Items1000/fromJson/protobuf, itemList)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(fromJsonHand, Items1000/fromJson/rapidjson, itemList)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
