// The property-list codec against real libplist: exact round trips in both
// forms, what libplist itself writes, and hostile bytes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "platform/prefs/PlistCodec.hpp"
#include "platform/values/Json.hpp"
#include "platform/values/Limits.hpp"
#include "tests/support/ResultChecks.hpp"

namespace {

using platform::Array;
using platform::Data;
using platform::Dictionary;
using platform::String;
using platform::Value;
using tact::test::errorOf;
namespace plist = platform::plist;

Value viaXml(const Value& v) {
    auto xml = plist::toXml(v);
    EXPECT_TRUE(xml);
    auto back = plist::parse(*xml);
    EXPECT_TRUE(back) << errorOf(back) << "\n" << *xml;
    return back ? *back : Value("parse failed");
}

Value viaBinary(const Value& v) {
    auto bin = plist::toBinary(v);
    EXPECT_TRUE(bin);
    auto back = plist::parse(std::span<const std::uint8_t>(*bin));
    EXPECT_TRUE(back) << errorOf(back);
    return back ? *back : Value("parse failed");
}

// XML that libplist itself writes for a value (through our node tree).
std::string libplistXml(const Value& v) {
    plist::Node node = plist::toNode(v);
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(node.get()), &raw, &length);
    std::unique_ptr<char, void (*)(char*)> buffer(raw, plist_to_xml_free);
    return buffer ? std::string(buffer.get(), length) : std::string();
}

std::uint64_t bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

// Same double bit for bit; any NaN matches any NaN.
void expectSameReal(double expected, const Value& actual, const char* form) {
    ASSERT_TRUE(actual.isReal()) << form << ": " << platform::describe(actual);
    double got = *actual.asReal();
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(got)) << form;
    } else {
        EXPECT_EQ(bits(expected), bits(got))
            << form << ": " << std::hexfloat << expected << " came back as " << got;
    }
}

std::vector<double> awkwardReals() {
    return {0.0,
            -0.0,
            0.1 + 0.2,
            0.05859375,
            1e-300,
            1e300,
            8.0,
            -2.5,
            1.0 / 3.0,
            std::numeric_limits<double>::min(),
            std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::max(),
            std::numeric_limits<double>::lowest(),
            std::numeric_limits<double>::epsilon(),
            9007199254740993.0,
            123456789012345678.0,
            std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN()};
}

TEST(PlistCodecNumbers, IntegersKeepTheirSignInBothForms) {
    const std::int64_t cases[] = {0,
                                  1,
                                  -1,
                                  -5,
                                  255,
                                  -256,
                                  std::int64_t{1} << 32,
                                  -(std::int64_t{1} << 40),
                                  std::numeric_limits<std::int64_t>::max(),
                                  std::numeric_limits<std::int64_t>::min()};
    for (std::int64_t i : cases) {
        EXPECT_EQ(viaXml(Value(static_cast<long long>(i))), Value(static_cast<long long>(i)));
        EXPECT_EQ(viaBinary(Value(static_cast<long long>(i))), Value(static_cast<long long>(i)));
    }
    // libplist's own XML of a node holding the two's complement of -5, and
    // our reading of it.
    std::string own = libplistXml(Value(Array{-5, std::numeric_limits<std::int64_t>::min()}));
    EXPECT_NE(own.find("<integer>-5</integer>"), std::string::npos) << own;
    EXPECT_NE(own.find("<integer>-9223372036854775808</integer>"), std::string::npos) << own;
    EXPECT_EQ(tact::test::valueOf(plist::parse(own)),
              Value(Array{-5, std::numeric_limits<std::int64_t>::min()}));
}

