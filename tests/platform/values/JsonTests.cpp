#include <gtest/gtest.h>

#include <string>

#include "platform/values/Json.hpp"
#include "platform/values/Limits.hpp"

using namespace platform;

TEST(JsonTest, NumbersKeepTheirKind) {
    auto v = json::parse(R"({"b":true,"i":8,"r":8.0,"e":1e3,"n":-3,"big":18446744073709551615})");
    ASSERT_TRUE(v);
    const Dictionary& d = *v->asDictionary();
    EXPECT_EQ(*d.find("b"), Value(true));
    EXPECT_EQ(*d.find("i"), Value(8));
    EXPECT_EQ(*d.find("r"), Value(8.0));
    EXPECT_EQ(*d.find("e"), Value(1000.0));
    EXPECT_EQ(*d.find("n"), Value(-3));
    EXPECT_TRUE(d.find("big")->isReal());  // beyond the signed range
}

TEST(JsonTest, ObjectsKeepDocumentOrder) {
    auto v = json::parse(R"({"z":1,"a":{"y":2,"b":3}})");
    ASSERT_TRUE(v);
    EXPECT_EQ(json::toText(*v), R"({"z":1,"a":{"y":2,"b":3}})");
}

TEST(JsonTest, TextRoundTripsEveryKind) {
    Value v(Dictionary{{"s", "tab\t\"q\" \\ é"},
                       {"r", 0.30000000000000004},
                       {"whole", 2.0},
                       {"tiny", 1e-300},
                       {"i", -9007199254740993LL},
                       {"a", Array{false, Dictionary{}}}});
    std::string text = json::toText(v);
    EXPECT_NE(text.find("\"whole\":2.0"), std::string::npos) << text;
    auto back = json::parse(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, v);
}

TEST(JsonTest, UnusualCodeUnitsAreEscapedExactly) {
    Value v(String::fromUnits(std::u16string{u'a', 0x0000, 0xD800, 0xDC00, 0xDC01, 0x001F}));
    // A proper surrogate pair is one character in UTF-8; lone units are escapes.
    EXPECT_EQ(json::toText(v), "\"a\\u0000\xF0\x90\x80\x80\\udc01\\u001f\"");
}

TEST(JsonTest, DataIsWrittenAsHex) {
    EXPECT_EQ(json::toText(Value(Data{0x00, 0xAB, 0x10})), "\"00ab10\"");
}

TEST(JsonTest, BadInputIsRefusedWithAReason) {
    const struct {
        std::string text;
        const char* says;
    } cases[] = {
        {"{\"a\":", "parse error"},
        {R"({"a":null})", "null"},
        {std::string(300, '[') + std::string(300, ']'), "nested"},
    };
    for (const auto& c : cases) {
        auto v = json::parse(c.text);
        ASSERT_FALSE(v) << c.text;
        EXPECT_EQ(v.error().reason, Reason::Malformed);
        EXPECT_NE(v.error().detail.find(c.says), std::string::npos) << v.error().detail;
    }
    EXPECT_TRUE(json::parse(std::string(100, '[') + std::string(100, ']')));
}

TEST(JsonTest, NonFiniteRealsBecomeNull) {
    EXPECT_EQ(json::toText(Value(Array{std::numeric_limits<double>::infinity()})), "[null]");
}

TEST(JsonTest, ALaterDuplicateKeyReplacesTheValueInPlace) {
    auto v = json::parse(R"({"a":1,"b":2,"a":3})");
    ASSERT_TRUE(v);
    EXPECT_EQ(json::toText(*v), R"({"a":3,"b":2})");
}

// Objects and arrays up to the limits are read; one entry more refuses the
// whole document, from text and from parsed JSON alike.
TEST(JsonTest, ObjectsAndArraysBeyondTheLimitsAreRefused) {
    auto object = [](std::size_t keys, bool duplicate) {
        std::string text = "{\"inner\":{";
        for (std::size_t i = 0; i < keys; ++i)
            text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
        if (duplicate)
            text += ",\"k0\":-1";  // no new key
        return text + "}}";
    };
    auto array = [](std::size_t elements) {
        std::string text = "[[";
        for (std::size_t i = 0; i < elements; ++i)
            text += i ? ",1" : "1";
        return text + "]]";
    };
    const struct {
        std::string text;
        const char* refusal;  // nullptr: read
    } cases[] = {
        {object(limits::kMaxKeys, false), nullptr},
        {object(limits::kMaxKeys, true), nullptr},
        {object(limits::kMaxKeys + 1, false), "at most 10000 keys per dictionary"},
        {object(200000, false), "at most 10000 keys per dictionary"},
        {array(limits::kMaxElements), nullptr},
        {array(limits::kMaxElements + 1), "at most 100000 elements per array"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        auto v = json::parse(c.text);
        if (!c.refusal) {
            ASSERT_TRUE(v) << v.error().detail;
            continue;
        }
        ASSERT_FALSE(v);
        EXPECT_NE(v.error().detail.find(c.refusal), std::string::npos) << v.error().detail;
    }

    // Parsed JSON, built directly: nlohmann's own ordered objects search
    // their keys from the front when filled through its interface.
    for (std::size_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        auto& entries = object.get_ref<nlohmann::ordered_json::object_t&>();
        for (std::size_t i = 0; i < limits::kMaxKeys + extra; ++i)
            entries.emplace_back("k" + std::to_string(i), 1);
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        auto& elements = array.get_ref<nlohmann::ordered_json::array_t&>();
        elements.resize(limits::kMaxElements + extra, 1);
        EXPECT_EQ(json::fromJson(object).has_value(), extra == 0);
        EXPECT_EQ(json::fromJson(array).has_value(), extra == 0);
    }
}