TEST(PlistCodecNumbers, EveryRealComesBackBitForBit) {
    for (double d : awkwardReals()) {
        expectSameReal(d, viaXml(Value(d)), "XML");
        expectSameReal(d, viaBinary(Value(d)), "binary");
    }
    std::mt19937_64 random(20240611);
    Array many;
    for (int i = 0; i < 20000; ++i)
        many.push_back(std::bit_cast<double>(random()));
    Value back = viaXml(Value(many));
    ASSERT_TRUE(back.isArray());
    ASSERT_EQ(back.asArray()->size(), many.size());
    for (std::size_t i = 0; i < many.size(); ++i) {
        expectSameReal(*many[i].asReal(), (*back.asArray())[i], "XML");
        if (HasFailure())
            break;
    }
}

TEST(PlistCodecNumbers, LibplistLosesTheSignOfNegativeZeroWhichOurXmlKeeps) {
    EXPECT_NE(libplistXml(Value(-0.0)).find("<real>0.0</real>"), std::string::npos);
    EXPECT_NE(plist::toXml(Value(-0.0))->find("<real>-0</real>"), std::string::npos);
}

TEST(PlistCodecNumbers, IntegerRealAndBooleanStayApart) {
    Value v(Dictionary{{"i", 8}, {"r", 8.0}, {"b", true}, {"f", false}, {"one", 1}});
    for (const Value& back : {viaXml(v), viaBinary(v)}) {
        const Dictionary& d = *back.asDictionary();
        EXPECT_TRUE(d.find("i")->isInteger());
        EXPECT_TRUE(d.find("r")->isReal());
        EXPECT_TRUE(d.find("b")->isBoolean());
        EXPECT_EQ(*d.find("f"), Value(false));
        EXPECT_TRUE(d.find("one")->isInteger());
        EXPECT_EQ(back, v);
    }
}

TEST(PlistCodecStructure, DictionariesKeepTheirOrderNestedAndData) {
    Data big(1000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    Value v(Dictionary{
        {"zeta", 1},
        {"alpha", Dictionary{{"y", 2.5}, {"b", Array{1, "two", Dictionary{}}}, {"a", Array{}}}},
        {"mid", Data{0x00, 0xFF, 0x10}},
        {"empty", Data{}},
        {"big", big},
        {"", String("empty key")},
    });
    for (const Value& back : {viaXml(v), viaBinary(v)}) {
        ASSERT_TRUE(back.isDictionary());
        std::vector<std::string> keys;
        for (const auto& [k, unused] : *back.asDictionary())
            keys.push_back(k.toUtf8Lossy());
        EXPECT_EQ(keys, (std::vector<std::string>{"zeta", "alpha", "mid", "empty", "big", ""}));
        std::vector<std::string> inner;
        for (const auto& [k, unused] : *back.asDictionary()->dictionary("alpha")) {
            inner.push_back(k.toUtf8Lossy());
        }
        EXPECT_EQ(inner, (std::vector<std::string>{"y", "b", "a"}));
        EXPECT_EQ(back, v);
    }
}

TEST(PlistCodecText, MarkupAndControlCharactersRoundTrip) {
    const char* texts[] = {"plain",
                           "<tag> & \"quoted\" 'apos' ]]>",
                           "line\nbreak\ttab",
                           "carriage\rreturn\r\n",
                           "bell\x07 escape\x1b",
                           "é ü 中文 😀",
                           "\xef\xbf\xbe nonchar",
                           ""};
    for (const char* t : texts) {
        Value v(Dictionary{{String(t), String(t)}});
        EXPECT_EQ(viaXml(v), v) << t;
        EXPECT_EQ(viaBinary(v), v) << t;
    }
}

TEST(PlistCodecText, TextThatCannotBePlainIsWrittenWithReplacementCharacters) {
    String withNul = String::fromUnits(std::u16string(u"a\0b", 3));
    String loneSurrogate = String::fromUnits(u"x\xD800y");
    ASSERT_FALSE(withNul.isPlainText());
    Value v(Dictionary{{"nul", withNul}, {"lone", loneSurrogate}, {withNul, 1}});
    Value expected(
        Dictionary{{"nul", String("a\uFFFDb")}, {"lone", String("x\uFFFDy")}, {"a\uFFFDb", 1}});
    EXPECT_EQ(viaXml(v), expected);
    EXPECT_EQ(viaBinary(v), expected);
}

TEST(PlistCodecStructure, WritersRefuseNestingBeyondTheLimit) {
    Value deep(Array{});
    for (std::size_t i = 0; i < plist::kMaxDepth + 5; ++i)
        deep = Value(Array{deep});
    EXPECT_NE(errorOf(plist::toXml(deep, "deep")).find("nested"), std::string::npos);
    EXPECT_FALSE(plist::toBinary(deep));
}

TEST(PlistCodecStructure, ReadsWhatOtherWritersProduce) {
    // The layout other property-list writers use: comments, CDATA, entities, multi-line data.
    const char* xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<!-- a comment -->
<dict>
	<key>Coefficients</key>
	<dict>
		<key>CoefficientKX1</key>
		<real>1.0049999999999999</real>
	</dict>
	<key>InchSize</key>
	<integer>-3</integer>
	<key>Text</key>
	<string><![CDATA[<raw>]]> &amp; &#x41;</string>
	<key>Blob</key>
	<data>
	AAEC
	Aw==
	</data>
	<key>LogStart</key>
	<true/>
</dict>
</plist>
)";
    auto v = plist::parse(std::string_view(xml));
    ASSERT_TRUE(v) << errorOf(v);
    Value expected(Dictionary{{"Coefficients", Dictionary{{"CoefficientKX1", 1.005}}},
                              {"InchSize", -3},
                              {"Text", "<raw> & A"},
                              {"Blob", Data{0, 1, 2, 3}},
                              {"LogStart", true}});
    EXPECT_EQ(*v, expected);
}

// ---------------------------------------------------------------------------
// Hostile bytes: every case must end in a clean result or a clean failure.

Value sample() {
    return Value(Dictionary{
        {"Coefficients", Dictionary{{"CoefficientKX1", 0.30000000000000004},
                                    {"CoefficientKY1", -1e-300},
                                    {"CoefficientKWIDTH", 1920.0}}},
        {"ClickDuration", 0.05859375},
        {"InchSize", -21},
        {"LogFile", "/tmp/log <&> é"},
        {"LogStart", true},
        {"Blob", Data{1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"List", Array{1, 2.5, "x", Array{Dictionary{{"k", false}}}}},
    });
}

std::string asText(const std::vector<std::uint8_t>& b) {
    return std::string(b.begin(), b.end());
}

void feed(const std::string& bytes) {
    auto v = plist::parse(bytes);
    if (!v) {
        EXPECT_FALSE(v.error().detail.empty());
    }
}

TEST(PlistCodecHostile, TruncatedAndMutatedFilesFailCleanly) {
    const std::string xml = *plist::toXml(sample());
    const std::string bin = asText(*plist::toBinary(sample()));
    std::mt19937 random(7);
    for (const std::string& valid : {xml, bin}) {
        ASSERT_TRUE(plist::parse(valid));
        for (std::size_t n = 0; n < valid.size(); n += (valid.size() > 400 ? 3 : 1)) {
            feed(valid.substr(0, n));
        }
        for (int round = 0; round < 400; ++round) {
            std::string m = valid;
            int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits; ++e) {
                std::size_t at = random() % m.size();
                switch (random() % 4) {
                    case 0:
                        m[at] = static_cast<char>(random());
                        break;
                    case 1:
                        m.erase(at, 1 + random() % 8);
                        break;
                    case 2:
                        m.insert(at, std::string(1 + random() % 4, static_cast<char>(random())));
                        break;
                    default:
                        m[at] = static_cast<char>(m[at] ^ (1 << (random() % 8)));
                        break;
                }
                if (m.empty())
                    m = "x";
            }
            feed(m);
        }
    }
    for (int round = 0; round < 300; ++round) {
        std::string garbage(random() % 600, '\0');
        for (char& c : garbage)
            c = static_cast<char>(random());
        if (round % 3 == 0)
            garbage.insert(0, "bplist00");
        if (round % 3 == 1)
            garbage.insert(0, "<?xml version=\"1.0\"?><plist><dict>");
        feed(garbage);
    }
}

TEST(PlistCodecHostile, DeepNestingIsRefusedBeforeLibplistSeesIt) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 200000; ++i)
        xml += "<array>";
    for (int i = 0; i < 200000; ++i)
        xml += "</array>";
    xml += "</plist>";
    std::string error;
    error = errorOf(plist::parse(xml));
    EXPECT_NE(error.find("nested"), std::string::npos) << error;

    // Comments must not hide closing tags from the count.
    std::string sneaky = "<plist>";
    for (int i = 0; i < 1000; ++i)
        sneaky += "<array><!-- </array> -->";
    error = errorOf(plist::parse(sneaky));
    EXPECT_NE(error.find("nested"), std::string::npos) << error;

    // Nesting within the limit is fine.
    std::string fine = "<plist>";
    for (int i = 0; i < 100; ++i)
        fine += "<array>";
    fine += "<true/>";
    for (int i = 0; i < 100; ++i)
        fine += "</array>";
    fine += "</plist>";
    EXPECT_EQ(errorOf(plist::parse(fine)), "");
}

// A "bplist00" file from objects given as raw bytes; references are one
// byte wide unless wideRefs.
std::string binaryFile(const std::vector<std::string>& objects, std::uint64_t top = 0) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(out.size());
        out += o;
    }
    const std::uint64_t table = out.size();
    for (auto off : offsets) {
        for (int k = 3; k >= 0; --k)
            out += static_cast<char>((off >> (8 * k)) & 0xFF);
    }
    std::string trailer(6, '\0');
    trailer += static_cast<char>(4);  // offset size
    trailer += static_cast<char>(4);  // reference size
    auto be8 = [&](std::uint64_t v) {
        for (int k = 7; k >= 0; --k)
            trailer += static_cast<char>((v >> (8 * k)) & 0xFF);
    };
    be8(objects.size());
    be8(top);
    be8(table);
    return out + trailer;
}

std::string ref(std::uint32_t i) {
    std::string r;
    for (int k = 3; k >= 0; --k)
        r += static_cast<char>((i >> (8 * k)) & 0xFF);
    return r;
}

TEST(PlistCodecHostile, BinaryGraphsThatWouldHurtLibplistAreRefused) {
    std::string error;
    // A chain of one-element arrays far deeper than the limit.
    std::vector<std::string> chain;
    for (std::uint32_t i = 0; i < 100000; ++i)
        chain.push_back("\xA1" + ref(i + 1));
    chain.push_back("\x09");
    error = errorOf(plist::parse(binaryFile(chain)));
    EXPECT_NE(error.find("nested"), std::string::npos) << error;

    // An array that contains itself.
    error = errorOf(plist::parse(binaryFile({"\xA1" + ref(0)})));
    EXPECT_NE(error.find("itself"), std::string::npos) << error;

    // Each level refers twice to the next: 2^60 nodes once copied out.
    std::vector<std::string> bomb;
    for (std::uint32_t i = 0; i < 60; ++i)
        bomb.push_back("\xA2" + ref(i + 1) + ref(i + 1));
    bomb.push_back("\x09");
    error = errorOf(plist::parse(binaryFile(bomb)));
    EXPECT_NE(error.find("expands"), std::string::npos) << error;

    // A small shared object is fine and is copied to each place.
    auto shared = plist::parse(binaryFile({"\xA2" + ref(1) + ref(1), "\x51x"}));
    ASSERT_TRUE(shared) << errorOf(shared);
    EXPECT_EQ(*shared, Value(Array{"x", "x"}));

    // Keys holding U+0000, which libplist aborts on, in either string form;
    // and a key that is not a string at all.
    error = errorOf(plist::parse(binaryFile({"\xD1" + ref(1) + ref(2),
                                             std::string("\x53"
                                                         "a\0b",
                                                         4),
                                             "\x09"})));
    EXPECT_NE(error.find("key"), std::string::npos) << error;
    EXPECT_FALSE(plist::parse(
        binaryFile({"\xD1" + ref(1) + ref(2), std::string("\x62\0a\0\0", 5), "\x09"})));
    EXPECT_FALSE(plist::parse(binaryFile({"\xD1" + ref(2) + ref(1), "\x51x", "\x09"})));
    auto keyed =
        plist::parse(binaryFile({"\xD1" + ref(1) + ref(2), std::string("\x62\0a\0b", 5), "\x09"}));
    ASSERT_TRUE(keyed) << errorOf(keyed);
    EXPECT_EQ(*keyed, Value(Dictionary{{"ab", true}}));
    EXPECT_FALSE(
        plist::parse(std::string_view("<plist><dict><key>a\0b</key><true/></dict></plist>", 48)));

    // A reference past the object table, and a later format version.
    EXPECT_FALSE(plist::parse(binaryFile({"\xA1" + ref(5)})));
    error = errorOf(plist::parse(std::string("bplist15") + std::string(40, '\0')));
    EXPECT_NE(error.find("version"), std::string::npos) << error;
}

TEST(PlistCodecHostile, OversizedAndEmptyInputsFail) {
    std::string error;
    EXPECT_FALSE(plist::parse(std::string_view()));
    std::string huge = "<plist><string>" + std::string(plist::kMaxBytes, 'a') + "</string></plist>";
    error = errorOf(plist::parse(huge));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    std::string many = "<plist><array>";
    for (int i = 0; i < 1100000; ++i)
        many += "<true/>";
    many += "</array></plist>";
    error = errorOf(plist::parse(many));
    EXPECT_NE(error.find("elements"), std::string::npos) << error;
}

// Up to each limit a file is read; past it, the whole file is refused with
// the limit named, in both forms. A binary list counts a shared string every
// time it is used.
TEST(PlistCodecHostile, ContentBeyondTheLimitsIsRefusedAsAWhole) {
    namespace limits = platform::limits;
    auto keys = [](std::size_t n) {
        Dictionary d;
        for (std::size_t i = 0; i < n; ++i)
            d.set("k" + std::to_string(i), static_cast<int>(i));
        return Value(Dictionary{{"inner", d}});
    };
    auto elements = [](std::size_t n) { return Value(Array{Array(n, Value(true))}); };
    // Seventeen uses of one 1 MiB string: a small binary file, 17 MiB once read.
    const Value shared(Array(17, Value(std::string(1u << 20, 's'))));
    const struct {
        const char* what;
        Value value;
        bool xml, binary;     // the forms tried
        const char* refusal;  // nullptr: read
    } cases[] = {
        {"keys at the limit", keys(limits::kMaxKeys), true, true, nullptr},
        {"one key more", keys(limits::kMaxKeys + 1), true, true,
         "at most 10000 keys per dictionary"},
        // libplist's own dictionaries, which write the binary form, search
        // their keys from the front: XML only.
        {"200000 keys", keys(200000), true, false, "at most 10000 keys per dictionary"},
        {"elements at the limit", elements(limits::kMaxElements), true, true, nullptr},
        {"one element more", elements(limits::kMaxElements + 1), true, true,
         "at most 100000 elements per array"},
        {"a shared string used too often", shared, false, true, "at most 16 MiB per property list"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::pair<const char*, std::string>> files;
        if (c.xml)
            files.emplace_back("XML", plist::toXml(c.value).value());
        if (c.binary) {
            auto bin = plist::toBinary(c.value).value();
            files.emplace_back("binary", std::string(bin.begin(), bin.end()));
        }
        for (const auto& [form, bytes] : files) {
            SCOPED_TRACE(form);
            ASSERT_LE(bytes.size(), plist::kMaxBytes);
            auto back = plist::parse(bytes);
            if (!c.refusal) {
                ASSERT_TRUE(back) << errorOf(back);
                EXPECT_EQ(*back, c.value);
            } else {
                const std::string error = errorOf(back);
                EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            }
        }
    }
}

}  // namespace
